#include "platform/MainThread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace {

struct PendingCall {
    TThreadMethod method;
    bool waited = false;  // a Synchronize caller waits for `done`
    bool done = false;
    std::exception_ptr error;
};

struct CallQueue {
    std::mutex m;  // guards calls, done flags of the entries, the hooks
    std::condition_variable arrived;
    std::condition_variable finished;
    std::deque<std::shared_ptr<PendingCall>> calls;
    std::function<void()> wake_up;
    std::function<void()> process_messages;
};

CallQueue& queue() {
    static CallQueue q;
    return q;
}

std::atomic<std::thread::id> g_main_id{};

void post(const std::shared_ptr<PendingCall>& call) {
    auto& q = queue();
    std::function<void()> wake;
    {
        std::lock_guard lock(q.m);
        q.calls.push_back(call);
        wake = q.wake_up;
    }
    q.arrived.notify_all();
    // The hook only posts an event to the front end's loop; it runs on this (posting) thread.
    if (wake) wake();
}

} // namespace

void InitMainThread() { g_main_id.store(std::this_thread::get_id()); }

bool IsMainThread() {
    std::thread::id none{};
    // The first thread to ask becomes the main thread when the program did not say.
    g_main_id.compare_exchange_strong(none, std::this_thread::get_id());
    return g_main_id.load() == std::this_thread::get_id();
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

void Synchronize(const TThreadMethod& method) {
    if (!method) return;
    if (IsMainThread()) {
        method();
        return;
    }
    auto call = std::make_shared<PendingCall>();
    call->method = method;
    call->waited = true;
    post(call);
    auto& q = queue();
    std::unique_lock lock(q.m);
    q.finished.wait(lock, [&] { return call->done; });
    if (call->error) std::rethrow_exception(call->error);
}

void Queue(const TThreadMethod& method) {
    if (!method) return;
    auto call = std::make_shared<PendingCall>();
    call->method = method;
    post(call);
}

bool CheckSynchronize(int timeout_ms) {
    if (!IsMainThread()) return false;
    auto& q = queue();
    std::deque<std::shared_ptr<PendingCall>> batch;
    {
        std::unique_lock lock(q.m);
        if (q.calls.empty() && timeout_ms > 0)
            q.arrived.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                               [&] { return !q.calls.empty(); });
        batch.swap(q.calls);
    }
    for (auto& call : batch) {
        try {
            call->method();
        } catch (...) {
            // A queued call has nobody to receive its error; a waiting caller gets it back.
            if (call->waited) call->error = std::current_exception();
        }
        {
            std::lock_guard lock(q.m);
            call->done = true;
        }
        q.finished.notify_all();
    }
    return !batch.empty();
}

void SetWakeUpHook(std::function<void()> hook) {
    std::lock_guard lock(queue().m);
    queue().wake_up = std::move(hook);
}

void SetProcessMessagesHook(std::function<void()> hook) {
    std::lock_guard lock(queue().m);
    queue().process_messages = std::move(hook);
}

void ProcessMessages() {
    std::function<void()> hook;
    {
        std::lock_guard lock(queue().m);
        hook = queue().process_messages;
    }
    if (hook && IsMainThread()) hook();
}
