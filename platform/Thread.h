// Worker thread with a suspend gate, priorities, free-on-terminate and main-thread-aware waits.
//
// Suspend never stops the thread where it stands: it closes a gate that the worker passes at
// its own check points (`WaitIfSuspended`, called where the worker also checks `Terminated`).
// A paused worker therefore does nothing until resumed and is never parked holding a lock.
// `Terminate` opens the gate too, so a stopped paused worker runs to its end.
//
// Life of a thread: Execute runs on the worker (skipped when Terminate came before the thread
// started); then `Finished` becomes true, `OnTerminate` runs on the main thread (through
// Synchronize; an empty handler needs no main thread), then waiters are released and a
// free-on-terminate thread deletes itself on the worker.
//
// Rules for derived classes (C++ destroys and constructs bases outside the derived parts):
// - Pass CreateSuspended = true and call Start() at the end of the derived constructor when
//   Execute uses members of the derived class (false starts the worker inside this base
//   constructor, before the derived members exist).
// - A thread that is not free-on-terminate and whose Execute uses derived members must be
//   stopped in the derived destructor (`Terminate(); WaitFor();`): the base destructor runs
//   after those members are gone.
// - A free-on-terminate thread must not be touched (waited for, deleted) by anyone once
//   started: it may be gone at any moment.
#pragma once

#include "platform/SyncObjs.h"
#include "platform/SysUtils.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread : public TObject {
  public:
    // CreateSuspended: Execute starts at the first Resume/Start. `name` is the thread's
    // system name (at most 15 bytes are kept). Raises EOSError when no thread can be created.
    explicit TThread(bool CreateSuspended, std::string name = {});
    // Terminates, opens the gate and waits for Execute and OnTerminate to finish (servicing
    // the main-thread queue when called on the main thread). A thread never started is just
    // freed; a free-on-terminate thread deleting itself does not wait for itself.
    ~TThread() override;

    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start();  // same as Resume
    void Resume(); // opens the gate (or starts a thread created suspended)
    // Closes the gate; the worker stops at its next WaitIfSuspended. Before the first Start it
    // changes nothing: starting a thread always opens the gate.
    void Suspend();
    bool Suspended() const { return suspended_.load(); }

    void Terminate();
    bool Terminated() const { return terminated_.load(); }
    bool Finished() const { return finished_.load(); }

    // Waits until Execute and OnTerminate are done and returns ReturnValue. On the main
    // thread the wait keeps running pending main-thread calls and the process-messages hook
    // (every 10 ms at least). Returns at once for a thread that was never started. Raises
    // Exception when called by the worker itself. Not for free-on-terminate threads.
    int WaitFor();

    // Set before Start: the thread object deletes itself after Execute and OnTerminate.
    bool FreeOnTerminate = false;

    // Priority maps to a nice value of the thread (tpIdle 19, tpLowest 10, tpLower 5,
    // tpNormal 0, tpHigher -5, tpHighest -10, tpTimeCritical -20), set with
    // setpriority(PRIO_PROCESS, tid). Before the start the value is kept and applied when the
    // worker starts. When the system refuses (raising needs privileges) the priority stays
    // as it was (tpNormal when refused at the start).
    void SetPriority(TThreadPriority p);
    TThreadPriority Priority() const;

    // Called on the main thread (through Synchronize) after Execute returned. Set before Start.
    std::function<void(TThread* Sender)> OnTerminate;

    // Kernel thread id of the worker (0 until it runs).
    uint32_t ThreadID() const { return thread_id_.load(); }
    // Written by Execute; read after WaitFor.
    int ReturnValue = 0;
    // Message of an exception that escaped Execute (empty when none); read after WaitFor.
    std::string FatalException;

  protected:
    virtual void Execute() = 0;
    // Worker side of the gate: blocks while suspended and not terminated.
    void WaitIfSuspended();

  private:
    void Run();
    void StartThread_locked();
    void WaitDone();

    std::string name_;
    std::mutex gate_m_; // guards thread_ creation and the gate wait (started_, suspended_)
    std::condition_variable gate_cv_;
    std::thread thread_;
    std::atomic<bool> started_{false};
    std::atomic<bool> suspended_{false};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<uint32_t> thread_id_{0};
    mutable std::mutex prio_m_; // guards tid_ and priority_
    int tid_ = 0;               // kernel thread id while the worker runs, for priorities
    TThreadPriority priority_ = tpNormal;
    TEvent done_{true, false};
};
