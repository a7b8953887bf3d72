// The single logger of the media components.
//
// Component messages: `Log`, filtered by `LogLevel`, delivered on the calling thread or, with
// `TriggerEventInMainThread`, on the main thread (the caller waits). Library messages: the
// callback installed into avutil by the loader; lines are assembled per thread, prefixed with
// their source and repeated lines are folded.
#pragma once

#include "src/FFBaseComponent.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

enum TLogLevel { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// Parameters after Sender: thread id, level, text. Valid only during the call.
using TLogEvent = std::function<void(TObject* Sender, uint32_t AThreadID, TLogLevel ALogLevel,
                                     const std::string& ALogMsg)>;

// (ordinal - 1) * 8: llQuiet -8 ... llDebug 48.
int LogLevelToLibrary(TLogLevel level);
// Negative levels are raised by 7; below -8 llQuiet; below 48 (level >> 3) + 1; else llDebug.
TLogLevel LibraryToLogLevel(int level);

// Create, configure and free the logger on the main thread, before other threads log (a
// host logger frees the auto-created one, which other threads may hold a reference to).
class TFFLogger : public TFFBaseComponent {
  public:
    // Frees an auto-created logger; raises EAssertionFailed
    // ("Allow creating only one instance of TFFLogger.") while another logger exists.
    explicit TFFLogger(TObject* AOwner = nullptr);
    ~TFFLogger() override;
    TFFLogger(const TFFLogger&) = delete;
    TFFLogger& operator=(const TFFLogger&) = delete;

    TLogLevel LogLevel() const;
    // Also sets the library level when the library log is installed.
    void SetLogLevel(TLogLevel value);
    std::atomic<bool> TriggerEventInMainThread{true};
    // Set before messages flow; runs on the main thread or on the logging thread. An exception
    // it throws reaches the caller of Log; for library lines it is dropped.
    TLogEvent OnLog;

    // Component messages (any thread).
    void Log(TObject* Sender, TLogLevel level, const std::string& msg);
    template <class... A>
    void Log(TObject* Sender, TLogLevel level, std::string_view fmt, const A&... args) {
        Log(Sender, level, Format(fmt, args...));
    }

    bool AutoCreated() const { return auto_created_; }

  private:
    friend TFFLogger& FFLogger();
    friend void DeliverLibraryLine(uint32_t thread_id, int level, const std::string& line);
    void Deliver(TObject* Sender, uint32_t thread_id, TLogLevel level, const std::string& msg);

    std::atomic<TLogLevel> log_level_{llInfo};
    bool auto_created_ = false; // guarded by the instance lock in FFLog.cpp
};

// The current logger; creates an auto-created one (without OnLog) when there is none.
TFFLogger& FFLogger();

// The library callback, in the signature of av_log_set_callback's argument (any thread).
void FFLogCallback(void* avcl, int level, const char* fmt, va_list vl);

// Called by the loader once avutil's entries are resolved: installs FFLogCallback through
// `set_callback` and applies the level through `set_level`; both must be non-null. Later
// LogLevel changes go through `set_level`. `UninstallLibraryLog` forgets both (on unload).
void InstallLibraryLog(void (*set_callback)(void (*)(void*, int, const char*, va_list)),
                       void (*set_level)(int));
void UninstallLibraryLog();

// The current library log level (initially 32).
int LibraryLogLevel();
