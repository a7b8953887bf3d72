// The encoder component: a list of conversion tasks (engine objects) run on worker threads,
// with the engine's callbacks turned into component events.
//
// Threads: the operations (AddTask, SetOutput, RemoveTask, ClearTasks, Start, Pause, Resume,
// Stop) are called from one thread, the main thread in the program. Each started task runs on
// its own worker ("convert"); terminate events of threaded runs are handed to short-lived
// delivery threads. Progress, preview-bitmap and stream-probe events run on the main thread
// when `TriggerEventInMainThread` is set (the worker waits until the handler has run);
// terminate events of threaded runs then run there too. Hook events always run on the worker.
// A thread that waits for workers on the main thread (Stop(true), ClearTasks, destruction)
// keeps servicing the main-thread queue while it waits.
//
// Ownership: the component owns its task list and every engine object in it. Records handed
// to handlers are the component's own scratch records (or a copy, for terminate events) and
// are valid only during the call.
#pragma once

#include "platform/Bitmap.h"
#include "platform/SyncObjs.h"
#include "platform/Thread.h"
#include "src/FFBaseComponent.h"
#include "src/FFmpeg.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVFrame;

// One progress report of a task (times in microseconds).
struct TProgressInfo {
    int TaskIndex = 0;
    int FileIndex = 0;    // input being read; -1 in the task's final report
    int FrameNumber = 0;  // frames written for the first video output; -1 without video
    int FPS = 0;          // 0 during the first second; -1 without video
    float Quality = -1.0f;
    float BitRate = 0;  // kbit/s
    int64_t CurrentSize = 0;
    int64_t CurrentDuration = 0;
    int64_t TotalDuration = -1;  // -1 when unknown
};

// One per terminated task, plus the final record (TaskIndex -1) once all are done.
struct TTerminateInfo {
    int TaskIndex = 0;
    bool Finished = false;   // ran to its end
    bool Exception = false;  // an error ended it
    std::string ExceptionMsg;
};

// Video hooks: the handler draws on Bitmap and may change Update and StopHook.
struct THookInfo {
    int TaskIndex = 0;
    TBitmap* Bitmap = nullptr;
    int FrameNumber = 0;  // from 1
    int64_t PTS = 0;
    bool Update = true;     // false: the frame goes on as decoded
    bool StopHook = false;  // true: not called again for this task
};

// Raw frame hooks: the picture may be changed in place.
struct TFrameHookInfo {
    int TaskIndex = 0;
    int FrameNumber = 0;
    AVFrame* Picture = nullptr;
    int PixFmt = -1;  // AVPixelFormat
    int Width = 0;
    int Height = 0;
    int64_t PTS = 0;
};

struct TPreviewInfo {
    int TaskIndex = 0;
    TBitmap* Bitmap = nullptr;
    int FrameNumber = 0;
    int64_t PTS = 0;
};

using TAudioHookEvent =
    std::function<void(TObject* Sender, int ATaskIndex, int64_t APTS, void* ASample, int ASize,
                       int ASampleRate, int AChannels, int ASampleFormat)>;
// Sender is the task's engine object (the same type as the probing component's event).
using TBeforeFindStreamInfoEvent =
    std::function<void(TObject* Sender, AVFormatContext* AFormatContext)>;
using TPreviewBitmapEvent = std::function<void(TObject* Sender, const TPreviewInfo& APreviewInfo)>;
using TProgressEvent = std::function<void(TObject* Sender, TProgressInfo* AProgressInfo)>;
using TTerminateEvent = std::function<void(TObject* Sender, const TTerminateInfo& ATerminateInfo)>;
using TVideoHookEvent = std::function<void(TObject* Sender, THookInfo* AHookInfo)>;
using TFrameHookEvent = std::function<void(TObject* Sender, TFrameHookInfo* AHookInfo)>;

// Owning list of engine objects in task-index order. Called from the component's thread.
class TFFmpegList {
public:
    TFFmpegList() = default;
    ~TFFmpegList() { Clear(); }
    TFFmpegList(const TFFmpegList&) = delete;
    TFFmpegList& operator=(const TFFmpegList&) = delete;

    int Add(std::unique_ptr<TFFmpeg> item);  // the new index
    // Frees every object (each stops and waits for its worker first).
    void Clear();
    // Frees the object at `index`; later ones move down. Raises EListError outside the list.
    void Delete(int index);
    TFFmpeg* Items(int index) const;  // raises EListError outside the list
    int IndexOf(const TCustomFFmpeg* item) const;
    int Count() const { return int(FItems.size()); }

    void SuspendAll();
    void ResumeAll();
    // Stop-or-end of every task: running ones are stopped, never-started ones get their end
    // notification; with `wait`, returns when each has ended.
    void StopAll(bool wait);
    void SetPreviewAll(bool on);        // preview flag bit 0
    void SetPreviewBitmapAll(bool on);  // preview flag bit 1

private:
    std::vector<std::unique_ptr<TFFmpeg>> FItems;
};

class TTerminateDeliveryThread;

class TCustomEncoder : public TFFBaseComponent {
public:
    explicit TCustomEncoder(TObject* AOwner = nullptr);
    // Clears the handlers, stops every task and waits for the workers and delivery threads.
    ~TCustomEncoder() override;
    TCustomEncoder(const TCustomEncoder&) = delete;
    TCustomEncoder& operator=(const TCustomEncoder&) = delete;

    // The new task's index, or a negative code with LastErrorMessage set (no task added).
    // An empty `Options->FileName` receives `FileName`. Raises "Cannot AddTask while working.".
    int AddTask(const std::string& FileName, TInputOptions* Options = nullptr);
    // The output's index within the task, or a negative code with LastErrorMessage set (the
    // task stays in the list). Raises EListError for an index outside the list.
    int SetOutput(int TaskIndex, const std::string& FileName, TOutputOptions* Options = nullptr);
    void RemoveTask(int TaskIndex);
    // Frees every task; refused while working until the final terminate event was issued.
    void ClearTasks();
    // Count > 0: at most Count tasks on worker threads, returns at once. Count <= 0: runs
    // every task on the calling thread and returns after all their terminate events.
    void Start(int Count);
    void Pause();
    void Resume();
    // No further task starts; running tasks are stopped and never-started ones terminate.
    // With Wait, returns after each has ended.
    void Stop(bool Wait);

    const std::string& LastErrorMessage() const { return FLastErrorMessage; }
    bool Working() const { return FWorking; }
    bool Paused() const { return FPaused; }
    int TaskCount() const { return FTasks.Count(); }

protected:
    // Published by TFFEncoder.
    bool Preview() const { return FPreview; }
    void SetPreview(bool Value);
    bool PreviewBitmap() const { return FPreviewBitmap; }
    void SetPreviewBitmap(bool Value);
    int ProgressInterval() const { return FProgressInterval; }
    void SetProgressInterval(int Value);  // milliseconds; 100 or less is stored as 100
    std::atomic<TThreadPriority> ThreadPriority{tpNormal};
    std::atomic<bool> TriggerEventInMainThread{true};

    TAudioHookEvent OnAudioHook;
    TBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;
    TPreviewBitmapEvent OnPreviewBitmap;
    TProgressEvent OnProgress;
    TTerminateEvent OnTerminate;
    TVideoHookEvent OnVideoInputHook;
    TVideoHookEvent OnVideoOutputHook;
    TFrameHookEvent OnFrameInputHook;
    TFrameHookEvent OnFrameOutputHook;

    // Dispatchers the engine objects call back.
    virtual void DoVideoInputHook(TCustomFFmpeg* Sender, TBitmap* ABitmap, int AFrameNumber,
                                  int64_t APTS, bool& AUpdate, bool& AStopHook);
    virtual void DoVideoOutputHook(TCustomFFmpeg* Sender, TBitmap* ABitmap, int AFrameNumber,
                                   int64_t APTS, bool& AUpdate, bool& AStopHook);
    virtual void DoFrameInputHook(TCustomFFmpeg* Sender, AVFrame* APicture, int APixFmt,
                                  int AFrameNumber, int AWidth, int AHeight, int64_t APTS);
    virtual void DoFrameOutputHook(TCustomFFmpeg* Sender, AVFrame* APicture, int APixFmt,
                                   int AFrameNumber, int AWidth, int AHeight, int64_t APTS);
    virtual void DoPreviewBitmap(TCustomFFmpeg* Sender, TBitmap* ABitmap, int AFrameNumber,
                                 int64_t APTS);
    virtual void DoProgress(TCustomFFmpeg* Sender, int AFileIndex, int AFrameNumber, int AFPS,
                            float AQuality, float ABitRate, int64_t ACurrentSize,
                            int64_t ACurrentDuration, int64_t ATotalDuration);
    virtual void DoTerminate(TCustomFFmpeg* Sender);
    void DoAudioHook(TCustomFFmpeg* Sender, void* ASample, int64_t APTS, int ASize, int ASampleRate,
                     int AChannels, int ASampleFormat);
    void DoStreamProbe(TCustomFFmpeg* Sender, AVFormatContext* AFormatContext);

private:
    friend class TTerminateDeliveryThread;

    void CheckBusy(const char* operation) const;
    // Starts the next pending task, if any.
    void StartNext();
    // Marks the batch done and issues the final event; a synchronous run gets the record back
    // to call the handler itself once the lock is released.
    std::optional<TTerminateInfo> AllDone_locked();
    // Hands `info` to a new delivery thread; `wait` holds it back until every earlier
    // per-task delivery has run.
    void Deliver_locked(const TTerminateInfo& info, bool wait);
    void CallTerminate(const TTerminateInfo& info);
    void ReapDeliveries(bool wait_all);
    void DoVideoHook(const TVideoHookEvent& handler, TCustomFFmpeg* Sender, TBitmap* ABitmap,
                     int AFrameNumber, int64_t APTS, bool& AUpdate, bool& AStopHook);
    void DoFrameHook(const TFrameHookEvent& handler, TCustomFFmpeg* Sender, AVFrame* APicture,
                     int APixFmt, int AFrameNumber, int AWidth, int AHeight, int64_t APTS);
    // Runs `call` on the main thread when TriggerEventInMainThread, else here.
    void CallMaybeInMainThread(const std::function<void()>& call);

    TFFmpegList FTasks;
    // Task counters, guarded by FTerminateLock.
    int FDoneCount = 0;
    int FNextIndex = -1;
    int FPendingCount = 0;
    std::atomic<bool> FAllTerminated{false};
    bool FThreaded = false;
    std::atomic<bool> FWorking{false};
    std::atomic<bool> FPaused{false};
    // Depth of synchronous Start calls on the stack (their tasks must not be freed).
    int FSyncRuns = 0;
    // Set first by the destructor: from then on no event reaches a handler.
    std::atomic<bool> FDestroying{false};

    std::string FLastErrorMessage;
    std::atomic<bool> FPreview{false};
    std::atomic<bool> FPreviewBitmap{false};
    std::atomic<int> FProgressInterval{500};

    // One lock per event family; each guards that family's scratch record.
    TCriticalSection FAudioHookLock;
    TCriticalSection FPreviewBitmapLock;  // FPreviewInfo
    TCriticalSection FProgressLock;       // FProgressInfo
    TCriticalSection FTerminateLock;      // FTerminateInfo, the task counters, FThreaded
    TCriticalSection FVideoHookLock;      // FHookInfo (input and output hooks)
    TCriticalSection FFrameHookLock;      // FFrameHookInfo (input and output hooks)
    TCriticalSection FStreamProbeLock;    // FProbeTask, FProbeContext

    TProgressInfo FProgressInfo;
    TTerminateInfo FTerminateInfo;
    TPreviewInfo FPreviewInfo;
    THookInfo FHookInfo;
    TFrameHookInfo FFrameHookInfo;
    TCustomFFmpeg* FProbeTask = nullptr;
    AVFormatContext* FProbeContext = nullptr;

    // Per-task terminate events handed to delivery threads and not yet delivered; the final
    // event waits until this is 0.
    std::mutex FDeliveryStateLock;  // guards FUndelivered
    std::condition_variable FDelivered;
    int FUndelivered = 0;
    // The delivery threads, reaped when done. Guarded by FDeliveryThreadsLock.
    std::mutex FDeliveryThreadsLock;
    std::vector<std::unique_ptr<TTerminateDeliveryThread>> FDeliveryThreads;
};

// The component as the program uses it: publishes the properties and events.
class TFFEncoder : public TCustomEncoder {
public:
    explicit TFFEncoder(TObject* AOwner = nullptr) : TCustomEncoder(AOwner) {}

    using TCustomEncoder::Preview;
    using TCustomEncoder::PreviewBitmap;
    using TCustomEncoder::ProgressInterval;
    using TCustomEncoder::SetPreview;
    using TCustomEncoder::SetPreviewBitmap;
    using TCustomEncoder::SetProgressInterval;
    using TCustomEncoder::ThreadPriority;
    using TCustomEncoder::TriggerEventInMainThread;

    using TCustomEncoder::OnAudioHook;
    using TCustomEncoder::OnBeforeFindStreamInfo;
    using TCustomEncoder::OnFrameInputHook;
    using TCustomEncoder::OnFrameOutputHook;
    using TCustomEncoder::OnPreviewBitmap;
    using TCustomEncoder::OnProgress;
    using TCustomEncoder::OnTerminate;
    using TCustomEncoder::OnVideoInputHook;
    using TCustomEncoder::OnVideoOutputHook;
};
