#include "platform/MainThread.h"
#include "src/FFDecode.h"
#include "src/FFLoad.h"
#include "src/FFLog.h"
#include "src/FFUtils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct TLogLine {
    TLogLevel level;
    std::string text;
};

// Clips made once per run in a temporary folder.
class DecoderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string tmpl = (fs::temp_directory_path() / "velloran-decoder-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        const std::string ff = "ffmpeg -nostdin -v error -y ";
        // 477 frames at 5/s: the container states 95.4 s exactly.
        ASSERT_TRUE(Run(ff +
                        "-f lavfi -i color=s=16x16:r=5:d=95.4 -c:v mpeg4 -metadata year=2011 "
                        "-metadata track=7 -metadata title=Long " +
                        Path("long.mkv")));
        ASSERT_TRUE(Run(ff +
                        "-f lavfi -i color=s=16x16:r=5:d=1 -f lavfi -i "
                        "sine=r=8000:d=1 -c:v mpeg4 -c:a pcm_s16le -metadata year=abc "
                        "-metadata:s:a:0 language=fra " +
                        Path("av.mkv")));
        // Elementary streams carry no start times.
        ASSERT_TRUE(
            Run(ff + "-f lavfi -i color=s=16x16:r=5:d=1 -f mjpeg " + Path("nostart.mjpeg")));
        ASSERT_TRUE(
            Run(ff + "-f lavfi -i sine=r=8000:d=1 -c:a pcm_s16le -f s16le " + Path("nostart.raw")));
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    static bool Run(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }
    static std::string Path(const std::string& name) { return dir_ + "/" + name; }

    void SetUp() override {
        ASSERT_TRUE(FFLoader().Load(LibSetNoDeviceFilter)) << FFLoader().LastErrorMessage();
        FFLogger().TriggerEventInMainThread = false;
        FFLogger().OnLog = [this](TObject* sender, uint32_t, TLogLevel level,
                                  const std::string& msg) {
            if (sender != &dec_) return;
            std::lock_guard<std::mutex> g(log_lock_);
            log_.push_back({level, msg});
        };
    }
    void TearDown() override { FFLogger().OnLog = nullptr; }

    std::vector<TLogLine> TakeLog() {
        std::lock_guard<std::mutex> g(log_lock_);
        return std::exchange(log_, {});
    }

    static inline std::string dir_;
    TFFDecoder dec_;
    std::mutex log_lock_;  // guards log_
    std::vector<TLogLine> log_;
};

TEST_F(DecoderTest, FileInfo) {
    struct TRow {
        const char* file;
        int64_t duration_us;
        int year, track;
        const char* title;
        int streams, video, audio;
    } rows[] = {
        {"long.mkv", 95400000, 2011, 7, "Long", 1, 1, 0},
        {"av.mkv", 1000000, 0, 0, "", 2, 1, 1},  // "year" is not a number
    };
    for (const TRow& r : rows) {
        SCOPED_TRACE(r.file);
        ASSERT_TRUE(dec_.LoadFile(Path(r.file))) << dec_.LastErrorMessage();
        TFileStreamInfo info;
        dec_.GetFileStreamInfo(info);
        EXPECT_EQ(info.Duration, r.duration_us);
        EXPECT_EQ(info.StartTime, 0);
        EXPECT_EQ(info.Year, r.year);
        EXPECT_EQ(info.Track, r.track);
        EXPECT_EQ(info.Title, r.title);
        EXPECT_EQ(info.Genre, "");
        EXPECT_GT(info.BitRate, 0);
        EXPECT_EQ(dec_.FileSize(), int64_t(fs::file_size(Path(r.file))));
        EXPECT_EQ(dec_.StreamCount(), r.streams);
        EXPECT_EQ(dec_.VideoStreamCount(), r.video);
        EXPECT_EQ(dec_.AudioStreamCount(), r.audio);
        EXPECT_EQ(dec_.SubtitleStreamCount(), 0);
        EXPECT_EQ(dec_.FirstVideoStreamIndex(), 0);
        EXPECT_EQ(dec_.FirstAudioStreamIndex(), r.audio ? 1 : -1);
        EXPECT_TRUE(TakeLog().empty());
    }
}

TEST_F(DecoderTest, StreamInfo) {
    ASSERT_TRUE(dec_.LoadFile(Path("av.mkv"))) << dec_.LastErrorMessage();
    TVideoStreamInfo v;
    dec_.GetVideoStreamInfo(v);
    EXPECT_EQ(v.Width, 16);
    EXPECT_EQ(v.Height, 16);
    EXPECT_EQ(v.PixelFormat, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(v.FrameRateNum * 1, 5 * v.FrameRateDen);
    EXPECT_FLOAT_EQ(v.DisplayAspect, 1.0f);
    EXPECT_EQ(v.CodecName.rfind("mpeg4", 0), 0u) << v.CodecName;
    EXPECT_EQ(v.StartTime, 0);
    EXPECT_EQ(v.StartTimeUS, 0);

    TAudioStreamInfo a;
    dec_.GetAudioStreamInfo(a);
    EXPECT_EQ(a.Channels, 1);
    EXPECT_EQ(a.SampleRate, 8000);
    EXPECT_EQ(a.SampleFormat, AV_SAMPLE_FMT_S16);
    EXPECT_EQ(a.BitRate, 128000);
    EXPECT_EQ(a.Language, "fra");
    EXPECT_EQ(a.CodecName.rfind("pcm_s16le", 0), 0u) << a.CodecName;
    // Matroska states no stream durations.
    EXPECT_EQ(a.Duration, NoTimeValue);
    EXPECT_EQ(a.DurationUS, -1);

    TAudioStreamInfo by_index;
    dec_.GetAudioStreamInfo(1, by_index);
    EXPECT_EQ(by_index.SampleRate, 8000);
    EXPECT_TRUE(TakeLog().empty());
}

TEST_F(DecoderTest, StreamWithoutStartTime) {
    struct TRow {
        const char* file;
        const char* format;
        bool video;
    } rows[] = {
        {"nostart.mjpeg", "", true},
        {"nostart.raw", "s16le", false},
    };
    for (const TRow& r : rows) {
        SCOPED_TRACE(r.file);
        ASSERT_TRUE(dec_.LoadFile(Path(r.file), r.format)) << dec_.LastErrorMessage();
        EXPECT_EQ(dec_.FormatName(), r.format);
        int64_t start = 0, start_us = 0;
        if (r.video) {
            TVideoStreamInfo v;
            dec_.GetVideoStreamInfo(v);
            EXPECT_EQ(v.Width, 16);
            start = v.StartTime;
            start_us = v.StartTimeUS;
        } else {
            TAudioStreamInfo a;
            dec_.GetAudioStreamInfo(a);
            EXPECT_EQ(a.SampleRate, 44100);  // the raw demuxer's default
            start = a.StartTime;
            start_us = a.StartTimeUS;
        }
        EXPECT_EQ(start, NoTimeValue);
        EXPECT_EQ(start_us, -1);
    }
}

// Every failure of the information operations: the text, its level and the empty record.
TEST_F(DecoderTest, InformationFailures) {
    struct TRow {
        const char* file;  // null: no file loaded
        bool video;
        int index;
        const char* text;
        TLogLevel level;
    } rows[] = {
        {nullptr, true, -1, "file not loaded.", llWarning},
        {nullptr, false, -1, "file not loaded.", llWarning},
        {"long.mkv", false, -1, "no audio stream.", llError},
        {"long.mkv", true, 1, "stream index #1 is invalid.", llError},
        {"long.mkv", false, 1, "stream index #1 is invalid.", llError},
        {"long.mkv", false, 0, "stream #0 is not audio stream.", llError},
        {"av.mkv", true, 1, "stream #1 is not video stream.", llError},
    };
    for (const TRow& r : rows) {
        SCOPED_TRACE(r.text + std::string(" / ") + (r.file ? r.file : "none"));
        if (r.file) {
            ASSERT_TRUE(dec_.LoadFile(Path(r.file))) << dec_.LastErrorMessage();
        } else {
            dec_.CloseFile();
        }
        TakeLog();
        if (r.video) {
            TVideoStreamInfo v;
            v.Width = 99;
            dec_.GetVideoStreamInfo(r.index, v);
            EXPECT_EQ(v.Width, -1);
            EXPECT_EQ(v.BitRate, -1);
            EXPECT_EQ(v.DisplayAspect, -1.0f);
            EXPECT_EQ(v.CodecName, "");
        } else {
            TAudioStreamInfo a;
            a.BitRate = 99;
            dec_.GetAudioStreamInfo(r.index, a);
            EXPECT_EQ(a.BitRate, -1);
            EXPECT_EQ(a.SampleRate, -1);
            EXPECT_EQ(a.CodecName, "");
        }
        EXPECT_EQ(dec_.LastErrorMessage(), r.text);
        auto log = TakeLog();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].text, r.text);
        EXPECT_EQ(log[0].level, r.level);
    }

    dec_.CloseFile();
    TFileStreamInfo f;
    f.Title = "x";
    dec_.GetFileStreamInfo(f);
    EXPECT_EQ(f.StartTime, NoTimeValue);
    EXPECT_EQ(f.Duration, -1);
    EXPECT_EQ(f.Year, -1);
    EXPECT_EQ(f.Title, "");
    EXPECT_EQ(dec_.LastErrorMessage(), "file not loaded.");
}

TEST_F(DecoderTest, LoadFailures) {
    const std::string missing = Path("missing.mkv");
    EXPECT_FALSE(dec_.LoadFile(missing));
    EXPECT_EQ(dec_.LastErrorMessage(), error_text(missing, AVERROR(ENOENT)));
    EXPECT_TRUE(TakeLog().empty());  // a failed open is not logged
    EXPECT_EQ(dec_.FormatContext(), nullptr);
    EXPECT_EQ(dec_.StreamCount(), -1);

    ASSERT_TRUE(dec_.LoadFile(Path("long.mkv")));
    EXPECT_FALSE(dec_.LoadFile(Path("long.mkv"), "velloran_no_format"));
    EXPECT_EQ(dec_.LastErrorMessage(), "Unknown input format: velloran_no_format");
    EXPECT_EQ(dec_.FormatContext(), nullptr);  // the previous file is closed
    auto log = TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].level, llError);

    // A folder opens but holds no media.
    EXPECT_FALSE(dec_.LoadFile(dir_));
    EXPECT_EQ(dec_.FormatContext(), nullptr);
    EXPECT_FALSE(dec_.LastErrorMessage().empty());
}

TEST_F(DecoderTest, UnusedFormatOptionIsLoggedAndDropped) {
    ASSERT_EQ(ff::av_dict_set(&dec_.FormatOptions(), "velloran_bogus", "1", 0), 0);
    ASSERT_TRUE(dec_.LoadFile(Path("long.mkv"))) << dec_.LastErrorMessage();
    auto log = TakeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].text, "Option velloran_bogus not found, ignored.");
    EXPECT_EQ(log[0].level, llError);
    EXPECT_EQ(ff::av_dict_count(dec_.FormatOptions()), 0);  // the sets are fresh again
    EXPECT_NE(dec_.ScalerOptions(), nullptr);
}

TEST_F(DecoderTest, AttachFormatContext) {
    ASSERT_TRUE(dec_.LoadFile(Path("av.mkv"), "matroska"));
    AVFormatContext* loaded = dec_.FormatContext();
    dec_.AttachFormatContext(loaded);  // the same one: nothing changes
    EXPECT_EQ(dec_.FormatContext(), loaded);
    EXPECT_EQ(dec_.StreamCount(), 2);
    EXPECT_EQ(dec_.FormatName(), "matroska");
    dec_.AttachFormatContext(nullptr);  // closes the loaded file
    EXPECT_EQ(dec_.FormatContext(), nullptr);
    EXPECT_EQ(dec_.StreamCount(), -1);
    EXPECT_EQ(dec_.FirstAudioStreamIndex(), -1);
    EXPECT_EQ(dec_.FormatName(), "");

    // A context opened elsewhere stays its owner's: still readable after CloseFile.
    AVFormatContext* own = nullptr;
    ASSERT_EQ(ff::avformat_open_input(&own, Path("av.mkv").c_str(), nullptr, nullptr), 0);
    ASSERT_GE(ff::avformat_find_stream_info(own, nullptr), 0);
    dec_.AttachFormatContext(own);
    EXPECT_EQ(dec_.AudioStreamCount(), 1);
    TFileStreamInfo info;
    dec_.GetFileStreamInfo(info);
    EXPECT_EQ(info.Duration, 1000000);
    dec_.CloseFile();
    EXPECT_EQ(dec_.FormatContext(), nullptr);
    AVPacket* pkt = ff::av_packet_alloc();
    ASSERT_NE(pkt, nullptr);
    EXPECT_GE(ff::av_read_frame(own, pkt), 0);
    ff::av_packet_free(&pkt);
    ff::avformat_close_input(&own);
}

TEST_F(DecoderTest, InterruptionCheck) {
    const int64_t now = ff::av_gettime();
    struct TRow {
        const char* what;
        int64_t start;
        int timeout_ms;
        int result;
        const char* text;  // logged at llInfo, or null
    } rows[] = {
        {"idle", TCustomDecoder::IoIdle, 30000, 0, nullptr},
        {"within the time-out", now, 30000, 0, nullptr},
        {"time-out passed", now - 60000000, 30000, 1, "connecting/reading timeout"},
        {"cancelled", 0, 30000, 1, "connecting/reading canceled"},
        {"time-out disabled", 0, 0, 0, nullptr},
        {"negative time-out", now - 60000000, -1, 0, nullptr},
    };
    for (const TRow& r : rows) {
        SCOPED_TRACE(r.what);
        dec_.IoStartTime = r.start;
        dec_.ReadTimeout = r.timeout_ms;
        EXPECT_EQ(dec_.CheckInterrupt(), r.result);
        auto log = TakeLog();
        if (r.text) {
            ASSERT_EQ(log.size(), 1u);
            EXPECT_EQ(log[0].text, r.text);
            EXPECT_EQ(log[0].level, llInfo);
        } else {
            EXPECT_TRUE(log.empty());
        }
    }
}

// The event sees the opened context with the interruption check installed, runs on the main
// thread when asked for, and a change it makes is kept.
TEST_F(DecoderTest, BeforeFindStreamInfoEvent) {
    struct TRow {
        bool in_main;
        bool from_worker;
        bool expect_main;
    } rows[] = {{true, true, true}, {false, true, false}, {true, false, true}};
    for (const TRow& r : rows) {
        SCOPED_TRACE(testing::Message() << r.in_main << r.from_worker);
        dec_.TriggerEventInMainThread = r.in_main;
        int calls = 0;
        bool on_main = false;
        int probe_size_seen = 0;
        dec_.OnBeforeFindStreamInfo = [&](TObject* sender, AVFormatContext* ctx) {
            ++calls;
            on_main = IsMainThread();
            EXPECT_EQ(sender, &dec_);
            EXPECT_EQ(ctx->interrupt_callback.opaque, &dec_);
            probe_size_seen = int(ctx->probesize);
            ctx->probesize = 4096;
        };
        std::atomic<bool> done{false};
        bool ok = false;
        if (r.from_worker) {
            std::thread worker([&] {
                ok = dec_.LoadFile(Path("long.mkv"));
                done = true;
            });
            while (!done)
                CheckSynchronize(100);
            worker.join();
        } else {
            ok = dec_.LoadFile(Path("long.mkv"));
        }
        ASSERT_TRUE(ok) << dec_.LastErrorMessage();
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(on_main, r.expect_main);
        EXPECT_GT(probe_size_seen, 0);
        EXPECT_EQ(dec_.FormatContext()->probesize, 4096);
    }
}

TEST_F(DecoderTest, ScalerFlagsReachTheConverter) {
    struct TRow {
        int flags;
    } rows[] = {{SWS_BICUBIC}, {SWS_BILINEAR}, {SWS_POINT}};
    for (const TRow& r : rows) {
        SCOPED_TRACE(r.flags);
        TFFDecoder dec;
        dec.FormatConverter().ScaleFlags = -5;
        dec.ScalerFlags = r.flags;
        ASSERT_TRUE(dec.LoadFile(Path("long.mkv"))) << dec.LastErrorMessage();
        EXPECT_EQ(dec.FormatConverter().ScaleFlags, r.flags);
    }
    EXPECT_EQ(TFFDecoder().ScalerFlags, SWS_BICUBIC);
}

// Unloads one library of the set, then loads it back (every test loads in SetUp).
TEST_F(DecoderTest, LibrariesNotLoaded) {
    FFLoader().Unload({liAVCodec});
    TFFDecoder dec;
    try {
        dec.LoadFile(Path("long.mkv"));
        ADD_FAILURE() << "LoadFile did not raise";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Library avcodec not loaded.");
    }
    AVFormatContext* some = reinterpret_cast<AVFormatContext*>(&dec);
    EXPECT_THROW(dec.AttachFormatContext(some), Exception);
    EXPECT_EQ(dec.FormatContext(), nullptr);
    ASSERT_TRUE(FFLoader().Load(LibSetNoDeviceFilter)) << FFLoader().LastErrorMessage();
}

}  // namespace
