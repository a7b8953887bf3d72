#include "platform/SyncObjs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kLongWaitMs = 30000;

TEST(Event, ManualAndAutoResetStates) {
    struct Case {
        const char* name;
        bool manual, initial;
        bool set;
        TWaitResult first, second;
    };
    const Case cases[] = {
        {"manual, set", true, false, true, wrSignaled, wrSignaled},
        {"auto, set", false, false, true, wrSignaled, wrTimeout},
        {"manual, initially signalled", true, true, false, wrSignaled, wrSignaled},
        {"auto, initially signalled", false, true, false, wrSignaled, wrTimeout},
        {"manual, never set", true, false, false, wrTimeout, wrTimeout},
        {"auto, never set", false, false, false, wrTimeout, wrTimeout},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TEvent e(c.manual, c.initial);
        if (c.set) e.SetEvent();
        EXPECT_EQ(e.WaitFor(0), c.first);
        EXPECT_EQ(e.WaitFor(20), c.second);
        e.ResetEvent();
        EXPECT_EQ(e.WaitFor(0), wrTimeout);
    }
}

TEST(Event, TimedWaitIsSignalledFromAnotherThread) {
    TEvent e(true, false);
    std::thread setter([&] { e.SetEvent(); });
    EXPECT_EQ(e.WaitFor(kLongWaitMs), wrSignaled);
    setter.join();
}

// Two waiters, one SetEvent: a manual-reset event releases both, an auto-reset one exactly one.
TEST(Event, AutoResetReleasesOneWaiterManualReleasesAll) {
    for (bool manual : {true, false}) {
        SCOPED_TRACE(manual ? "manual" : "auto");
        TEvent e(manual, false);
        std::atomic<int> signalled{0}, timed_out{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 2; ++i)
            waiters.emplace_back([&] {
                // Long enough for both to be released on a loaded machine; the auto-reset
                // waiter that misses the event must time out.
                (e.WaitFor(manual ? kLongWaitMs : 1000) == wrSignaled ? signalled : timed_out)++;
            });
        e.SetEvent();
        for (auto& w : waiters)
            w.join();
        EXPECT_EQ(signalled.load(), manual ? 2 : 1);
        EXPECT_EQ(timed_out.load(), manual ? 0 : 1);
    }
}

TEST(TimedMutex, TimesOutWhileHeldAndIsReentrantForItsOwner) {
    TTimedMutex m;
    TEvent held(true, false), checked(true, false);
    std::atomic<TWaitResult> reentry{wrError};
    std::atomic<int> releases_ok{0};
    std::atomic<bool> extra_release{true};
    std::thread owner([&] {
        ASSERT_EQ(m.WaitFor(kLongWaitMs), wrSignaled);
        reentry = m.WaitFor(0); // the owner gets it again at once
        held.SetEvent();
        checked.WaitFor(INFINITE);
        releases_ok += m.Release();
        releases_ok += m.Release();
        extra_release = m.Release(); // nothing held any more
    });
    ASSERT_EQ(held.WaitFor(kLongWaitMs), wrSignaled);
    EXPECT_EQ(reentry.load(), wrSignaled);
    EXPECT_EQ(m.WaitFor(50), wrTimeout);
    EXPECT_EQ(m.WaitFor(0), wrTimeout);
    EXPECT_FALSE(m.Release()) << "a non-owner released the mutex";
    checked.SetEvent();
    // Free again only after both holds were released.
    EXPECT_EQ(m.WaitFor(kLongWaitMs), wrSignaled);
    owner.join();
    EXPECT_EQ(releases_ok.load(), 2);
    EXPECT_FALSE(extra_release.load());
    EXPECT_TRUE(m.Release());
    EXPECT_FALSE(m.Release());
}

} // namespace
