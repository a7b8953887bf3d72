// The main-thread call queue: workers hand calls to the main thread and wait for them.
//
// The main thread is the thread that first called `InitMainThread()` (the program and the
// test mains call it at start; otherwise the first thread that asks `IsMainThread`).
// A front end installs two hooks: the wake-up hook is called (on the posting thread) when a
// call is queued, so the event loop can run `CheckSynchronize` soon; the process-messages hook
// is called by main-thread waits so windows stay responsive.
#pragma once

#include <cstdint>
#include <functional>

using TThreadMethod = std::function<void()>;

void InitMainThread();
bool IsMainThread();

// Id of the calling thread as the logger and events report it.
uint32_t CurrentThreadId();

// Runs `method` on the main thread; the calling thread blocks until it ran. On the main thread
// it runs at once. An exception thrown by `method` is rethrown in the caller.
void Synchronize(const TThreadMethod& method);

// Queues `method` for the main thread without waiting.
void Queue(const TThreadMethod& method);

// Main thread only: runs every pending call. Waits up to `timeout_ms` for one to arrive when
// none is pending. Returns true when at least one call ran.
bool CheckSynchronize(int timeout_ms = 0);

void SetWakeUpHook(std::function<void()> hook);
void SetProcessMessagesHook(std::function<void()> hook);

// Runs the process-messages hook, if one is installed.
void ProcessMessages();

// Main-thread waits call this in their loop: pending calls, then window messages.
inline void ServiceMainThread() {
    CheckSynchronize(0);
    ProcessMessages();
}
