// The engine object's control paths with real threads, its watchdogs and registries.
#include "engine_fixture.h"

#include "platform/MainThread.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <thread>

using namespace engine_test;

namespace {

constexpr uint32_t kLongWaitMs = 60000;

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(LoadLibraries());
        ASSERT_FALSE(MultiStreamClip().empty()) << "fixture clip";
    }

    // An output for `path` with its file opened (still empty), as the output set-up leaves it.
    static ::testing::AssertionResult AddOutput(TCustomFFmpeg& e, const std::string& path) {
        AVFormatContext* ctx = nullptr;
        if (int r = ff::avformat_alloc_output_context2(&ctx, nullptr, nullptr, path.c_str()); r < 0)
            return ::testing::AssertionFailure() << "output context: " << r;
        auto f = std::make_unique<TOutputFile>();
        f->Context.reset(ctx);
        if (int r = ff::avio_open(&ctx->pb, path.c_str(), AVIO_FLAG_WRITE); r < 0)
            return ::testing::AssertionFailure() << "avio_open: " << r;
        e.OutputFiles.push_back(std::move(f));
        return ::testing::AssertionSuccess();
    }

    std::string OutPath(const char* name) const { return (TempDir() / name).string(); }

    // Counts end notifications and remembers the thread they came on.
    struct TEnds {
        std::atomic<int> count{0};
        std::atomic<bool> on_main{false};
        TEvent done{true, false};
        void Attach(TCustomFFmpeg& e) {
            e.OnTerminate = [this](TCustomFFmpeg*) {
                on_main = IsMainThread();
                ++count;
                done.SetEvent();
            };
        }
    };

    TLogCapture log;
};

TEST_F(EngineTest, StartsOnceAndCleansUpAtTheEnd) {
    const std::string out = OutPath("once.mp4");
    TEnds ends;
    {
        TCustomFFmpeg e;
        ASSERT_TRUE(AddInput(e, MultiStreamClip()));
        ASSERT_TRUE(AddOutput(e, out));
        ends.Attach(e);
        TThread* worker = e.start(true);
        ASSERT_NE(worker, nullptr);
        EXPECT_TRUE(e.Running);
        EXPECT_EQ(e.start(true), nullptr);
        EXPECT_EQ(e.start(false), nullptr);
        worker->Resume();
        ASSERT_EQ(ends.done.WaitFor(kLongWaitMs), wrSignaled);
        EXPECT_FALSE(e.Running);
        EXPECT_TRUE(e.Terminated);
        // The output was made without streams, so the run itself refuses it.
        EXPECT_TRUE(e.ExceptionRaised);
        EXPECT_EQ(e.ExceptionMsg, "Output file #0 does not contain any stream");
        EXPECT_FALSE(ends.on_main);
        EXPECT_TRUE(e.InputFiles.empty());
        EXPECT_TRUE(e.OutputFiles.empty());
        // A terminated task never starts again.
        EXPECT_EQ(e.start(true), nullptr);
    }
    EXPECT_EQ(ends.count, 1);
    EXPECT_FALSE(std::filesystem::exists(out)) << "the empty output is removed";
}

TEST_F(EngineTest, TaskWithoutOutputOrInputEndsAtOnce) {
    struct Row {
        bool input, output;
        const char* message;
    };
    const Row rows[] = {
        {true, false, "At least one output file must be specified"},
        {false, true, "At least one input file must be specified"},
        {false, false, "At least one output file must be specified"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.message);
        log.Clear();
        const std::string out = OutPath("refused.avi");
        TCustomFFmpeg e;
        if (r.input) {
            ASSERT_TRUE(AddInput(e, MultiStreamClip()));
        }
        if (r.output) {
            ASSERT_TRUE(AddOutput(e, out));
        }
        TEnds ends;
        ends.Attach(e);
        EXPECT_EQ(e.start(true), nullptr);
        EXPECT_EQ(ends.count, 1);
        EXPECT_TRUE(ends.on_main);
        EXPECT_TRUE(e.ExceptionRaised);
        EXPECT_EQ(e.ExceptionMsg, r.message);
        EXPECT_EQ(e.LastError, r.message);
        EXPECT_FALSE(e.Finished);
        EXPECT_FALSE(e.Running);
        EXPECT_TRUE(e.Terminated);
        EXPECT_TRUE(log.Contains(r.message, llFatal));
        EXPECT_TRUE(log.Contains(r.message, llQuiet));
        EXPECT_TRUE(e.InputFiles.empty());
        EXPECT_FALSE(std::filesystem::exists(out));
        EXPECT_EQ(e.start(false), nullptr);
        EXPECT_EQ(ends.count, 1);
    }
}

TEST_F(EngineTest, StopWithWaitEndsASuspendedWorker) {
    TCustomFFmpeg e;
    ASSERT_TRUE(AddInput(e, MultiStreamClip()));
    ASSERT_TRUE(AddOutput(e, OutPath("stopped.mkv")));
    std::atomic<int> ends{0};
    std::atomic<bool> delivered_on_main{false};
    // Like the encoder's handler: the end reaches the main thread while it waits in stop.
    e.OnTerminate = [&](TCustomFFmpeg*) {
        Synchronize([&] { delivered_on_main = IsMainThread(); });
        ++ends;
    };
    TThread* worker = e.start(true);
    ASSERT_NE(worker, nullptr);
    e.suspend();
    EXPECT_TRUE(e.worker_suspended());
    e.stop(true);
    EXPECT_EQ(ends, 1);
    EXPECT_TRUE(delivered_on_main);
    EXPECT_TRUE(e.StopRequested);
    EXPECT_FALSE(e.Finished);
    EXPECT_TRUE(e.Terminated);
    EXPECT_FALSE(e.worker_suspended());
    e.suspend();  // no worker any more: nothing to do
    e.resume();
}

TEST_F(EngineTest, StopOrEndOfATaskThatNeverRanNotifiesOnce) {
    TCustomFFmpeg e;
    ASSERT_TRUE(AddInput(e, MultiStreamClip()));
    TEnds ends;
    ends.Attach(e);
    e.stop_or_end(false);
    e.stop_or_end(false);
    e.stop_or_end(true);
    EXPECT_EQ(ends.count, 1);
    EXPECT_FALSE(ends.on_main) << "delivered by a notification thread";
    EXPECT_TRUE(e.Terminated);
    EXPECT_FALSE(e.Finished);
    EXPECT_FALSE(e.ExceptionRaised);
    EXPECT_EQ(e.InputFiles.size(), 1u) << "the task did not run";
    EXPECT_EQ(e.start(true), nullptr);
    e.stop_or_end(true);
    EXPECT_EQ(ends.count, 1);
}

TEST_F(EngineTest, DestroyingRunsAWorkerThatWasNeverResumed) {
    TEnds ends;
    {
        TCustomFFmpeg e;
        ASSERT_TRUE(AddInput(e, MultiStreamClip()));
        ASSERT_TRUE(AddOutput(e, OutPath("destroyed.mkv")));
        ends.Attach(e);
        ASSERT_NE(e.start(true, tpLower), nullptr);
    }
    EXPECT_EQ(ends.count, 1);
}

TEST_F(EngineTest, UnthreadedStartRunsOnTheCaller) {
    TCustomFFmpeg e;
    ASSERT_TRUE(AddInput(e, MultiStreamClip()));
    ASSERT_TRUE(AddOutput(e, OutPath("direct.mkv")));
    TEnds ends;
    ends.Attach(e);
    EXPECT_EQ(e.start(false), nullptr);
    EXPECT_EQ(ends.count, 1);
    EXPECT_TRUE(ends.on_main);
    EXPECT_TRUE(e.Terminated);
    EXPECT_TRUE(e.OutputFiles.empty());
}

TEST_F(EngineTest, AnErrorInARunStepIsRecordedAndTheRunGoesOn) {
    TCustomFFmpeg e;
    ASSERT_TRUE(AddInput(e, MultiStreamClip()));
    ASSERT_TRUE(AddOutput(e, OutPath("error.mkv")));
    e.OnTerminate = [](TCustomFFmpeg*) { throw Exception("handler failed"); };
    EXPECT_NO_THROW(e.start(false));
    EXPECT_TRUE(e.ExceptionRaised);
    EXPECT_EQ(e.ExceptionMsg, "handler failed");
    EXPECT_TRUE(log.Contains("handler failed", llQuiet));
    EXPECT_TRUE(e.Terminated);
}

TEST_F(EngineTest, NeedsTheLibrariesLoaded) {
    FFLoader().Unload(LibSetAll);
    try {
        TCustomFFmpeg e;
        ADD_FAILURE() << "created without libraries";
    } catch (const EAssertionFailed& ex) {
        EXPECT_EQ(ex.Message(), "Library avcodec not loaded.");
    }
    ASSERT_TRUE(LoadLibraries());
    EXPECT_NO_THROW(TCustomFFmpeg());
}

TEST_F(EngineTest, RaiseErrorStoresLogsAndThrows) {
    TCustomFFmpeg e;
    try {
        e.raise_error_fmt("Could not open %s (%d)", "x.avi", -2);
        ADD_FAILURE() << "no exception";
    } catch (const FFmpegException& ex) {
        EXPECT_EQ(ex.Message(), "Could not open x.avi (-2)");
    }
    EXPECT_EQ(e.LastError, "Could not open x.avi (-2)");
    EXPECT_TRUE(log.Contains("Could not open x.avi (-2)", llFatal));
}

TEST_F(EngineTest, RunClosesTheCodecsAnErrorLeftOpen) {
    TCustomFFmpeg e;
    ASSERT_TRUE(AddInput(e, MultiStreamClip()));
    ASSERT_TRUE(AddOutput(e, OutPath("codecs.mkv")));
    const AVCodec* dec = ff::avcodec_find_decoder(AV_CODEC_ID_MPEG4);
    ASSERT_NE(dec, nullptr);
    AVCodecContext* decoder = ff::avcodec_alloc_context3(dec);
    ASSERT_EQ(ff::avcodec_open2(decoder, dec, nullptr), 0);
    AVCodecContext* encoder = ff::avcodec_alloc_context3(nullptr);
    encoder->stats_in = ff::av_strdup("two-pass statistics");
    e.register_decoder(decoder);
    e.register_encoder(encoder);
    AVCodecContext* closed_normally = ff::avcodec_alloc_context3(nullptr);
    e.register_encoder(closed_normally);
    e.unregister_encoder(closed_normally);
    EXPECT_EQ(e.registered_codecs(), 2u);

    e.start(false);
    EXPECT_EQ(e.registered_codecs(), 0u);
    EXPECT_EQ(encoder->stats_in, nullptr);
    EXPECT_EQ(decoder->codec, nullptr) << "closed";
    ff::avcodec_free_context(&decoder);
    ff::avcodec_free_context(&encoder);
    ff::avcodec_free_context(&closed_normally);
}

TEST_F(EngineTest, PreviewFlagsFreeTheWindowWhenBitZeroClears) {
    struct TWindow : TObject {
        bool* gone;
        explicit TWindow(bool* g) : gone(g) {}
        ~TWindow() override { *gone = true; }
    };
    TCustomFFmpeg e;
    bool gone = false;
    e.set_preview_flags(1);
    e.Previewer = std::make_unique<TWindow>(&gone);
    e.set_preview_flags(3);
    EXPECT_FALSE(gone);
    e.set_preview_flags(2);
    EXPECT_TRUE(gone);
    EXPECT_EQ(e.Previewer, nullptr);
    EXPECT_EQ(e.preview_flags(), 2);
}

TEST_F(EngineTest, WatchdogsDecideByStopStampAndTimeOut) {
    constexpr int64_t unarmed = TCustomFFmpeg::StampUnarmed;
    struct Row {
        bool stop;
        int64_t age_us;  // unarmed: the stamp is unarmed
        int timeout_ms;
        int result;
        const char* input_log;  // "" when nothing is logged
        const char* output_log;
    };
    const Row rows[] = {
        {false, unarmed, 30000, 0, "", ""},
        {false, 10000000, 30000, 0, "", ""},
        {false, 60000000, 30000, 1, "connecting/reading timeout", "connecting/writing timeout"},
        {false, 3600000000, 0, 0, "", ""},
        {false, 3600000000, -5, 0, "", ""},
        {true, unarmed, 30000, 1, "reading/writing broken", "reading/writing broken"},
        {true, 3600000000, 0, 1, "reading/writing broken", "reading/writing broken"},
    };
    for (const Row& r : rows) {
        for (const bool input : {true, false}) {
            SCOPED_TRACE(::testing::Message()
                         << (input ? "input" : "output") << " stop=" << r.stop
                         << " age=" << r.age_us << " timeout=" << r.timeout_ms);
            TCustomFFmpeg e;
            log.Clear();
            e.StopRequested = r.stop;
            const int64_t stamp =
                r.age_us == unarmed ? unarmed : TCustomFFmpeg::watchdog_now_us() - r.age_us;
            if (input) {
                e.ReadTimeout = r.timeout_ms;
                e.set_input_stamp(stamp);
                EXPECT_EQ(e.InputInterrupt.callback(e.InputInterrupt.opaque), r.result);
            } else {
                e.WriteTimeout = r.timeout_ms;
                e.set_output_stamp(stamp);
                EXPECT_EQ(e.OutputInterrupt.callback(e.OutputInterrupt.opaque), r.result);
            }
            const char* text = input ? r.input_log : r.output_log;
            if (*text) {
                EXPECT_TRUE(log.Contains(text, llInfo));
            } else {
                EXPECT_FALSE(log.ContainsText("timeout"));
            }
        }
    }
}

// A local server that accepts connections and never sends a byte.
class SilentServer {
public:
    SilentServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(fd_, 4) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        url_ = "tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
    ~SilentServer() {
        if (fd_ >= 0) ::close(fd_);
    }
    const std::string& url() const { return url_; }

private:
    int fd_ = -1;
    std::string url_;
};

TEST_F(EngineTest, BlockedReadTimesOut) {
    SilentServer server;
    ASSERT_FALSE(server.url().empty());
    TCustomFFmpeg e;
    e.ReadTimeout = 300;
    AVFormatContext* ctx = ff::avformat_alloc_context();
    ctx->interrupt_callback = e.InputInterrupt;
    e.arm_input_stamp();
    EXPECT_LT(ff::avformat_open_input(&ctx, server.url().c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_TRUE(log.Contains("connecting/reading timeout", llInfo));
}

TEST_F(EngineTest, ZeroReadTimeoutWaitsUntilAStop) {
    SilentServer server;
    ASSERT_FALSE(server.url().empty());
    TCustomFFmpeg e;
    e.ReadTimeout = 0;
    // The watchdog as the library calls it, counting the calls that let the read go on.
    struct TProbe {
        explicit TProbe(TCustomFFmpeg* engine) : e(engine) {}
        TCustomFFmpeg* e;
        std::mutex m;  // guards calls
        std::condition_variable cv;
        int calls = 0;
        bool done = false;
        static int Callback(void* opaque) {
            auto* p = static_cast<TProbe*>(opaque);
            const int r = TCustomFFmpeg::input_interrupt(p->e);
            {
                std::lock_guard lock(p->m);
                if (r == 0) ++p->calls;
            }
            p->cv.notify_all();
            return r;
        }
    } probe(&e);
    int result = 0;
    std::thread reader([&] {
        AVFormatContext* ctx = ff::avformat_alloc_context();
        ctx->interrupt_callback = {&TProbe::Callback, &probe};
        e.set_input_stamp(TCustomFFmpeg::watchdog_now_us() - 3600000000LL);  // an hour ago
        result = ff::avformat_open_input(&ctx, server.url().c_str(), nullptr, nullptr);
        {
            std::lock_guard lock(probe.m);
            probe.done = true;
        }
        probe.cv.notify_all();
    });
    {
        std::unique_lock lock(probe.m);
        EXPECT_TRUE(probe.cv.wait_for(lock, std::chrono::milliseconds(kLongWaitMs),
                                      [&] { return probe.calls >= 3 || probe.done; }));
        EXPECT_FALSE(probe.done) << "the read ended before the stop";
    }
    e.stop(false);
    reader.join();
    EXPECT_LT(result, 0);
    EXPECT_TRUE(log.Contains("reading/writing broken", llInfo));
    EXPECT_FALSE(log.ContainsText("connecting/reading timeout"));
}

}  // namespace
