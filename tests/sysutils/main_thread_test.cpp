#include "platform/MainThread.h"
#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Services the queue until `done` or a generous deadline.
template <class Pred> bool pump_until(Pred done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        CheckSynchronize(10);
    }
    return true;
}

TEST(MainThread, SynchronizeRunsOnMainThreadAndWaits) {
    ASSERT_TRUE(IsMainThread());
    const uint32_t main_id = CurrentThreadId();
    std::atomic<bool> worker_done{false};
    uint32_t ran_on = 0;
    bool worker_saw_result = false;
    std::thread worker([&] {
        EXPECT_FALSE(IsMainThread());
        int value = 0;
        Synchronize([&] {
            ran_on = CurrentThreadId();
            value = 42;
        });
        worker_saw_result = value == 42;  // the call completed before Synchronize returned
        worker_done = true;
    });
    ASSERT_TRUE(pump_until([&] { return worker_done.load(); }));
    worker.join();
    EXPECT_EQ(ran_on, main_id);
    EXPECT_TRUE(worker_saw_result);
}

TEST(MainThread, SynchronizeOnMainThreadRunsAtOnce) {
    bool ran = false;
    Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_FALSE(CheckSynchronize(0));  // nothing was queued
}

TEST(MainThread, ExceptionReachesTheWaitingCaller) {
    std::atomic<bool> done{false};
    std::string caught;
    std::thread worker([&] {
        try {
            Synchronize([] { throw Exception("boom"); });
        } catch (const Exception& e) {
            caught = e.Message();
        }
        done = true;
    });
    ASSERT_TRUE(pump_until([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(caught, "boom");
}

TEST(MainThread, WakeUpHookIsCalledWhenACallIsQueued) {
    std::atomic<int> wakes{0};
    SetWakeUpHook([&] { ++wakes; });
    std::atomic<bool> done{false};
    std::thread worker([&] {
        Synchronize([] {});
        done = true;
    });
    ASSERT_TRUE(pump_until([&] { return done.load(); }));
    worker.join();
    SetWakeUpHook(nullptr);
    EXPECT_GE(wakes.load(), 1);
}

TEST(MainThread, QueueDoesNotWaitAndCheckSynchronizeIsMainOnly) {
    int ran = 0;
    std::thread worker([&] {
        Queue([&] { ++ran; });
        EXPECT_FALSE(CheckSynchronize(0));  // a worker cannot run main-thread calls
    });
    worker.join();
    EXPECT_TRUE(CheckSynchronize(0));
    EXPECT_EQ(ran, 1);
}

TEST(MainThread, ProcessMessagesHookRunsOnMainThreadOnly) {
    int calls = 0;
    SetProcessMessagesHook([&] { ++calls; });
    ServiceMainThread();
    std::thread([] { ProcessMessages(); }).join();
    SetProcessMessagesHook(nullptr);
    EXPECT_EQ(calls, 1);
}

} // namespace
