#include "platform/MainThread.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

constexpr uint32_t kLongWaitMs = 30000;

// Services the main-thread queue until `done` holds or a generous deadline passes.
bool PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        CheckSynchronize(10);
    }
    return true;
}

// Runs a function object as its Execute; the body gets the thread to reach the gate.
class LambdaThread : public TThread {
  public:
    using Body = std::function<void(LambdaThread&)>;
    LambdaThread(bool suspended, Body body, std::string name = {})
        : TThread(true, std::move(name)), body_(std::move(body)) {
        if (!suspended) Start();
    }
    ~LambdaThread() override {
        Terminate();
        WaitFor();
    }
    using TThread::WaitIfSuspended;

  protected:
    void Execute() override { body_(*this); }

  private:
    Body body_;
};

TEST(Thread, WaitForOnMainThreadRunsTheWorkersSynchronize) {
    const uint32_t main_id = CurrentThreadId();
    std::atomic<uint32_t> ran_on{0};
    LambdaThread t(true, [&](LambdaThread& self) {
        Synchronize([&] { ran_on = CurrentThreadId(); });
        self.ReturnValue = 7;
    });
    t.Start();
    // Without servicing the queue this wait would never end.
    EXPECT_EQ(t.WaitFor(), 7);
    EXPECT_EQ(ran_on.load(), main_id);
    EXPECT_TRUE(t.Finished());
}

TEST(Thread, WaitForRunsTheProcessMessagesHook) {
    TEvent go(true, false);
    std::atomic<int> hook_calls{0};
    SetProcessMessagesHook([&] {
        ++hook_calls;
        go.SetEvent();
    });
    // The worker can only end once the main thread's wait has run the hook.
    LambdaThread t(false, [&](LambdaThread&) { go.WaitFor(INFINITE); });
    t.WaitFor();
    SetProcessMessagesHook(nullptr);
    EXPECT_GE(hook_calls.load(), 1);
}

// Parks at the gate until stopped; relies on the base destructor to stop and wait (it has
// no members of its own that Execute could outlive).
class GateThread : public TThread {
  public:
    GateThread(TEvent& go, TEvent& parked) : TThread(true), go_(go), parked_(parked) {}

  protected:
    void Execute() override {
        go_.WaitFor(INFINITE);
        parked_.SetEvent();
        while (!Terminated())
            WaitIfSuspended();
    }

  private:
    TEvent& go_;
    TEvent& parked_;
};

TEST(Thread, DestroyingOnMainThreadDeliversOnTerminateWithoutDeadlock) {
    const uint32_t main_id = CurrentThreadId();
    std::atomic<uint32_t> terminate_on{0};
    std::atomic<bool> finished_in_handler{false};
    {
        TEvent go(true, false), parked(true, false);
        GateThread t(go, parked);
        t.OnTerminate = [&](TThread* sender) {
            terminate_on = CurrentThreadId();
            finished_in_handler = sender->Finished();
        };
        t.Start();
        t.Suspend();
        go.SetEvent();
        ASSERT_EQ(parked.WaitFor(kLongWaitMs), wrSignaled);
    } // the destructor terminates and waits while OnTerminate needs the main thread
    EXPECT_EQ(terminate_on.load(), main_id);
    EXPECT_TRUE(finished_in_handler.load());
}

TEST(Thread, SuspendedWorkerDoesNoWorkUntilResumed) {
    std::atomic<int> iterations{0};
    TEvent passed(false, false); // auto-reset: one signal per iteration
    TEvent parked(true, false);
    TEvent hold(true, false); // keeps the worker after its first turn until Suspend is done
    LambdaThread t(false, [&](LambdaThread& self) {
        while (!self.Terminated()) {
            if (self.Suspended()) parked.SetEvent();
            self.WaitIfSuspended();
            if (self.Terminated()) break;
            ++iterations;
            passed.SetEvent();
            hold.WaitFor(INFINITE);
        }
    });
    ASSERT_EQ(passed.WaitFor(kLongWaitMs), wrSignaled);

    t.Suspend();
    hold.SetEvent(); // the worker's next check point now sees the pause
    ASSERT_EQ(parked.WaitFor(kLongWaitMs), wrSignaled);
    const int at_pause = iterations.load();
    EXPECT_EQ(at_pause, 1);
    // An observation window: a paused worker must not move at all during it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(iterations.load(), at_pause);

    passed.ResetEvent();
    t.Resume();
    ASSERT_EQ(passed.WaitFor(kLongWaitMs), wrSignaled);
    EXPECT_GT(iterations.load(), at_pause);
}

TEST(Thread, TerminateLetsASuspendedWorkerEnd) {
    TEvent go(true, false), parked(true, false);
    std::atomic<bool> after_gate{false};
    LambdaThread t(false, [&](LambdaThread& self) {
        go.WaitFor(INFINITE);
        parked.SetEvent();
        self.WaitIfSuspended();
        after_gate = true;
    });
    t.Suspend();
    go.SetEvent();
    ASSERT_EQ(parked.WaitFor(kLongWaitMs), wrSignaled);
    EXPECT_FALSE(after_gate.load()); // parked: only the stop may open the gate
    t.Terminate();
    ASSERT_TRUE(PumpUntil([&] { return t.Finished(); }));
    EXPECT_TRUE(after_gate.load());
    EXPECT_TRUE(t.Suspended()); // still marked paused; the gate opened for the stop only
}

TEST(Thread, CreatedSuspendedRunsNothingBeforeStart) {
    TEvent ran(true, false);
    LambdaThread t(true, [&](LambdaThread&) { ran.SetEvent(); });
    EXPECT_TRUE(t.Suspended());
    EXPECT_EQ(ran.WaitFor(200), wrTimeout);
    EXPECT_EQ(t.ThreadID(), 0u);
    t.Resume();
    EXPECT_EQ(ran.WaitFor(kLongWaitMs), wrSignaled);
    t.WaitFor();
    EXPECT_NE(t.ThreadID(), 0u);
    EXPECT_NE(t.ThreadID(), CurrentThreadId());
}

TEST(Thread, TerminatedBeforeStartSkipsExecute) {
    std::atomic<bool> ran{false};
    std::atomic<bool> terminate_called{false};
    LambdaThread t(true, [&](LambdaThread&) { ran = true; });
    t.OnTerminate = [&](TThread*) { terminate_called = true; };
    t.Terminate();
    t.Start();
    t.WaitFor();
    EXPECT_FALSE(ran.load());
    EXPECT_TRUE(terminate_called.load());
}

TEST(Thread, NeverStartedThreadIsFreedWithoutRunning) {
    std::atomic<bool> ran{false};
    {
        LambdaThread t(true, [&](LambdaThread&) { ran = true; });
        EXPECT_EQ(t.WaitFor(), 0); // nothing to wait for
    }
    EXPECT_FALSE(ran.load());
}

// Deletes itself; the destructor reports through flags owned by the test.
class SelfFreeingThread : public TThread {
  public:
    SelfFreeingThread(std::atomic<bool>& destroyed, TEvent& destroyed_event,
                      std::atomic<bool>& terminate_seen_at_destruction,
                      const std::atomic<bool>& terminate_ran)
        : TThread(true, "self-free"), destroyed_(destroyed), destroyed_event_(destroyed_event),
          seen_(terminate_seen_at_destruction), terminate_ran_(terminate_ran) {
        FreeOnTerminate = true;
    }
    ~SelfFreeingThread() override {
        seen_ = terminate_ran_.load();
        destroyed_ = true;
        destroyed_event_.SetEvent();
    }

  protected:
    void Execute() override { ReturnValue = 1; }

  private:
    std::atomic<bool>& destroyed_;
    TEvent& destroyed_event_;
    std::atomic<bool>& seen_;
    const std::atomic<bool>& terminate_ran_;
};

TEST(Thread, FreeOnTerminateDeletesItselfAfterOnTerminateOnMainThread) {
    const uint32_t main_id = CurrentThreadId();
    std::atomic<bool> destroyed{false}, seen{false}, terminate_ran{false};
    std::atomic<uint32_t> terminate_on{0};
    TEvent destroyed_event(true, false);
    auto* t = new SelfFreeingThread(destroyed, destroyed_event, seen, terminate_ran);
    t->OnTerminate = [&](TThread*) {
        terminate_on = CurrentThreadId();
        terminate_ran = true;
    };
    t->Start(); // from here on `t` belongs to the thread itself
    // The event is the destructor's last act, so the test may drop it once it is seen.
    ASSERT_TRUE(PumpUntil([&] { return destroyed_event.WaitFor(0) == wrSignaled; }));
    EXPECT_TRUE(destroyed.load());
    EXPECT_EQ(terminate_on.load(), main_id);
    EXPECT_TRUE(seen.load()) << "destroyed before OnTerminate ran";
}

TEST(Thread, FreeOnTerminateWithoutHandlerNeedsNoMainThread) {
    std::atomic<bool> destroyed{false}, seen{false}, terminate_ran{false};
    TEvent destroyed_event(true, false);
    auto* t = new SelfFreeingThread(destroyed, destroyed_event, seen, terminate_ran);
    t->Start();
    // The main thread does not service its queue here.
    EXPECT_EQ(destroyed_event.WaitFor(kLongWaitMs), wrSignaled);
    EXPECT_FALSE(CheckSynchronize(0)); // nothing was handed to the main thread
}

TEST(Thread, ExceptionFromExecuteIsKeptAndOnTerminateStillRuns) {
    struct Case {
        const char* what;
        std::function<void()> raise;
        std::string expected;
    };
    const Case cases[] = {
        {"Exception", [] { throw Exception("decoder broke"); }, "decoder broke"},
        {"std::runtime_error", [] { throw std::runtime_error("plain"); }, "plain"},
        {"int", [] { throw 42; }, "Unknown exception"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<bool> terminate_ran{false};
        LambdaThread t(true, [&](LambdaThread&) { c.raise(); });
        t.OnTerminate = [&](TThread*) { terminate_ran = true; };
        t.Start();
        t.WaitFor();
        EXPECT_EQ(t.FatalException, c.expected);
        EXPECT_TRUE(terminate_ran.load());
    }
}

TEST(Thread, WaitForFromTheWorkerItselfRaises) {
    std::string message;
    LambdaThread t(false, [&](LambdaThread& self) {
        try {
            self.WaitFor();
        } catch (const Exception& e) {
            message = e.Message();
        }
    });
    t.WaitFor();
    EXPECT_FALSE(message.empty());
}

TEST(Thread, NameIsSetAndCutTo15Bytes) {
    struct Case {
        std::string name, expected;
    };
    const Case cases[] = {
        {"convert", "convert"},
        {"a-very-long-thread-name", "a-very-long-thr"},
        // 14 ASCII bytes then a two-byte character: the character is dropped whole.
        {"abcdefghijklmn\xC3\xA9x", "abcdefghijklmn"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char got[32] = {};
        LambdaThread t(
            false, [&](LambdaThread&) { pthread_getname_np(pthread_self(), got, sizeof got); },
            c.name);
        t.WaitFor();
        EXPECT_EQ(std::string(got), c.expected);
    }
}

TEST(Thread, PriorityBeforeStartIsAppliedByTheWorker) {
    std::atomic<int> nice_seen{-100};
    LambdaThread t(true, [&](LambdaThread&) {
        errno = 0;
        nice_seen = getpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()));
    });
    t.SetPriority(tpLower);
    t.Start();
    t.WaitFor();
    EXPECT_EQ(t.Priority(), tpLower);
    EXPECT_EQ(nice_seen.load(), 5);
}

TEST(Thread, PriorityOfARunningThreadMapsToNiceValues) {
    TEvent go(true, false), parked(true, false);
    LambdaThread t(false, [&](LambdaThread& self) {
        go.WaitFor(INFINITE);
        parked.SetEvent();
        self.WaitIfSuspended();
    });
    t.Suspend();
    go.SetEvent();
    ASSERT_EQ(parked.WaitFor(kLongWaitMs), wrSignaled);
    const id_t tid = t.ThreadID();
    ASSERT_NE(tid, 0u);

    struct Case {
        TThreadPriority p;
        int nice;
    };
    // Lowering first, then raising again: raising may be refused without privileges.
    const Case cases[] = {{tpLowest, 10}, {tpIdle, 19},     {tpLower, 5},          {tpNormal, 0},
                          {tpHigher, -5}, {tpHighest, -10}, {tpTimeCritical, -20}, {tpNormal, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nice);
        const int before = getpriority(PRIO_PROCESS, tid);
        const TThreadPriority prev = t.Priority();
        t.SetPriority(c.p);
        if (t.Priority() == c.p) {
            EXPECT_EQ(getpriority(PRIO_PROCESS, tid), c.nice);
        } else {
            // Refused: nothing changed.
            EXPECT_EQ(t.Priority(), prev);
            EXPECT_EQ(getpriority(PRIO_PROCESS, tid), before);
        }
    }
    t.Resume();
}

} // namespace
