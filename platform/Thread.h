// Worker thread with a suspend gate, priorities, free-on-terminate and main-thread-aware waits.
//
// Suspend never stops the thread where it stands: it closes a gate that the worker passes at
// its own check points (`WaitIfSuspended`, called where the worker also checks `Terminated`).
// A paused worker therefore does nothing until resumed and is never parked holding a lock.
// `Terminate` opens the gate too, so a stopped paused worker runs to its end.
#pragma once

#include "platform/SyncObjs.h"
#include "platform/SysUtils.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread : public TObject {
public:
    // CreateSuspended: Execute starts at the first Resume/Start. `name` is the thread's
    // system name (at most 15 characters are kept).
    explicit TThread(bool CreateSuspended, std::string name = {});
    // Terminates, opens the gate and waits for Execute to return (not for a free-on-terminate
    // thread, which deletes itself).
    ~TThread() override;

    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start();    // same as Resume for a thread created suspended
    void Resume();   // opens the gate (or starts a thread created suspended)
    void Suspend();  // closes the gate
    bool Suspended() const { return suspended_.load(); }

    void Terminate();
    bool Terminated() const { return terminated_.load(); }
    bool Finished() const { return finished_.load(); }

    // Waits until Execute returned and returns ReturnValue. On the main thread the wait keeps
    // running pending main-thread calls and the process-messages hook.
    int WaitFor();

    // Set before Start: the thread object deletes itself after Execute and OnTerminate.
    bool FreeOnTerminate = false;

    // Priority maps to a nice value of the thread (tpNormal 0, tpIdle 19 ... tpTimeCritical -20).
    // Raising priority above normal needs privileges; when refused it stays as it was.
    void SetPriority(TThreadPriority p);
    TThreadPriority Priority() const { return priority_; }

    // Called on the main thread (through Synchronize) after Execute returned.
    std::function<void(TThread* Sender)> OnTerminate;

    uint32_t ThreadID() const { return thread_id_.load(); }
    int ReturnValue = 0;
    // Message of an exception that escaped Execute (empty when none).
    std::string FatalException;

protected:
    virtual void Execute() = 0;
    // Worker side of the gate: blocks while suspended and not terminated.
    void WaitIfSuspended();

private:
    void Run();
    void StartThread();
    void ApplyPriority();

    std::string name_;
    std::thread thread_;
    std::atomic<bool> started_{false};
    std::atomic<bool> suspended_{false};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<uint32_t> thread_id_{0};
    std::atomic<int> tid_{0};  // kernel thread id, for priorities
    TThreadPriority priority_ = tpNormal;
    std::mutex gate_m_;  // guards the gate wait
    std::condition_variable gate_cv_;
    TEvent done_{true, false};
};
