#include "src/FFEncode.h"

#include "platform/MainThread.h"
#include "src/FFLog.h"

#include <chrono>
#include <exception>
#include <optional>
#include <thread>
#include <utility>

// --- task list -----------------------------------------------------------------------------

int TFFmpegList::Add(std::unique_ptr<TFFmpeg> item) {
    FItems.push_back(std::move(item));
    return int(FItems.size()) - 1;
}

void TFFmpegList::Clear() {
    // Freed one by one, last first, so indexes of the others stay valid meanwhile. Each
    // engine object stops and waits for its worker (and a pending end notification) before
    // its callbacks go away with it.
    while (!FItems.empty()) {
        std::unique_ptr<TFFmpeg> item = std::move(FItems.back());
        FItems.pop_back();
        item.reset();
    }
}

void TFFmpegList::Delete(int index) {
    Items(index);
    std::unique_ptr<TFFmpeg> item = std::move(FItems[size_t(index)]);
    FItems.erase(FItems.begin() + index);
    item.reset();
}

TFFmpeg* TFFmpegList::Items(int index) const {
    if (index < 0 || index >= Count())
        throw EListError(Format("List index out of bounds (%d)", index));
    return FItems[size_t(index)].get();
}

int TFFmpegList::IndexOf(const TCustomFFmpeg* item) const {
    for (size_t i = 0; i < FItems.size(); ++i)
        if (FItems[i].get() == item) return int(i);
    return -1;
}

void TFFmpegList::SuspendAll() {
    for (auto& t : FItems)
        t->suspend();
}

void TFFmpegList::ResumeAll() {
    for (auto& t : FItems)
        t->resume();
}

void TFFmpegList::StopAll(bool wait) {
    for (auto& t : FItems)
        t->stop_or_end(wait);
}

void TFFmpegList::SetPreviewAll(bool on) {
    for (auto& t : FItems)
        t->set_preview_flags(uint8_t((t->preview_flags() & ~1u) | (on ? 1u : 0u)));
}

void TFFmpegList::SetPreviewBitmapAll(bool on) {
    for (auto& t : FItems)
        t->set_preview_flags(uint8_t((t->preview_flags() & ~2u) | (on ? 2u : 0u)));
}

// --- terminate delivery ---------------------------------------------------------------------

// Delivers one terminate event off the worker: a per-task event at once, the final one after
// every per-task event handed out before it.
class TTerminateDeliveryThread : public TThread {
public:
    TTerminateDeliveryThread(TCustomEncoder* AEncoder, TTerminateEvent AHandler,
                             TTerminateInfo AInfo, bool AWait, bool AInMainThread)
        : TThread(true, "deliver"), FEncoder(AEncoder), FHandler(std::move(AHandler)),
          FInfo(std::move(AInfo)), FWait(AWait), FInMainThread(AInMainThread) {
        Start();
    }
    ~TTerminateDeliveryThread() override {
        Terminate();
        WaitFor();
    }

protected:
    void Execute() override {
        if (FWait) {
            std::unique_lock lock(FEncoder->FDeliveryStateLock);
            FEncoder->FDelivered.wait(lock, [this] { return FEncoder->FUndelivered == 0; });
        }
        try {
            if (FHandler) {
                // The check runs where the handler runs, so a destructor on the main thread
                // that services this call sees no event.
                auto call = [this] {
                    if (!FEncoder->FDestroying) FHandler(FEncoder, FInfo);
                };
                if (FInMainThread)
                    Synchronize(call);
                else
                    call();
            }
        } catch (const std::exception& e) {
            FFLogger().Log(FEncoder, llError, Format("OnTerminate: %s", e.what()));
        } catch (...) {
            FFLogger().Log(FEncoder, llError, "OnTerminate: unknown exception");
        }
        if (!FWait) {
            std::lock_guard lock(FEncoder->FDeliveryStateLock);
            --FEncoder->FUndelivered;
            FEncoder->FDelivered.notify_all();
        }
    }

private:
    TCustomEncoder* FEncoder;
    TTerminateEvent FHandler;
    TTerminateInfo FInfo;
    bool FWait;
    bool FInMainThread;
};

// --- component -----------------------------------------------------------------------------

TCustomEncoder::TCustomEncoder(TObject* AOwner) : TFFBaseComponent(AOwner) {}

TCustomEncoder::~TCustomEncoder() {
    // No event reaches the owner from here on; the handlers are cleared once no worker can
    // be reading them.
    FDestroying = true;
    {
        std::lock_guard lock(FTerminateLock);
        FPendingCount = 0;
    }
    if (FWorking) {
        try {
            FTasks.StopAll(true);
        } catch (...) {
        }
    }
    ReapDeliveries(true);
    FTasks.Clear();
    OnAudioHook = nullptr;
    OnBeforeFindStreamInfo = nullptr;
    OnPreviewBitmap = nullptr;
    OnProgress = nullptr;
    OnTerminate = nullptr;
    OnVideoInputHook = nullptr;
    OnVideoOutputHook = nullptr;
    OnFrameInputHook = nullptr;
    OnFrameOutputHook = nullptr;
}

void TCustomEncoder::CheckBusy(const char* operation) const {
    if (FWorking) throw Exception(Format("Cannot %s while working.", operation));
}

void TCustomEncoder::SetPreview(bool Value) {
    FPreview = Value;
    FTasks.SetPreviewAll(Value);
}

void TCustomEncoder::SetPreviewBitmap(bool Value) {
    FPreviewBitmap = Value;
    FTasks.SetPreviewBitmapAll(Value);
}

void TCustomEncoder::SetProgressInterval(int Value) {
    FProgressInterval = Value <= 100 ? 100 : Value;
}

int TCustomEncoder::AddTask(const std::string& FileName, TInputOptions* Options) {
    CheckBusy("AddTask");
    std::unique_ptr<TFFmpeg> task;
    try {
        task = std::make_unique<TFFmpeg>(this);
        task->OnStreamProbe = [this](TCustomFFmpeg* s, AVFormatContext* c) { DoStreamProbe(s, c); };
        task->OnPreviewBitmap = [this](TCustomFFmpeg* s, TBitmap* b, int n, int64_t pts) {
            DoPreviewBitmap(s, b, n, pts);
        };
        task->set_preview_flags(uint8_t((FPreview ? 1 : 0) | (FPreviewBitmap ? 2 : 0)));
        task->StrictOptions = true;
        if (Options) {
            if (Options->FileName.empty()) Options->FileName = FileName;
            task->SetInputOptions(int(task->InputFiles.size()), *Options);
            task->ParseOptions(Options->Options);
            task->ParsePresets(Options->Presets);
        }
        task->ReadTimeout = ReadTimeout;
        task->WriteTimeout = WriteTimeout;
        const int r = task->open_input_file(task->OptionsContext, FileName);
        if (r < 0) {
            FLastErrorMessage = task->LastError;
            return r;
        }
        task->OnProgress = [this](TCustomFFmpeg* s, int file, int frame, int fps, float q,
                                  float rate, int64_t size, int64_t cur, int64_t total) {
            DoProgress(s, file, frame, fps, q, rate, size, cur, total);
        };
        task->OnTerminate = [this](TCustomFFmpeg* s) { DoTerminate(s); };
        return FTasks.Add(std::move(task));
    } catch (const std::exception& e) {
        FLastErrorMessage = e.what();
        return -1;
    }
}

int TCustomEncoder::SetOutput(int TaskIndex, const std::string& FileName, TOutputOptions* Options) {
    CheckBusy("SetOutput");
    TFFmpeg* task = FTasks.Items(TaskIndex);
    task->StrictOptions = true;
    const int index = int(task->OutputFiles.size());
    try {
        bool join = false;
        if (Options) {
            if (Options->FileName.empty()) Options->FileName = FileName;
            task->SetOutputOptions(index, *Options);
            if (Options->AudioHook)
                task->OnAudioHook = [this](TCustomFFmpeg* s, void* data, int64_t pts, int size,
                                           int rate, int channels, int fmt) {
                    DoAudioHook(s, data, pts, size, rate, channels, fmt);
                };
            if (Options->VideoInputHook)
                task->OnVideoInputHook = [this](TCustomFFmpeg* s, TBitmap* b, int n, int64_t pts,
                                                bool& update, bool& stop) {
                    DoVideoInputHook(s, b, n, pts, update, stop);
                };
            if (Options->VideoOutputHook)
                task->OnVideoOutputHook = [this](TCustomFFmpeg* s, TBitmap* b, int n, int64_t pts,
                                                 bool& update, bool& stop) {
                    DoVideoOutputHook(s, b, n, pts, update, stop);
                };
            if (Options->FrameInputHook)
                task->OnFrameInputHook = [this](TCustomFFmpeg* s, AVFrame* p, int fmt, int n, int w,
                                                int h, int64_t pts) {
                    DoFrameInputHook(s, p, fmt, n, w, h, pts);
                };
            if (Options->FrameOutputHook)
                task->OnFrameOutputHook = [this](TCustomFFmpeg* s, AVFrame* p, int fmt, int n,
                                                 int w, int h, int64_t pts) {
                    DoFrameOutputHook(s, p, fmt, n, w, h, pts);
                };
            task->set_hook_bits_per_pixel(Options->VideoHookBitsPixel);
            task->ParseOptions(Options->Options);
            task->ParsePresets(Options->Presets);
            join = Options->Join;
        } else {
            task->ClearOutputOptions(index);
        }
        task->ReadTimeout = ReadTimeout;
        task->WriteTimeout = WriteTimeout;
        const int r = task->open_output_file(task->OptionsContext, FileName, join);
        if (r < 0) {
            FLastErrorMessage = task->LastError;
            task->ClearOutputOptions(index);
        }
        return r;
    } catch (const std::exception& e) {
        FLastErrorMessage = e.what();
        task->ClearOutputOptions(index);
        return -1;
    }
}

void TCustomEncoder::RemoveTask(int TaskIndex) {
    CheckBusy("RemoveTask");
    FTasks.Delete(TaskIndex);
}

void TCustomEncoder::ClearTasks() {
    // A synchronous Start still has a task's run on the stack (a handler called from it):
    // freeing the tasks now would pull the engine object from under that run.
    if (FWorking && (!FAllTerminated || FSyncRuns > 0))
        throw Exception("Cannot ClearTasks while working.");
    // Not under the terminate lock: the last worker may still hold it on its way out, and
    // freeing its engine object waits for that worker.
    FTasks.Clear();
    ReapDeliveries(false);
    FLastErrorMessage.clear();
    std::lock_guard lock(FTerminateLock);
    FDoneCount = 0;
    FNextIndex = -1;
    FPendingCount = 0;
    FAllTerminated = false;
    FThreaded = false;
    FWorking = false;
    FPaused = false;
}

void TCustomEncoder::Start(int Count) {
    CheckBusy("StartTask");
    std::optional<TTerminateInfo> empty_final;
    {
        std::lock_guard lock(FTerminateLock);
        FDoneCount = 0;
        FNextIndex = 0;
        FPendingCount = FTasks.Count();
        FAllTerminated = false;
        FThreaded = Count > 0;
        FWorking = true;
        FPaused = false;
        // Nothing to run: the batch is done at once, so the final event comes and
        // ClearTasks can end the batch.
        if (FTasks.Count() == 0) empty_final = AllDone_locked();
    }
    if (FTasks.Count() == 0) {
        if (empty_final && OnTerminate) OnTerminate(this, *empty_final);
        return;
    }
    if (Count > 0) {
        for (int started = 0; started < Count; ++started) {
            {
                std::lock_guard lock(FTerminateLock);
                if (FPendingCount == 0) break;
            }
            StartNext();
        }
        return;
    }
    ++FSyncRuns;
    try {
        for (;;) {
            {
                std::lock_guard lock(FTerminateLock);
                if (FPendingCount == 0) break;
            }
            StartNext();
        }
    } catch (...) {
        --FSyncRuns;
        throw;
    }
    --FSyncRuns;
}

void TCustomEncoder::StartNext() {
    std::unique_lock lock(FTerminateLock);
    if (FPendingCount == 0) return;
    TFFmpeg* task = FTasks.Items(FNextIndex);
    ++FNextIndex;
    --FPendingCount;
    task->ReportInterval = int64_t(FProgressInterval) * 1000;
    if (FThreaded) {
        // Started under the lock, so a Stop that empties the pending count after us finds
        // the task running, and one before us keeps it from being taken.
        if (TThread* worker = task->start(true, ThreadPriority)) {
            worker->Resume();
            if (FPaused) task->suspend();
        }
        return;
    }
    // A synchronous run must not hold the lock: Stop from another thread needs it.
    lock.unlock();
    task->start(false);
}

void TCustomEncoder::DoTerminate(TCustomFFmpeg* Sender) {
    // A synchronous run calls the handler directly, after the lock is released: a handler
    // that stops the batch waits for notification threads that need the lock.
    std::optional<TTerminateInfo> direct_task, direct_final;
    {
        std::lock_guard lock(FTerminateLock);
        if (OnTerminate && !FDestroying) {
            FTerminateInfo.TaskIndex = FTasks.IndexOf(Sender);
            FTerminateInfo.Finished = Sender->Finished;
            FTerminateInfo.Exception = Sender->ExceptionRaised;
            FTerminateInfo.ExceptionMsg = Sender->ExceptionMsg;
            if (FThreaded || !FWorking)
                Deliver_locked(FTerminateInfo, false);
            else
                direct_task = FTerminateInfo;
        }
        if (FWorking) {
            ++FDoneCount;
            if (FPendingCount >= 1) {
                if (FThreaded) StartNext();
            } else if (FDoneCount >= FTasks.Count() && !FAllTerminated) {
                direct_final = AllDone_locked();
            }
        }
    }
    std::exception_ptr handler_error;
    if (direct_task) {
        try {
            OnTerminate(this, *direct_task);
        } catch (...) {
            handler_error = std::current_exception();
        }
    }
    if (direct_final && OnTerminate && !FDestroying) OnTerminate(this, *direct_final);
    if (handler_error) std::rethrow_exception(handler_error);
}

std::optional<TTerminateInfo> TCustomEncoder::AllDone_locked() {
    FAllTerminated = true;
    if (!OnTerminate || FDestroying) return std::nullopt;
    FTerminateInfo.TaskIndex = -1;
    FTerminateInfo.Finished = true;
    FTerminateInfo.Exception = false;
    FTerminateInfo.ExceptionMsg.clear();
    if (FThreaded || !FWorking) {
        Deliver_locked(FTerminateInfo, true);
        return std::nullopt;
    }
    return FTerminateInfo;
}

void TCustomEncoder::Deliver_locked(const TTerminateInfo& info, bool wait) {
    if (!wait) {
        std::lock_guard lock(FDeliveryStateLock);
        ++FUndelivered;
    }
    ReapDeliveries(false);
    std::lock_guard lock(FDeliveryThreadsLock);
    FDeliveryThreads.push_back(std::make_unique<TTerminateDeliveryThread>(
        this, OnTerminate, info, wait, TriggerEventInMainThread.load()));
}

void TCustomEncoder::ReapDeliveries(bool wait_all) {
    std::vector<std::unique_ptr<TTerminateDeliveryThread>> done;
    for (;;) {
        bool busy = false;
        {
            std::lock_guard lock(FDeliveryThreadsLock);
            for (auto it = FDeliveryThreads.begin(); it != FDeliveryThreads.end();) {
                if ((*it)->Finished()) {
                    done.push_back(std::move(*it));
                    it = FDeliveryThreads.erase(it);
                } else {
                    busy = true;
                    ++it;
                }
            }
        }
        // Joined outside the list lock (a finished thread is only returning).
        done.clear();
        if (!wait_all || !busy) return;
        // A delivery may be waiting for the main thread.
        if (IsMainThread()) {
            CheckSynchronize(10);
            ProcessMessages();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

void TCustomEncoder::Pause() {
    if (!FWorking || FPaused) return;
    std::lock_guard lock(FTerminateLock);
    FTasks.SuspendAll();
    FPaused = true;
}

void TCustomEncoder::Resume() {
    if (!FWorking || !FPaused) return;
    std::lock_guard lock(FTerminateLock);
    FTasks.ResumeAll();
    FPaused = false;
}

void TCustomEncoder::Stop(bool Wait) {
    {
        std::lock_guard lock(FTerminateLock);
        FPendingCount = 0;
    }
    // Not under the lock: ending tasks take it in DoTerminate while this waits for them.
    if (FWorking) FTasks.StopAll(Wait);
}

// --- event dispatch ------------------------------------------------------------------------

void TCustomEncoder::CallMaybeInMainThread(const std::function<void()>& call) {
    if (TriggerEventInMainThread)
        Synchronize([this, &call] {
            if (!FDestroying) call();
        });
    else
        call();
}

void TCustomEncoder::DoVideoHook(const TVideoHookEvent& handler, TCustomFFmpeg* Sender,
                                 TBitmap* ABitmap, int AFrameNumber, int64_t APTS, bool& AUpdate,
                                 bool& AStopHook) {
    std::lock_guard lock(FVideoHookLock);
    FHookInfo.TaskIndex = FTasks.IndexOf(Sender);
    FHookInfo.Bitmap = ABitmap;
    FHookInfo.FrameNumber = AFrameNumber;
    FHookInfo.PTS = APTS;
    FHookInfo.Update = AUpdate;
    FHookInfo.StopHook = AStopHook;
    struct TCanvasLock {
        TBitmap* b;
        explicit TCanvasLock(TBitmap* bmp) : b(bmp) {
            if (b) b->Canvas().Lock();
        }
        ~TCanvasLock() {
            if (b) b->Canvas().Unlock();
        }
    } canvas(ABitmap);
    handler(this, &FHookInfo);
    AUpdate = FHookInfo.Update;
    AStopHook = FHookInfo.StopHook;
}

void TCustomEncoder::DoVideoInputHook(TCustomFFmpeg* Sender, TBitmap* ABitmap, int AFrameNumber,
                                      int64_t APTS, bool& AUpdate, bool& AStopHook) {
    if (!OnVideoInputHook || FDestroying) return;
    DoVideoHook(OnVideoInputHook, Sender, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
}

void TCustomEncoder::DoVideoOutputHook(TCustomFFmpeg* Sender, TBitmap* ABitmap, int AFrameNumber,
                                       int64_t APTS, bool& AUpdate, bool& AStopHook) {
    if (!OnVideoOutputHook || FDestroying) return;
    DoVideoHook(OnVideoOutputHook, Sender, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
}

void TCustomEncoder::DoFrameHook(const TFrameHookEvent& handler, TCustomFFmpeg* Sender,
                                 AVFrame* APicture, int APixFmt, int AFrameNumber, int AWidth,
                                 int AHeight, int64_t APTS) {
    std::lock_guard lock(FFrameHookLock);
    FFrameHookInfo.TaskIndex = FTasks.IndexOf(Sender);
    FFrameHookInfo.FrameNumber = AFrameNumber;
    FFrameHookInfo.Picture = APicture;
    FFrameHookInfo.PixFmt = APixFmt;
    FFrameHookInfo.Width = AWidth;
    FFrameHookInfo.Height = AHeight;
    FFrameHookInfo.PTS = APTS;
    handler(this, &FFrameHookInfo);
}

void TCustomEncoder::DoFrameInputHook(TCustomFFmpeg* Sender, AVFrame* APicture, int APixFmt,
                                      int AFrameNumber, int AWidth, int AHeight, int64_t APTS) {
    if (!OnFrameInputHook || FDestroying) return;
    DoFrameHook(OnFrameInputHook, Sender, APicture, APixFmt, AFrameNumber, AWidth, AHeight, APTS);
}

void TCustomEncoder::DoFrameOutputHook(TCustomFFmpeg* Sender, AVFrame* APicture, int APixFmt,
                                       int AFrameNumber, int AWidth, int AHeight, int64_t APTS) {
    if (!OnFrameOutputHook || FDestroying) return;
    DoFrameHook(OnFrameOutputHook, Sender, APicture, APixFmt, AFrameNumber, AWidth, AHeight, APTS);
}

// The main-thread events take their lock where the handler runs: a worker never blocks on
// the main thread while holding it, so a handler on the main thread that waits for the
// workers cannot be stuck behind another worker queued on the lock.
void TCustomEncoder::DoPreviewBitmap(TCustomFFmpeg* Sender, TBitmap* ABitmap, int AFrameNumber,
                                     int64_t APTS) {
    if (!OnPreviewBitmap || FDestroying) return;
    CallMaybeInMainThread([&] {
        std::lock_guard lock(FPreviewBitmapLock);
        FPreviewInfo.TaskIndex = FTasks.IndexOf(Sender);
        FPreviewInfo.Bitmap = ABitmap;
        FPreviewInfo.FrameNumber = AFrameNumber;
        FPreviewInfo.PTS = APTS;
        OnPreviewBitmap(this, FPreviewInfo);
    });
}

void TCustomEncoder::DoProgress(TCustomFFmpeg* Sender, int AFileIndex, int AFrameNumber, int AFPS,
                                float AQuality, float ABitRate, int64_t ACurrentSize,
                                int64_t ACurrentDuration, int64_t ATotalDuration) {
    if (!OnProgress || FDestroying) return;
    CallMaybeInMainThread([&] {
        std::lock_guard lock(FProgressLock);
        FProgressInfo.TaskIndex = FTasks.IndexOf(Sender);
        FProgressInfo.FileIndex = AFileIndex;
        FProgressInfo.FrameNumber = AFrameNumber;
        FProgressInfo.FPS = AFPS;
        FProgressInfo.Quality = AQuality;
        FProgressInfo.BitRate = ABitRate;
        FProgressInfo.CurrentSize = ACurrentSize;
        FProgressInfo.CurrentDuration = ACurrentDuration;
        FProgressInfo.TotalDuration = ATotalDuration;
        OnProgress(this, &FProgressInfo);
    });
}

void TCustomEncoder::DoAudioHook(TCustomFFmpeg* Sender, void* ASample, int64_t APTS, int ASize,
                                 int ASampleRate, int AChannels, int ASampleFormat) {
    if (!OnAudioHook || FDestroying) return;
    std::lock_guard lock(FAudioHookLock);
    OnAudioHook(this, FTasks.IndexOf(Sender), APTS, ASample, ASize, ASampleRate, AChannels,
                ASampleFormat);
}

void TCustomEncoder::DoStreamProbe(TCustomFFmpeg* Sender, AVFormatContext* AFormatContext) {
    if (!OnBeforeFindStreamInfo || FDestroying) return;
    CallMaybeInMainThread([&] {
        std::lock_guard lock(FStreamProbeLock);
        FProbeTask = Sender;
        FProbeContext = AFormatContext;
        OnBeforeFindStreamInfo(FProbeTask, FProbeContext);
    });
}
