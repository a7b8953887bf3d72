// Events and locks with the wait results the components rely on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

constexpr uint32_t INFINITE = 0xFFFFFFFFu;

enum TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

// Event on a condition variable. Manual-reset stays signalled until ResetEvent; auto-reset
// lets one waiter through and resets itself. A waiter released by SetEvent may destroy the
// event at once.
class TEvent {
  public:
    explicit TEvent(bool ManualReset = true, bool InitialState = false);
    void SetEvent();
    void ResetEvent();
    TWaitResult WaitFor(uint32_t timeout_ms = INFINITE);

  private:
    std::mutex m_; // guards signalled_
    std::condition_variable cv_;
    bool manual_;
    bool signalled_;
};

// Re-entrant critical section; usable with std::lock_guard.
class TCriticalSection {
  public:
    void Enter() { m_.lock(); }
    void Leave() { m_.unlock(); }
    bool TryEnter() { return m_.try_lock(); }
    void lock() { Enter(); }
    void unlock() { Leave(); }

  private:
    std::recursive_mutex m_;
};

// Re-entrant mutex with a timed wait (the owner may acquire it again). WaitFor gives
// wrSignaled, wrTimeout, or wrError when the system call fails; wrAbandoned is never
// reported (a holder that ends without releasing keeps the mutex held).
class TTimedMutex {
  public:
    TWaitResult WaitFor(uint32_t timeout_ms = INFINITE);
    // Releases one hold; false (and nothing changes) when the caller does not hold it.
    bool Release();

  private:
    std::mutex state_; // guards owner_ and depth_
    std::condition_variable freed_;
    std::thread::id owner_;
    int depth_ = 0; // holds by owner_; 0 when free
};
