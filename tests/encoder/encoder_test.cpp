// The encoder component on real tasks: set-up results, the run modes and their event order,
// stop and pause, the busy checks, the video hook's Update and StopHook, and the threads the
// events arrive on.
#include "encoder/encoder_fixture.h"
#include "src/FFEncode.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <thread>
#include <mutex>
#include <set>

namespace {

using namespace encoder_test;

// Lets a test act on the calling engine object before the component dispatches a video
// hook (outside the component's hook lock).
class TTestEncoder : public TFFEncoder {
public:
    std::function<void(TCustomFFmpeg*, int AFrameNumber)> BeforeVideoInputHook;

protected:
    void DoVideoInputHook(TCustomFFmpeg* Sender, TBitmap* ABitmap, int AFrameNumber, int64_t APTS,
                          bool& AUpdate, bool& AStopHook) override {
        if (BeforeVideoInputHook) BeforeVideoInputHook(Sender, AFrameNumber);
        TFFEncoder::DoVideoInputHook(Sender, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
    }
};

// Everything the events tell, with the thread they came on.
struct TRecorder {
    std::mutex m;  // guards every field below
    std::vector<TTerminateInfo> terms;
    bool term_off_main = false;
    std::vector<int> hook_tasks;  // TaskIndex of every video hook call, in order
    bool hook_on_main = false;
    int progress = 0;
    bool progress_off_main = false;

    void Attach(TFFEncoder& e) {
        e.OnTerminate = [this](TObject*, const TTerminateInfo& t) {
            std::lock_guard lock(m);
            terms.push_back(t);
            term_off_main |= !IsMainThread();
        };
        e.OnProgress = [this](TObject*, TProgressInfo*) {
            std::lock_guard lock(m);
            ++progress;
            progress_off_main |= !IsMainThread();
        };
        e.OnVideoInputHook = [this](TObject*, THookInfo* h) {
            std::lock_guard lock(m);
            hook_tasks.push_back(h->TaskIndex);
            hook_on_main |= IsMainThread();
        };
    }
    bool FinalSeen() {
        std::lock_guard lock(m);
        return !terms.empty() && terms.back().TaskIndex == -1;
    }
    std::vector<int> TermOrder() {
        std::lock_guard lock(m);
        std::vector<int> order;
        for (const auto& t : terms)
            order.push_back(t.TaskIndex);
        return order;
    }
};

// Per-task terminate events of threaded runs come on their own delivery threads, in no
// promised order among themselves; the final one (-1) is always last.
std::vector<int> SortedTasks(std::vector<int> order) {
    if (!order.empty() && order.back() == -1) std::sort(order.begin(), order.end() - 1);
    return order;
}

class EncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(engine_test::LoadLibraries());
        clip = Clip();
        ASSERT_FALSE(clip.empty()) << "fixture clip missing";
    }
    std::string OutPath(int i, const char* ext = ".avi") {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return TempPath(std::string(info->name()) + "_" + std::to_string(i) + ext);
    }
    // `n` tasks converting the clip, each with the video input hook on.
    void AddTasks(TFFEncoder& e, int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(e.AddTask(clip), i) << e.LastErrorMessage();
            TOutputOptions out;
            out.Options = "-c:v mpeg4";
            out.VideoInputHook = true;
            ASSERT_EQ(e.SetOutput(i, OutPath(i), &out), 0) << e.LastErrorMessage();
        }
    }
    std::string clip;
};

TEST(EncoderProperties, DefaultsAndProgressIntervalFloor) {
    TFFEncoder e;
    EXPECT_FALSE(e.Preview());
    EXPECT_FALSE(e.PreviewBitmap());
    EXPECT_TRUE(e.TriggerEventInMainThread);
    EXPECT_EQ(e.ThreadPriority, tpNormal);
    EXPECT_EQ(e.ProgressInterval(), 500);
    EXPECT_FALSE(e.Working());
    EXPECT_FALSE(e.Paused());
    EXPECT_EQ(e.Version(), "4.6b");
    const struct {
        int set, reads;
    } rows[] = {{50, 100}, {100, 100}, {101, 101}, {-5, 100}, {2000, 2000}};
    for (const auto& r : rows) {
        e.SetProgressInterval(r.set);
        EXPECT_EQ(e.ProgressInterval(), r.reads) << "set " << r.set;
    }
}

TEST_F(EncoderTest, AddTaskResults) {
    struct Row {
        const char* name;
        std::string file;
        bool with_options;
        std::string record_file;  // FileName in the record before the call
        std::string options;
        bool ok;
        std::string record_after;  // expected FileName in the record afterwards
        std::string error_part;    // part of LastErrorMessage on failure
    };
    const std::string missing = TempPath("no-such-file.mkv");
    const Row rows[] = {
        {"null options", clip, false, "", "", true, "", ""},
        {"empty record name filled", clip, true, "", "", true, clip, ""},
        {"record name kept", clip, true, "given.mkv", "-ss 0.1", true, "given.mkv", ""},
        {"unknown option", clip, true, "", "-nosuchoption 1", false, clip,
         "Unrecognized option \"nosuchoption\""},
        {"missing file", missing, false, "", "", false, "", missing},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TFFEncoder e;
        TInputOptions in;
        in.FileName = r.record_file;
        in.Options = r.options;
        const int result = e.AddTask(r.file, r.with_options ? &in : nullptr);
        if (r.ok) {
            EXPECT_EQ(result, 0) << e.LastErrorMessage();
            EXPECT_EQ(e.TaskCount(), 1);
        } else {
            EXPECT_LT(result, 0);
            if (r.options.empty()) {
                EXPECT_NE(result, -1) << "an open failure gives the library's code";
            } else {
                EXPECT_EQ(result, -1);
            }
            EXPECT_NE(e.LastErrorMessage().find(r.error_part), std::string::npos)
                << e.LastErrorMessage();
            EXPECT_EQ(e.TaskCount(), 0);
        }
        if (r.with_options) {
            EXPECT_EQ(in.FileName, r.record_after);
        }
    }
}

TEST_F(EncoderTest, SetOutputResults) {
    TFFEncoder e;
    ASSERT_EQ(e.AddTask(clip), 0) << e.LastErrorMessage();
    EXPECT_THROW(e.SetOutput(1, OutPath(0)), EListError);
    EXPECT_THROW(e.SetOutput(-1, OutPath(0)), EListError);

    TOutputOptions bad;
    bad.Options = "-c:v no-such-encoder";
    EXPECT_LT(e.SetOutput(0, OutPath(0), &bad), 0);
    EXPECT_FALSE(e.LastErrorMessage().empty());
    EXPECT_EQ(e.TaskCount(), 1) << "the task stays for the caller to remove";
    EXPECT_EQ(bad.FileName, OutPath(0));

    TOutputOptions good;
    good.Options = "-c:v mpeg4";
    EXPECT_EQ(e.SetOutput(0, OutPath(1), &good), 0) << e.LastErrorMessage();
    e.RemoveTask(0);
    EXPECT_EQ(e.TaskCount(), 0);
    EXPECT_THROW(e.RemoveTask(0), EListError);
}

// Synchronous run: Start returns after every event, each delivered on the calling thread.
TEST_F(EncoderTest, StartZeroRunsEveryTaskBeforeReturning) {
    TFFEncoder e;
    TRecorder rec;
    rec.Attach(e);
    AddTasks(e, 3);
    e.Start(0);
    EXPECT_EQ(rec.TermOrder(), (std::vector<int>{0, 1, 2, -1}));
    EXPECT_FALSE(rec.term_off_main);
    for (size_t i = 0; i < rec.terms.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(rec.terms[i].Finished);
        EXPECT_FALSE(rec.terms[i].Exception) << rec.terms[i].ExceptionMsg;
        EXPECT_EQ(rec.terms[i].ExceptionMsg, "");
    }
    EXPECT_TRUE(e.Working());
    e.ClearTasks();
    EXPECT_FALSE(e.Working());
    EXPECT_EQ(e.TaskCount(), 0);
}

// Stop(true) from the first terminate handler of a synchronous run: the tasks not started
// terminate unfinished (their events come on their notification threads), the final event
// follows, and Start returns.
TEST_F(EncoderTest, StopFromTerminateHandlerOfSynchronousRun) {
    TFFEncoder e;
    std::mutex m;  // guards terms
    std::vector<TTerminateInfo> terms;
    e.OnTerminate = [&](TObject*, const TTerminateInfo& t) {
        {
            std::lock_guard lock(m);
            terms.push_back(t);
        }
        if (t.TaskIndex == 0) e.Stop(true);
    };
    AddTasks(e, 3);
    e.Start(0);
    std::lock_guard lock(m);
    ASSERT_EQ(SortedTasks([&] {
                  std::vector<int> order;
                  for (const auto& t : terms)
                      order.push_back(t.TaskIndex);
                  return order;
              }()),
              (std::vector<int>{0, 1, 2, -1}));
    EXPECT_TRUE(terms[0].Finished);
    for (size_t i = 1; i + 1 < terms.size(); ++i)
        EXPECT_FALSE(terms[i].Finished) << "task " << terms[i].TaskIndex;
    e.ClearTasks();
}

// One worker at a time: the tasks' frames never interleave, and the terminate events come in
// task order on the main thread, the final one last.
TEST_F(EncoderTest, StartOneRunsTasksInTurn) {
    TFFEncoder e;
    TRecorder rec;
    rec.Attach(e);
    AddTasks(e, 3);
    e.Start(1);
    ASSERT_TRUE(WaitMainThread([&] { return rec.FinalSeen(); }));
    EXPECT_EQ(SortedTasks(rec.TermOrder()), (std::vector<int>{0, 1, 2, -1}));
    EXPECT_FALSE(rec.term_off_main);
    EXPECT_FALSE(rec.progress_off_main);
    EXPECT_FALSE(rec.hook_on_main);
    ASSERT_FALSE(rec.hook_tasks.empty());
    EXPECT_TRUE(std::is_sorted(rec.hook_tasks.begin(), rec.hook_tasks.end()));
    EXPECT_EQ(std::set<int>(rec.hook_tasks.begin(), rec.hook_tasks.end()),
              (std::set<int>{0, 1, 2}));
    for (const TTerminateInfo& t : rec.terms) {
        EXPECT_TRUE(t.Finished) << t.TaskIndex;
        EXPECT_FALSE(t.Exception) << t.ExceptionMsg;
    }
    const TTerminateInfo& final = rec.terms.back();
    EXPECT_TRUE(final.Finished);
    EXPECT_FALSE(final.Exception);
    EXPECT_EQ(final.ExceptionMsg, "");
    e.ClearTasks();
}

// Two workers: the first two tasks are inside the pipeline at the same time (each holds its
// first frame until the other has one), and the third starts only after one of them ended.
TEST_F(EncoderTest, StartTwoRunsTwoAtOnce) {
    TTestEncoder e;
    TRecorder rec;
    rec.Attach(e);
    std::mutex m;  // guards arrived
    std::condition_variable cv;
    std::set<TCustomFFmpeg*> arrived;
    std::atomic<bool> met{true};
    e.BeforeVideoInputHook = [&](TCustomFFmpeg* task, int) {
        std::unique_lock lock(m);
        if (!arrived.insert(task).second) return;
        cv.notify_all();
        if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return arrived.size() >= 2; }))
            met = false;
    };
    AddTasks(e, 3);
    e.Start(2);
    ASSERT_TRUE(WaitMainThread([&] { return rec.FinalSeen(); }));
    EXPECT_TRUE(met) << "the second task did not run alongside the first";
    const auto& seq = rec.hook_tasks;
    auto last_of = [&](int t) {
        return std::find(seq.rbegin(), seq.rend(), t).base() - seq.begin();
    };
    const auto first2 = std::find(seq.begin(), seq.end(), 2) - seq.begin();
    ASSERT_LT(size_t(first2), seq.size());
    EXPECT_GE(first2, std::min(last_of(0), last_of(1)))
        << "the third task started while two were running";
    EXPECT_EQ(SortedTasks(rec.TermOrder()), (std::vector<int>{0, 1, 2, -1}));
    e.ClearTasks();
}

// Stop(true) from the main thread while the first task runs: it ends unfinished, the others
// terminate without running, the final event comes last, and the main-thread deliveries the
// workers wait for are run by the waiting Stop.
TEST_F(EncoderTest, StopEndsTheRunningTaskAndTheRest) {
    TTestEncoder e;
    TRecorder rec;
    rec.Attach(e);
    e.SetProgressInterval(100);
    std::atomic<bool> running{false};
    // Hold the first frame until the stop request is visible, so the task cannot end first.
    e.BeforeVideoInputHook = [&](TCustomFFmpeg* task, int frame) {
        if (frame != 1) return;
        running = true;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!task->StopRequested && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    // The task's last progress report comes after its loop ended, so the worker blocks in a
    // main-thread delivery while the main thread is inside Stop(true).
    std::atomic<bool> in_stop{false}, progress_in_stop{false};
    e.OnProgress = [&, record = e.OnProgress](TObject* sender, TProgressInfo* p) {
        if (in_stop) progress_in_stop = true;
        record(sender, p);
    };
    AddTasks(e, 3);
    e.Start(1);
    ASSERT_TRUE(WaitMainThread([&] { return running.load(); }));
    in_stop = true;
    e.Stop(true);
    in_stop = false;
    EXPECT_TRUE(progress_in_stop);
    ASSERT_TRUE(WaitMainThread([&] { return rec.FinalSeen(); }));
    EXPECT_EQ(SortedTasks(rec.TermOrder()), (std::vector<int>{0, 1, 2, -1}));
    for (size_t i = 0; i + 1 < rec.terms.size(); ++i)
        EXPECT_FALSE(rec.terms[i].Finished) << "task " << rec.terms[i].TaskIndex;
    EXPECT_FALSE(rec.term_off_main);
    EXPECT_FALSE(rec.progress_off_main);
    EXPECT_EQ(std::set<int>(rec.hook_tasks.begin(), rec.hook_tasks.end()), std::set<int>{0});
    e.ClearTasks();
}

// A paused task is resumed by Stop so that it can end.
TEST_F(EncoderTest, StopWhilePausedEndsTheTask) {
    TTestEncoder e;
    TRecorder rec;
    rec.Attach(e);
    std::atomic<bool> running{false}, saw_pause{false};
    // Hold the first frame until the pause has closed the worker's gate; the worker then
    // stops at the gate.
    e.BeforeVideoInputHook = [&](TCustomFFmpeg* task, int frame) {
        if (frame != 1) return;
        running = true;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!task->worker_suspended() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        saw_pause = task->worker_suspended();
    };
    AddTasks(e, 1);
    e.Start(1);
    ASSERT_TRUE(WaitMainThread([&] { return running.load(); }));
    e.Pause();
    EXPECT_TRUE(e.Paused());
    ASSERT_TRUE(WaitMainThread([&] { return saw_pause.load(); }));
    e.Stop(true);
    ASSERT_TRUE(WaitMainThread([&] { return rec.FinalSeen(); }));
    ASSERT_EQ(rec.TermOrder(), (std::vector<int>{0, -1}));
    EXPECT_FALSE(rec.terms[0].Finished);
    EXPECT_FALSE(rec.terms[0].Exception) << rec.terms[0].ExceptionMsg;
    e.ClearTasks();
    EXPECT_FALSE(e.Paused());
}

// Freeing the component mid-run stops and waits for the worker; no event reaches a handler
// from then on.
TEST_F(EncoderTest, DestructionStopsTheRunSilently) {
    auto e = std::make_unique<TTestEncoder>();
    TRecorder rec;
    rec.Attach(*e);
    std::atomic<bool> running{false};
    e->BeforeVideoInputHook = [&](TCustomFFmpeg* task, int frame) {
        if (frame != 1) return;
        running = true;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!task->StopRequested && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    AddTasks(*e, 2);
    e->Start(1);
    ASSERT_TRUE(WaitMainThread([&] { return running.load(); }));
    size_t hooks = 0;
    int progress = 0;
    {
        std::lock_guard lock(rec.m);
        hooks = rec.hook_tasks.size();
        progress = rec.progress;
    }
    e.reset();
    std::lock_guard lock(rec.m);
    EXPECT_TRUE(rec.terms.empty());
    EXPECT_EQ(rec.hook_tasks.size(), hooks) << "a hook ran during teardown";
    EXPECT_EQ(rec.progress, progress) << "a progress event ran during teardown";
    EXPECT_FALSE(CheckSynchronize(0)) << "a call was left queued for the main thread";
}

// While working every set-up operation is refused with its text; ClearTasks only once the
// final event was issued.
TEST_F(EncoderTest, BusyChecks) {
    TTestEncoder e;
    TRecorder rec;
    rec.Attach(e);
    std::atomic<bool> running{false}, release{false};
    e.BeforeVideoInputHook = [&](TCustomFFmpeg*, int frame) {
        if (frame != 1) return;
        running = true;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!release && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    AddTasks(e, 1);
    e.Start(1);
    ASSERT_TRUE(WaitMainThread([&] { return running.load(); }));
    try {
        e.ClearTasks();
        ADD_FAILURE() << "ClearTasks while a task runs";
    } catch (const Exception& x) {
        EXPECT_STREQ(x.what(), "Cannot ClearTasks while working.");
    }
    release = true;
    ASSERT_TRUE(WaitMainThread([&] { return rec.FinalSeen(); }));

    const struct {
        const char* text;
        std::function<void()> call;
    } rows[] = {
        {"Cannot AddTask while working.", [&] { e.AddTask(clip); }},
        {"Cannot SetOutput while working.", [&] { e.SetOutput(0, OutPath(9)); }},
        {"Cannot RemoveTask while working.", [&] { e.RemoveTask(0); }},
        {"Cannot StartTask while working.", [&] { e.Start(1); }},
    };
    for (const auto& r : rows) {
        try {
            r.call();
            ADD_FAILURE() << "not refused: " << r.text;
        } catch (const EListError&) {
            ADD_FAILURE() << "refused with the wrong error: " << r.text;
        } catch (const Exception& x) {
            EXPECT_STREQ(x.what(), r.text);
        }
    }
    EXPECT_EQ(e.TaskCount(), 1);
    EXPECT_NO_THROW(e.ClearTasks());
    EXPECT_FALSE(e.Working());
    EXPECT_EQ(e.AddTask(clip), 0) << "a new batch can be set up";
}

// A task without an output refuses to start: it terminates at once with the refusal, and
// the batch goes on with the next task.
TEST_F(EncoderTest, TaskWithoutOutputTerminatesWithItsError) {
    TFFEncoder e;
    TRecorder rec;
    rec.Attach(e);
    ASSERT_EQ(e.AddTask(clip), 0);
    ASSERT_EQ(e.AddTask(clip), 1);
    TOutputOptions out;
    out.Options = "-c:v mpeg4";
    ASSERT_EQ(e.SetOutput(1, OutPath(1), &out), 0) << e.LastErrorMessage();
    e.Start(1);
    ASSERT_TRUE(WaitMainThread([&] { return rec.FinalSeen(); }));
    ASSERT_EQ(SortedTasks(rec.TermOrder()), (std::vector<int>{0, 1, -1}));
    for (const TTerminateInfo& t : rec.terms) {
        if (t.TaskIndex == 0) {
            EXPECT_FALSE(t.Finished);
            EXPECT_TRUE(t.Exception);
            EXPECT_EQ(t.ExceptionMsg, "At least one output file must be specified");
        } else {
            EXPECT_TRUE(t.Finished) << t.TaskIndex;
        }
    }
    e.ClearTasks();
}

// An empty batch is done at once: only the final event comes, and ClearTasks ends it.
TEST(EncoderEmptyBatch, FinalEventAndClear) {
    for (const int count : {0, 1}) {
        SCOPED_TRACE(count);
        TFFEncoder e;
        std::vector<int> order;
        e.OnTerminate = [&](TObject*, const TTerminateInfo& t) { order.push_back(t.TaskIndex); };
        e.Start(count);
        ASSERT_TRUE(WaitMainThread([&] { return !order.empty(); }));
        EXPECT_EQ(order, std::vector<int>{-1});
        EXPECT_TRUE(e.Working());
        EXPECT_NO_THROW(e.ClearTasks());
        EXPECT_FALSE(e.Working());
    }
}

// Update false leaves the frame as decoded; StopHook ends the hook calls for the task.
TEST_F(EncoderTest, VideoHookUpdateAndStopHook) {
    const struct Row {
        const char* name;
        bool update;
        int stop_at;  // frame number at which StopHook is set; 0: never
        bool painted;
    } rows[] = {
        {"update", true, 0, true},
        {"no update", false, 0, false},
        {"stop hook", true, 3, true},
    };
    for (int i = 0; i < int(std::size(rows)); ++i) {
        const Row& r = rows[size_t(i)];
        SCOPED_TRACE(r.name);
        TFFEncoder e;
        e.TriggerEventInMainThread = false;
        std::atomic<int> calls{0};
        bool final_seen = false;
        e.OnTerminate = [&](TObject*, const TTerminateInfo& t) { final_seen |= t.TaskIndex < 0; };
        e.OnVideoInputHook = [&](TObject*, THookInfo* h) {
            ++calls;
            EXPECT_TRUE(h->Update);
            EXPECT_FALSE(h->StopHook);
            ASSERT_NE(h->Bitmap, nullptr);
            for (int y = 0; y < h->Bitmap->Height(); ++y) {
                uint8_t* p = h->Bitmap->ScanLine(y);
                for (int x = 0; x < h->Bitmap->Width(); ++x, p += 3) {
                    p[0] = 0;
                    p[1] = 0;
                    p[2] = 255;  // red (B, G, R)
                }
            }
            h->Update = r.update;
            h->StopHook = r.stop_at != 0 && h->FrameNumber >= r.stop_at;
        };
        ASSERT_EQ(e.AddTask(clip), 0);
        TOutputOptions out;
        out.Options = "-c:v mpeg4 -q:v 2";
        out.VideoInputHook = true;
        const std::string path = OutPath(i);
        ASSERT_EQ(e.SetOutput(0, path, &out), 0) << e.LastErrorMessage();
        e.Start(0);
        EXPECT_TRUE(final_seen);
        if (r.stop_at) {
            EXPECT_EQ(calls, r.stop_at);
        } else {
            EXPECT_EQ(calls, 25);
        }
        const auto rgb = FirstFrameRGB(path, 160, 120);
        ASSERT_FALSE(rgb.empty());
        const double to_red = MeanDistance(rgb, 160, 0, 0, 160, 120, 255, 0, 0);
        if (r.painted) {
            EXPECT_LT(to_red, 12) << "the painted frame was not written back";
        } else {
            EXPECT_GT(to_red, 60) << "the frame was changed although Update was false";
        }
    }
}

// The front end's way: the main thread runs its own loop of main-thread calls while a
// worker converts, and quits on the final event; Preview flags reach the tasks at once.
TEST_F(EncoderTest, MainThreadLoopDrivesARun) {
    TFFEncoder e;
    std::vector<int> frames;  // progress frame numbers, on the main thread only
    int final_count = 0;
    bool task_finished = false;
    e.SetProgressInterval(100);
    e.OnProgress = [&](TObject* sender, TProgressInfo* p) {
        ASSERT_TRUE(IsMainThread());
        EXPECT_EQ(sender, &e);
        EXPECT_EQ(p->TaskIndex, 0);
        frames.push_back(p->FrameNumber);
    };
    e.OnTerminate = [&](TObject* sender, const TTerminateInfo& t) {
        ASSERT_TRUE(IsMainThread());
        EXPECT_EQ(sender, &e);
        if (t.TaskIndex < 0)
            ++final_count;
        else
            task_finished = t.Finished;
    };
    ASSERT_EQ(e.AddTask(clip), 0);
    TOutputOptions out;
    out.Options = "-c:v mpeg4";
    ASSERT_EQ(e.SetOutput(0, OutPath(0), &out), 0) << e.LastErrorMessage();
    e.Start(1);
    ASSERT_TRUE(WaitMainThread([&] { return final_count > 0; }));
    EXPECT_EQ(final_count, 1);
    EXPECT_TRUE(task_finished);
    ASSERT_FALSE(frames.empty()) << "no progress report";
    EXPECT_TRUE(std::is_sorted(frames.begin(), frames.end()));
    EXPECT_EQ(frames.back(), 25) << "the last report counts every frame";
    e.ClearTasks();
}

// The stream probe comes with the engine object as Sender, on the main thread, before the
// streams are probed.
TEST_F(EncoderTest, BeforeFindStreamInfoEvent) {
    TFFEncoder e;
    int calls = 0;
    e.OnBeforeFindStreamInfo = [&](TObject* sender, AVFormatContext* ctx) {
        ++calls;
        EXPECT_TRUE(IsMainThread());
        EXPECT_NE(sender, &e);
        EXPECT_NE(dynamic_cast<TFFmpeg*>(sender), nullptr);
        EXPECT_NE(ctx, nullptr);
    };
    ASSERT_EQ(e.AddTask(clip), 0) << e.LastErrorMessage();
    EXPECT_EQ(calls, 1);
}

// Preview flags go at once to the tasks in the list and to tasks added later.
TEST_F(EncoderTest, PreviewFlagsReachEveryTask) {
    TFFEncoder e;
    std::vector<TCustomFFmpeg*> tasks;  // the engine objects, as the stream probe shows them
    e.OnBeforeFindStreamInfo = [&](TObject* sender, AVFormatContext*) {
        tasks.push_back(dynamic_cast<TCustomFFmpeg*>(sender));
    };
    ASSERT_EQ(e.AddTask(clip), 0);
    e.SetPreviewBitmap(true);
    ASSERT_EQ(e.AddTask(clip), 1);
    ASSERT_EQ(tasks.size(), 2u);
    ASSERT_NE(tasks[0], nullptr);
    EXPECT_EQ(tasks[0]->preview_flags(), 2);
    EXPECT_EQ(tasks[1]->preview_flags(), 2);
    e.SetPreview(true);
    EXPECT_EQ(tasks[0]->preview_flags(), 3);
    EXPECT_EQ(tasks[1]->preview_flags(), 3);
    e.SetPreviewBitmap(false);
    e.SetPreview(false);
    EXPECT_EQ(tasks[0]->preview_flags(), 0);
    EXPECT_EQ(tasks[1]->preview_flags(), 0);
}

}  // namespace
