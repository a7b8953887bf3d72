#include "platform/Thread.h"

#include "platform/MainThread.h"

#include <pthread.h>
#include <sys/resource.h>

#include <system_error>

namespace {

int NiceOf(TThreadPriority p) {
    switch (p) {
    case tpIdle:
        return 19;
    case tpLowest:
        return 10;
    case tpLower:
        return 5;
    case tpNormal:
        return 0;
    case tpHigher:
        return -5;
    case tpHighest:
        return -10;
    case tpTimeCritical:
        return -20;
    }
    return 0;
}

// The kernel keeps 15 bytes of a thread name; cut on a UTF-8 character boundary.
std::string SystemThreadName(const std::string& name) {
    if (name.size() <= 15) return name;
    size_t n = 15;
    while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80)
        --n;
    return name.substr(0, n);
}

} // namespace

TThread::TThread(bool CreateSuspended, std::string name) : name_(SystemThreadName(name)) {
    suspended_ = CreateSuspended;
    if (!CreateSuspended) {
        std::lock_guard lock(gate_m_);
        StartThread_locked();
    }
}

TThread::~TThread() {
    if (!started_.load()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        // Deleted by its own worker (free-on-terminate, or by Execute itself).
        thread_.detach();
        return;
    }
    Terminate();
    WaitDone();
    if (thread_.joinable()) thread_.join();
}

void TThread::StartThread_locked() {
    if (started_.load()) return;
    started_ = true;
    suspended_ = false;
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        started_ = false;
        suspended_ = true;
        const int code = e.code().value();
        throw EOSError("Cannot create thread: " + SysErrorMessage(code), code);
    }
}

void TThread::Start() {
    Resume();
}

void TThread::Resume() {
    std::unique_lock lock(gate_m_);
    if (!started_.load()) {
        StartThread_locked();
        return;
    }
    suspended_ = false;
    lock.unlock();
    gate_cv_.notify_all();
}

void TThread::Suspend() {
    std::lock_guard lock(gate_m_);
    suspended_ = true;
}

void TThread::Terminate() {
    terminated_ = true;
    // Taking the lock orders the flag with a worker that is between its check and its wait.
    { std::lock_guard lock(gate_m_); }
    gate_cv_.notify_all();
}

void TThread::WaitIfSuspended() {
    std::unique_lock lock(gate_m_);
    gate_cv_.wait(lock, [this] { return !suspended_.load() || terminated_.load(); });
}

void TThread::SetPriority(TThreadPriority p) {
    std::lock_guard lock(prio_m_);
    if (tid_ == 0) {
        priority_ = p; // applied by the worker when it starts
        return;
    }
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid_), NiceOf(p)) == 0) priority_ = p;
}

TThreadPriority TThread::Priority() const {
    std::lock_guard lock(prio_m_);
    return priority_;
}

int TThread::WaitFor() {
    if (!started_.load()) return ReturnValue;
    if (thread_id_.load() == CurrentThreadId()) throw Exception("A thread cannot wait for itself");
    WaitDone();
    return ReturnValue;
}

void TThread::WaitDone() {
    if (!IsMainThread()) {
        done_.WaitFor(INFINITE);
        return;
    }
    // The worker may be blocked in Synchronize (OnTerminate among others) until we run it.
    while (done_.WaitFor(0) != wrSignaled) {
        CheckSynchronize(10);
        ProcessMessages();
    }
}

void TThread::Run() {
    // StartThread_locked holds the lock until thread_ is stored: a quick free-on-terminate
    // worker must not delete the object while that store is still going on.
    { std::lock_guard lock(gate_m_); }
    thread_id_ = CurrentThreadId();
    if (!name_.empty()) pthread_setname_np(pthread_self(), name_.c_str());
    {
        std::lock_guard lock(prio_m_);
        tid_ = static_cast<int>(thread_id_.load());
        if (priority_ != tpNormal &&
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid_), NiceOf(priority_)) != 0)
            priority_ = tpNormal;
    }

    if (!terminated_.load()) {
        try {
            Execute();
        } catch (const std::exception& e) {
            FatalException = e.what();
            if (FatalException.empty()) FatalException = "Exception without a message";
        } catch (...) {
            FatalException = "Unknown exception";
        }
    }

    {
        std::lock_guard lock(prio_m_);
        tid_ = 0; // the kernel id may be reused once this thread is gone
    }
    const bool free_self = FreeOnTerminate;
    finished_ = true;
    if (OnTerminate) {
        try {
            Synchronize([this] { OnTerminate(this); });
        } catch (const std::exception& e) {
            if (FatalException.empty()) FatalException = e.what();
        } catch (...) {
            if (FatalException.empty()) FatalException = "Unknown exception";
        }
    }
    if (free_self) {
        delete this;
        return;
    }
    done_.SetEvent();
}
