#include "platform/SyncObjs.h"

#include <system_error>

TEvent::TEvent(bool ManualReset, bool InitialState)
    : manual_(ManualReset), signalled_(InitialState) {}

void TEvent::SetEvent() {
    // Notified under the lock: a released waiter that destroys the event cannot do so while
    // this call still touches the condition variable.
    std::lock_guard lock(m_);
    signalled_ = true;
    // An auto-reset event lets one waiter through; waking more would only make them wait again.
    if (manual_)
        cv_.notify_all();
    else
        cv_.notify_one();
}

void TEvent::ResetEvent() {
    std::lock_guard lock(m_);
    signalled_ = false;
}

TWaitResult TEvent::WaitFor(uint32_t timeout_ms) {
    std::unique_lock lock(m_);
    auto ready = [this] { return signalled_; };
    if (timeout_ms == INFINITE)
        cv_.wait(lock, ready);
    else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready))
        return wrTimeout;
    if (!manual_) signalled_ = false;
    return wrSignaled;
}

TWaitResult TTimedMutex::WaitFor(uint32_t timeout_ms) {
    const auto me = std::this_thread::get_id();
    try {
        std::unique_lock lock(state_);
        if (depth_ > 0 && owner_ == me) {
            ++depth_;
            return wrSignaled;
        }
        auto free = [this] { return depth_ == 0; };
        if (timeout_ms == INFINITE)
            freed_.wait(lock, free);
        else if (!freed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), free))
            return wrTimeout;
        owner_ = me;
        depth_ = 1;
        return wrSignaled;
    } catch (const std::system_error&) {
        return wrError;
    }
}

bool TTimedMutex::Release() {
    std::lock_guard lock(state_);
    if (depth_ == 0 || owner_ != std::this_thread::get_id()) return false;
    if (--depth_ == 0) {
        owner_ = std::thread::id();
        freed_.notify_one();
    }
    return true;
}
