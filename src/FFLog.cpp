#include "src/FFLog.h"

#include "platform/MainThread.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <list>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace {

using TSetCallback = void (*)(void (*)(void*, int, const char*, va_list));
using TSetLevel = void (*)(int);

struct TLogItem {
    uint32_t thread_id;
    std::string pending; // start of an unfinished line
};

struct TLogState {
    // Guards `current` and the auto-created mark of the logger it points to.
    std::recursive_mutex instance_lock;
    TFFLogger* current = nullptr;

    // The library callback's critical section; guards `items`, `last_line`, `repeat_count`.
    std::mutex callback_lock;
    std::list<TLogItem> items; // newest first; only threads with pending text
    std::string last_line;
    int repeat_count = 0;

    std::atomic<int> library_level{AV_LOG_INFO};
    std::atomic<TSetLevel> set_level{nullptr};
};

// The state is built in static storage and never destroyed, so a component or library thread
// that logs during static destruction still finds valid locks. What it owns is released by
// the end-of-program object below.
TLogState& LogState() {
    alignas(TLogState) static unsigned char storage[sizeof(TLogState)];
    static TLogState* state = new (storage) TLogState;
    return *state;
}

// At program end: frees an auto-created logger and forgets the pending texts.
struct TLogEnd {
    ~TLogEnd() {
        TLogState& st = LogState();
        {
            std::lock_guard<std::recursive_mutex> guard(st.instance_lock);
            if (st.current && st.current->AutoCreated()) delete st.current;
        }
        std::lock_guard<std::mutex> guard(st.callback_lock);
        st.items.clear();
        st.last_line.clear();
        st.repeat_count = 0;
    }
} log_end;

// Sets the library to the level of `level` when the library's setter is known.
void ApplyLibraryLevel(TLogLevel level) {
    TLogState& st = LogState();
    TSetLevel set_level = st.set_level.load();
    if (!set_level) return;
    const int lib = LogLevelToLibrary(level);
    st.library_level = lib;
    set_level(lib);
}

const char* ItemName(void* ctx, const AVClass* cls) {
    const char* name = cls->item_name ? cls->item_name(ctx) : cls->class_name;
    return name ? name : "";
}

// "[parent @ address] [item @ address]" of a library context whose first field is its class.
std::string ContextPrefix(void* avcl) {
    const AVClass* cls = *static_cast<const AVClass* const*>(avcl);
    if (!cls) return {};
    std::string prefix;
    if (cls->parent_log_context_offset) {
        void* parent =
            *reinterpret_cast<void**>(static_cast<char*>(avcl) + cls->parent_log_context_offset);
        const AVClass* parent_cls = parent ? *static_cast<const AVClass* const*>(parent) : nullptr;
        if (parent_cls)
            prefix = Format("[%s @ %p] ", ItemName(parent, parent_cls),
                            static_cast<const void*>(parent));
    }
    // The platform's "%p" writes at least eight digits and never cuts a 64-bit address, so two
    // contexts cannot look alike.
    return prefix + Format("[%s @ %p]", ItemName(avcl, cls), static_cast<const void*>(avcl));
}

// The library's format with its arguments, never cut: 2048 bytes first, then 4096 growing by
// 2048 until the text fits.
std::string FormatLibraryMessage(const char* fmt, va_list vl) {
    if (!fmt) return {};
    std::vector<char> buf(2048);
    va_list args;
    va_copy(args, vl);
    int n = std::vsnprintf(buf.data(), buf.size(), fmt, args);
    va_end(args);
    if (n < 0) return {};
    if (static_cast<size_t>(n) >= buf.size()) {
        size_t size = 4096;
        while (size <= static_cast<size_t>(n))
            size += 2048;
        buf.resize(size);
        va_copy(args, vl);
        n = std::vsnprintf(buf.data(), buf.size(), fmt, args);
        va_end(args);
        if (n < 0) return {};
    }
    return std::string(buf.data(), static_cast<size_t>(n));
}

} // namespace

int LogLevelToLibrary(TLogLevel level) {
    return (static_cast<int>(level) - 1) * 8;
}

TLogLevel LibraryToLogLevel(int level) {
    if (level < 0) level += 7;
    if (level < -8) return llQuiet;
    if (level < 48) return static_cast<TLogLevel>((level >> 3) + 1);
    return llDebug;
}

TFFLogger::TFFLogger(TObject* AOwner) : TFFBaseComponent(AOwner) {
    TLogState& st = LogState();
    std::lock_guard<std::recursive_mutex> guard(st.instance_lock);
    if (st.current && st.current->auto_created_) delete st.current; // clears `current`
    if (st.current) throw EAssertionFailed("Allow creating only one instance of TFFLogger.");
    log_level_ = LibraryToLogLevel(st.library_level);
    st.current = this;
}

TFFLogger::~TFFLogger() {
    TLogState& st = LogState();
    std::lock_guard<std::recursive_mutex> guard(st.instance_lock);
    if (st.current == this) st.current = nullptr;
}

TLogLevel TFFLogger::LogLevel() const {
    return log_level_;
}

void TFFLogger::SetLogLevel(TLogLevel value) {
    if (log_level_.exchange(value) == value) return;
    ApplyLibraryLevel(value);
}

void TFFLogger::Log(TObject* Sender, TLogLevel level, const std::string& msg) {
    if (!OnLog || level > log_level_) return;
    Deliver(Sender, CurrentThreadId(), level, msg);
}

// The values travel as this call's own arguments, so deliveries from several threads at once
// cannot mix their sender, thread, level and text.
void TFFLogger::Deliver(TObject* Sender, uint32_t thread_id, TLogLevel level,
                        const std::string& msg) {
    if (TriggerEventInMainThread && !IsMainThread()) {
        Synchronize([&] {
            if (OnLog) OnLog(Sender, thread_id, level, msg);
        });
    } else if (OnLog) {
        OnLog(Sender, thread_id, level, msg);
    }
}

TFFLogger& FFLogger() {
    TLogState& st = LogState();
    std::lock_guard<std::recursive_mutex> guard(st.instance_lock);
    if (!st.current) {
        TFFLogger* logger = new TFFLogger(nullptr); // becomes current
        logger->auto_created_ = true;
    }
    return *st.current;
}

void DeliverLibraryLine(uint32_t thread_id, int level, const std::string& line) {
    TFFLogger* logger;
    {
        TLogState& st = LogState();
        std::lock_guard<std::recursive_mutex> guard(st.instance_lock);
        logger = st.current;
    }
    if (!logger || !logger->OnLog) return;
    logger->Deliver(logger, thread_id, LibraryToLogLevel(level), line);
}

void FFLogCallback(void* avcl, int level, const char* fmt, va_list vl) {
    // Callers may add a colour in the second byte of a non-negative level.
    if (level >= 0) level &= 0xff;
    TLogState& st = LogState();
    if (level > st.library_level) return;
    const uint32_t thread_id = CurrentThreadId();

    // Lines are collected under the lock and delivered after it is released: a delivery may
    // wait for the main thread, which may itself be logging.
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> guard(st.callback_lock);
        auto item = st.items.begin();
        while (item != st.items.end() && item->thread_id != thread_id)
            ++item;
        const bool at_line_start = item == st.items.end();

        std::string line = avcl && at_line_start ? ContextPrefix(avcl) : std::string();
        line += FormatLibraryMessage(fmt, vl);

        // Only a message that is a whole line by itself is compared: the piece that ends one
        // thread's line must never be swallowed as a repeat of another thread's piece.
        if (at_line_start && !line.empty() && line.back() == '\n' && line == st.last_line) {
            ++st.repeat_count;
            return;
        }
        if (st.repeat_count > 1)
            lines.push_back(Format("    Last message repeated %d times", st.repeat_count));
        st.repeat_count = 0;

        std::string pending = at_line_start ? std::move(line) : std::move(item->pending) + line;
        st.last_line = pending;
        size_t start = 0;
        for (size_t lf; (lf = pending.find('\n', start)) != std::string::npos; start = lf + 1)
            lines.push_back(pending.substr(start, lf - start));
        pending.erase(0, start);

        // A thread without pending text needs no entry, which keeps the list short.
        if (pending.empty()) {
            if (!at_line_start) st.items.erase(item);
        } else if (at_line_start) {
            st.items.push_front(TLogItem{thread_id, std::move(pending)});
        } else {
            item->pending = std::move(pending);
        }
    }

    // An exception must not unwind into the library's C frames.
    try {
        for (const std::string& text : lines)
            DeliverLibraryLine(thread_id, level, text);
    } catch (...) {
    }
}

void InstallLibraryLog(void (*set_callback)(void (*)(void*, int, const char*, va_list)),
                       void (*set_level)(int)) {
    if (!set_callback || !set_level) return;
    TLogState& st = LogState();
    st.set_level = set_level;
    set_callback(FFLogCallback);
    std::lock_guard<std::recursive_mutex> guard(st.instance_lock);
    if (st.current) {
        ApplyLibraryLevel(st.current->LogLevel());
    } else {
        set_level(st.library_level);
    }
}

void UninstallLibraryLog() {
    LogState().set_level = nullptr;
}

int LibraryLogLevel() {
    return LogState().library_level;
}
