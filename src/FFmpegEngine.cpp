// Engine object: lifecycle, worker and notification threads, watchdogs, open-codec
// registries and clean-up.
#include "src/FFmpeg.h"

#include "platform/MainThread.h"
#include "src/FFLoad.h"
#include "src/FFUtils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

// --- owners ------------------------------------------------------------------------------
// The deleters tolerate unloaded libraries (the handle then leaks instead of crashing a
// teardown that runs after an unload).

void TDictionary::reset() {
    if (d_ && ff::av_dict_free) ff::av_dict_free(&d_);
    d_ = nullptr;
}

const char* TDictionary::value(const char* key) const {
    if (!d_ || !ff::av_dict_get) return nullptr;
    const AVDictionaryEntry* e = ff::av_dict_get(d_, key, nullptr, AV_DICT_MATCH_CASE);
    return e ? e->value : nullptr;
}

int TDictionary::count() const {
    return d_ && ff::av_dict_count ? ff::av_dict_count(d_) : 0;
}

void TInputContextDeleter::operator()(AVFormatContext* c) const {
    if (c && ff::avformat_close_input) ff::avformat_close_input(&c);
}

void TOutputContextDeleter::operator()(AVFormatContext* c) const {
    if (c && ff::avformat_free_context) ff::avformat_free_context(c);
}

void TSwsContextDeleter::operator()(SwsContext* c) const {
    if (c && ff::sws_freeContext) ff::sws_freeContext(c);
}

// --- process-wide state ------------------------------------------------------------------

TCriticalSection& PreviewLock() {
    static TCriticalSection lock;
    return lock;
}

TCriticalSection& CodecRegistryLock() {
    static TCriticalSection lock;
    return lock;
}

namespace {

thread_local TConvertThread* t_current_convert_thread = nullptr;

void CheckLibrariesLoaded() {
    try {
        FFLoader().CheckLoaded(LibSetAll);
    } catch (const EAssertionFailed&) {
        throw;
    } catch (const Exception& e) {
        throw EAssertionFailed(e.Message());
    }
}

}  // namespace

// --- threads -----------------------------------------------------------------------------

TConvertThread::TConvertThread(TCustomFFmpeg* AFFmpeg, std::shared_ptr<TEvent> ARunDone)
    : TThread(true, "convert"), FFFmpeg(AFFmpeg), FRunDone(std::move(ARunDone)) {
    FreeOnTerminate = true;
}

TConvertThread* TConvertThread::Current() {
    return t_current_convert_thread;
}

void TConvertThread::Execute() {
    t_current_convert_thread = this;
    try {
        FFFmpeg->run();
    } catch (...) {
        // run records its own errors; nothing may keep the run-done event from being set.
    }
    t_current_convert_thread = nullptr;
    // The engine object may be freed from here on: touch only our own copy of the event.
    FRunDone->SetEvent();
}

TDoTerminateThread::TDoTerminateThread(TCustomFFmpeg* AFFmpeg, std::shared_ptr<TEvent> ADone)
    : TThread(true, "terminate"), FFFmpeg(AFFmpeg), FDone(std::move(ADone)) {
    FreeOnTerminate = true;
}

void TDoTerminateThread::Execute() {
    try {
        FFFmpeg->notify_end();
    } catch (...) {
        // An owner's handler failed; the waiter must still be released.
    }
    FDone->SetEvent();
}

// --- lifecycle ---------------------------------------------------------------------------

TCustomFFmpeg::TCustomFFmpeg()
    : FRunDone(std::make_shared<TEvent>(true, true)),
      FTerminateDone(std::make_shared<TEvent>(true, true)) {
    reset();
}

TCustomFFmpeg::~TCustomFFmpeg() {
    try {
        stop(true);
    } catch (...) {
    }
    // A notification thread of a task that never ran still uses this object.
    wait_servicing(*FTerminateDone);
    try {
        if (FFLoader().Loaded(LibSetAll)) clean_up();
    } catch (...) {
    }
    if (GlobalOptions.VStatsFile && ff::fclose) ff::fclose(GlobalOptions.VStatsFile);
}

void TCustomFFmpeg::reset_global_options() {
    if (GlobalOptions.VStatsFile && ff::fclose) ff::fclose(GlobalOptions.VStatsFile);
    GlobalOptions = TGlobalOptions{};
}

void TCustomFFmpeg::reset() {
    CheckLibrariesLoaded();
    reset_global_options();
    reset_options(false);
    if (FrameHooks) FrameHooks->Release();
    {
        std::lock_guard lock(CodecRegistryLock());
        FEncoderRegistry.clear();
        FDecoderRegistry.clear();
    }
    {
        std::lock_guard lock(PreviewLock());
        Previewer.reset();
        LastPreviewTime = 0;
        FPreviewFlags = 0;
        FPreviewFlagsChanged = false;
    }
    Running = false;
    StopRequested = false;
    Finished = false;
    Terminated = false;
    ExceptionRaised = false;
    ExceptionMsg.clear();
    LastError.clear();
    TotalDuration = -1;
    LongestInputDuration = -1;
    FInputStamp = StampUnarmed;
    FOutputStamp = StampUnarmed;
}

void TCustomFFmpeg::raise_error(const std::string& msg) {
    LastError = msg;
    FFLogger().Log(this, llFatal, msg);
    throw FFmpegException(msg);
}

void TCustomFFmpeg::record_exception(const std::string& msg) {
    FFLogger().Log(this, llQuiet, msg);
    ExceptionRaised = true;
    ExceptionMsg = msg;
}

template <class F> void TCustomFFmpeg::guarded(F&& step) {
    try {
        step();
    } catch (const std::exception& e) {
        record_exception(e.what());
    } catch (...) {
        record_exception("Unknown exception");
    }
}

TThread* TCustomFFmpeg::start(bool threaded, TThreadPriority priority) {
    if (Running || Terminated || FEndPending) return nullptr;
    try {
        if (OutputFiles.empty()) {
            clean_up();
            raise_error("At least one output file must be specified");
        }
        if (InputFiles.empty()) {
            clean_up();
            raise_error("At least one input file must be specified");
        }
    } catch (const std::exception& e) {
        record_exception(e.what());
        notify_end();
        return nullptr;
    }

    Running = true;
    StopRequested = false;
    Finished = false;
    Terminated = false;

    if (!threaded) {
        run();
        return nullptr;
    }

    auto* worker = new TConvertThread(this, FRunDone);
    worker->SetPriority(priority);
    FRunDone->ResetEvent();
    {
        std::lock_guard lock(FWorkerLock);
        FWorker = worker;
    }
    return worker;
}

int TCustomFFmpeg::transcode() {
    transcode_run();
    return 0;
}

void TCustomFFmpeg::run() {
    Finished = false;
    guarded([this] {
        if (const int r = transcode(); r < 0)
            raise_error(LastError.empty() ? error_text("transcode", r) : LastError);
    });
    guarded([this] { close_registered_codecs(); });
    guarded([this] { clean_up(); });
    guarded([this] { notify_end(); });
    // An empty line at quiet level lets the logger flush a pending "Last message repeated".
    if (ff::av_log) ff::av_log(nullptr, AV_LOG_QUIET, "%s", "");
}

void TCustomFFmpeg::notify_end() {
    Running = false;
    Terminated = true;
    {
        std::lock_guard lock(FWorkerLock);
        FWorker = nullptr;
    }
    if (OnTerminate) OnTerminate(this);
}

void TCustomFFmpeg::wait_servicing(TEvent& event) {
    while (event.WaitFor(20) != wrSignaled)
        if (IsMainThread()) ServiceMainThread();
}

void TCustomFFmpeg::stop(bool wait) {
    StopRequested = true;
    {
        std::lock_guard lock(FWorkerLock);
        if (FWorker && FWorker->Suspended()) FWorker->Resume();
    }
    // The worker itself (an owner's handler on it asking to stop) must not wait for its end.
    TConvertThread* self = TConvertThread::Current();
    if (self && self->FFFmpeg == this) return;
    // Also without a worker: one that already gave its end notification may still be
    // finishing its run, and the run-done event is set only for a worker that is ending.
    if (wait) wait_servicing(*FRunDone);
}

void TCustomFFmpeg::stop_or_end(bool wait) {
    if (Running) {
        stop(wait);
        return;
    }
    if (Terminated) return;
    if (!FEndPending.exchange(true)) {
        FTerminateDone->ResetEvent();
        auto* t = new TDoTerminateThread(this, FTerminateDone);
        t->Start();
    }
    if (wait) wait_servicing(*FTerminateDone);
}

void TCustomFFmpeg::suspend() {
    std::lock_guard lock(FWorkerLock);
    // Ordered with stop by the lock: a task asked to stop is never paused again.
    if (StopRequested) return;
    if (FWorker && !FWorker->Suspended()) FWorker->Suspend();
}

void TCustomFFmpeg::resume() {
    std::lock_guard lock(FWorkerLock);
    if (FWorker && FWorker->Suspended()) FWorker->Resume();
}

bool TCustomFFmpeg::worker_suspended() const {
    std::lock_guard lock(FWorkerLock);
    return FWorker && FWorker->Suspended();
}

void TCustomFFmpeg::wait_if_paused() {
    TConvertThread* self = TConvertThread::Current();
    if (self && self->FFFmpeg == this && !StopRequested) self->PassGate();
}

void TCustomFFmpeg::set_preview_flags(uint8_t flags) {
    std::lock_guard lock(PreviewLock());
    const uint8_t old = FPreviewFlags;
    FPreviewFlags = flags;
    FPreviewFlagsChanged = true;
    if ((old & 1) && !(flags & 1)) Previewer.reset();
}

uint8_t TCustomFFmpeg::preview_flags() const {
    std::lock_guard lock(PreviewLock());
    return FPreviewFlags;
}

void TCustomFFmpeg::set_hook_bits_per_pixel(int bpp) {
    InputConverter.SetBitsPixel(bpp);
    OutputConverter.SetBitsPixel(bpp);
    HookBitsPixel = bpp;
}

// --- clean-up ----------------------------------------------------------------------------

void TCustomFFmpeg::close_output_file(TOutputFile& f) {
    AVFormatContext* s = f.Context.get();
    if (s) {
        const bool writes_file = s->oformat && !(s->oformat->flags & AVFMT_NOFILE);
        if (writes_file && s->pb) ff::avio_closep(&s->pb);
        if (writes_file && s->url) {
            std::string path = s->url;
            if (path.rfind("file:", 0) == 0) path.erase(0, 5);
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
                ::unlink(path.c_str());
        }
    }
    f.Context.reset();
    f.Options.reset();
}

void TCustomFFmpeg::clean_up() {
    CheckLibrariesLoaded();
    for (auto& f : OutputFiles)
        close_output_file(*f);
    OutputFiles.clear();
    OutputStreams.clear();
    InputFiles.clear();
    InputStreams.clear();
    if (GlobalOptions.VStatsFile) {
        ff::fclose(GlobalOptions.VStatsFile);
        GlobalOptions.VStatsFile = nullptr;
    }
    GlobalOptions.VideoCodecName.clear();
    GlobalOptions.AudioCodecName.clear();
    GlobalOptions.SubtitleCodecName.clear();
    GlobalOptions.PassLogFileName.clear();
    GlobalOptions.VStatsFileName.clear();
    if (!FOptionTable.empty()) reset_options(false, false);
    if (FrameHooks) FrameHooks->Release();
    std::lock_guard lock(PreviewLock());
    Previewer.reset();
    LastPreviewTime = 0;
}

// --- watchdogs ---------------------------------------------------------------------------

int64_t TCustomFFmpeg::watchdog_now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

// Shared by both watchdogs: no lock, no allocation unless it fires.
int WatchdogCheck(TCustomFFmpeg* self, int64_t stamp, int timeout_ms, const char* timeout_text,
                  bool stop_breaks = true) {
    if (stop_breaks && self->StopRequested.load(std::memory_order_relaxed)) {
        FFLogger().Log(self, llInfo, "reading/writing broken");
        return 1;
    }
    if (stamp == TCustomFFmpeg::StampUnarmed || timeout_ms <= 0) return 0;
    if (TCustomFFmpeg::watchdog_now_us() - stamp <= int64_t(timeout_ms) * 1000) return 0;
    FFLogger().Log(self, llInfo, timeout_text);
    return 1;
}

}  // namespace

int TCustomFFmpeg::input_interrupt(void* opaque) {
    auto* self = static_cast<TCustomFFmpeg*>(opaque);
    return WatchdogCheck(self, self->FInputStamp.load(std::memory_order_relaxed), self->ReadTimeout,
                         "connecting/reading timeout");
}

int TCustomFFmpeg::output_interrupt(void* opaque) {
    auto* self = static_cast<TCustomFFmpeg*>(opaque);
    // While a stopped task finishes its files only the time-out breaks a write.
    return WatchdogCheck(self, self->FOutputStamp.load(std::memory_order_relaxed),
                         self->WriteTimeout, "connecting/writing timeout",
                         !self->Finishing.load(std::memory_order_relaxed));
}

// --- open-codec registries ---------------------------------------------------------------

void TCustomFFmpeg::register_encoder(AVCodecContext* c) {
    std::lock_guard lock(CodecRegistryLock());
    FEncoderRegistry.push_back(c);
}

void TCustomFFmpeg::unregister_encoder(AVCodecContext* c) {
    std::lock_guard lock(CodecRegistryLock());
    std::erase(FEncoderRegistry, c);
}

void TCustomFFmpeg::register_decoder(AVCodecContext* c) {
    std::lock_guard lock(CodecRegistryLock());
    FDecoderRegistry.push_back(c);
}

void TCustomFFmpeg::unregister_decoder(AVCodecContext* c) {
    std::lock_guard lock(CodecRegistryLock());
    std::erase(FDecoderRegistry, c);
}

size_t TCustomFFmpeg::registered_codecs() const {
    std::lock_guard lock(CodecRegistryLock());
    return FEncoderRegistry.size() + FDecoderRegistry.size();
}

void TCustomFFmpeg::close_registered_codecs() {
    std::lock_guard lock(CodecRegistryLock());
    for (AVCodecContext* c : FEncoderRegistry) {
        ff::av_freep(&c->stats_in);
        ff::avcodec_close(c);
    }
    FEncoderRegistry.clear();
    for (AVCodecContext* c : FDecoderRegistry)
        ff::avcodec_close(c);
    FDecoderRegistry.clear();
}
