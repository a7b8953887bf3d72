// The audio path and the progress report on real clips: outputs are decoded with the ffmpeg
// tool and compared with the samples that went in.
#include "engine/engine_fixture.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <cstring>

namespace {

using engine_test::RunFFmpeg;
using engine_test::TempDir;

std::string TempPath(const std::string& name) {
    return (TempDir() / name).string();
}

// Made once per program; "" when the tool failed.
std::string Clip(const std::string& name, const std::string& args) {
    static std::map<std::string, std::string> made;
    if (auto it = made.find(name); it != made.end()) return it->second;
    const std::string path = TempPath(name);
    return made[name] = RunFFmpeg(args + " \"" + path + "\"") ? path : std::string();
}

// 0.3 s of two different tones, 44.1 kHz stereo 16-bit.
std::string StereoWav() {
    return Clip("stereo.wav", "-f lavfi -i \"aevalsrc=0.5*sin(2*PI*440*t)|0.4*cos(2*PI*330*t):"
                              "s=44100:d=0.3\" -c:a pcm_s16le");
}

// Known levels: left alternates 0.25 and 0.75, right stays at -0.75 (8192, 24576, -24576).
std::string LevelsClip(const std::string& name, const std::string& codec) {
    return Clip(name, "-f lavfi -i \"aevalsrc=if(eq(mod(n\\,2)\\,0)\\,0.25\\,0.75)|-0.75:"
                      "s=44100:d=0.1\" -c:a " +
                          codec);
}

// Decodes the first audio stream of `path` to interleaved 16-bit samples.
std::vector<int16_t> DecodeS16(const std::string& path) {
    const std::string raw = path + ".raw";
    std::vector<int16_t> out;
    if (!RunFFmpeg("-i \"" + path + "\" -map 0:a:0 -f s16le -c:a pcm_s16le \"" + raw + "\""))
        return out;
    std::ifstream f(raw, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    out.resize(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

// Output of a command (ffprobe), trailing blanks removed.
std::string Capture(const std::string& cmd) {
    std::string text;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[256];
        while (size_t n = std::fread(buf, 1, sizeof(buf), p))
            text.append(buf, n);
        ::pclose(p);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

// Keeps every message with its level; counts exact lines.
class TLogLines {
public:
    TLogLines() {
        logger_.TriggerEventInMainThread = false;
        logger_.SetLogLevel(llVerbose);
        logger_.OnLog = [this](TObject*, uint32_t, TLogLevel level, const std::string& msg) {
            std::lock_guard lock(m_);
            lines_.emplace_back(level, msg);
        };
    }
    ~TLogLines() {
        logger_.OnLog = nullptr;
        logger_.SetLogLevel(llInfo);
    }
    int Count(const std::string& text, TLogLevel level) const {
        std::lock_guard lock(m_);
        int n = 0;
        for (const auto& [l, t] : lines_)
            n += l == level && t == text;
        return n;
    }
    // The last line at `level` that contains `part`, or "".
    std::string Last(const std::string& part, TLogLevel level) const {
        std::lock_guard lock(m_);
        for (auto it = lines_.rbegin(); it != lines_.rend(); ++it)
            if (it->first == level && it->second.find(part) != std::string::npos) return it->second;
        return {};
    }
    void Clear() {
        std::lock_guard lock(m_);
        lines_.clear();
    }

private:
    TFFLogger logger_;
    mutable std::mutex m_;  // guards lines_
    std::vector<std::pair<TLogLevel, std::string>> lines_;
};

class AudioPath : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(engine_test::LoadLibraries());
        e = std::make_unique<TCustomFFmpeg>();
    }
    void TearDown() override { Release(); }
    void Release() {
        if (!e) return;
        e->close_registered_codecs();
        e->clean_up();
    }
    // As the encoder component does: input options, open, output options, open.
    void Open(const std::string& in_options, const std::string& in, const std::string& out_options,
              const std::string& out) {
        ASSERT_FALSE(in.empty()) << "fixture clip missing";
        e->ParseOptions(in_options);
        ASSERT_GE(e->open_input_file(e->OptionsContext, in), 0) << e->LastError;
        e->ParseOptions(out_options);
        ASSERT_GE(e->open_output_file(e->OptionsContext, out, false), 0) << e->LastError;
    }
    // Runs the whole task on this thread and closes the output.
    ::testing::AssertionResult Run() {
        try {
            e->transcode_run();
        } catch (const std::exception& x) {
            Release();
            return ::testing::AssertionFailure() << x.what();
        }
        Release();
        return ::testing::AssertionSuccess();
    }
    TLogLines log;
    std::unique_ptr<TCustomFFmpeg> e;
};

TEST_F(AudioPath, SameFormatPassesSampleIdentical) {
    const std::vector<int16_t> in = DecodeS16(StereoWav());
    ASSERT_EQ(in.size(), 13230u * 2);
    for (const char* file : {"same.wav", "same.mkv"}) {
        SCOPED_TRACE(file);
        e = std::make_unique<TCustomFFmpeg>();
        Open("", StereoWav(), "-acodec pcm_s16le", TempPath(file));
        ASSERT_TRUE(Run());
        EXPECT_EQ(DecodeS16(TempPath(file)), in);
    }
}

TEST_F(AudioPath, VolumeDoublesAndClipsInEveryFormat) {
    struct Row {
        const char* name;
        std::string clip;
    };
    // Packed 16-bit, planar 16-bit (scaled per plane) and float (scaled, then converted).
    const Row rows[] = {
        {"s16", LevelsClip("levels_s16.wav", "pcm_s16le")},
        {"s16p", LevelsClip("levels_s16p.nut", "pcm_s16le_planar")},
        {"flt", LevelsClip("levels_flt.wav", "pcm_f32le")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        e = std::make_unique<TCustomFFmpeg>();
        const std::string out = TempPath(std::string("vol_") + row.name + ".wav");
        Open("", row.clip, "-vol 512 -acodec pcm_s16le", out);
        ASSERT_TRUE(Run());
        const std::vector<int16_t> s = DecodeS16(out);
        ASSERT_EQ(s.size(), 4410u * 2);
        for (size_t i = 0; i < s.size(); i += 2) {
            const int16_t left = (i / 2) % 2 == 0 ? 16384 : 32767;
            ASSERT_EQ(s[i], left) << "sample " << i / 2;
            ASSERT_EQ(s[i + 1], -32768) << "sample " << i / 2;
        }
    }
}

TEST_F(AudioPath, LateFirstTimestampIsPrecededBySilence) {
    const std::vector<int16_t> in = DecodeS16(StereoWav());
    Open("-itsoffset 0.5", StereoWav(), "-async 1 -acodec pcm_s16le", TempPath("late.wav"));
    ASSERT_TRUE(Run());
    EXPECT_EQ(log.Count("adding 22050 audio samples of silence", llVerbose), 1);
    const std::vector<int16_t> out = DecodeS16(TempPath("late.wav"));
    ASSERT_EQ(out.size(), in.size() + 22050 * 2);
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 22050 * 2, [](int16_t v) { return !v; }));
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin() + 22050 * 2));
}

TEST_F(AudioPath, FixedFrameEncoderGetsWholeFrames) {
    struct Row {
        const char* codec;
        const char* file;
        int frame_size;
        const char* packets;
    };
    // 13230 samples. MP2 (packed 16-bit): 11 whole frames and a last one padded at the end.
    // AAC (planar float, through the resampler): 13 frames plus the encoder's delay.
    const Row rows[] = {
        {"mp2 -ab 192k", "frames_mp2.mkv", 1152, "12"},
        {"aac", "frames_aac.mkv", 1024, "14"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.codec);
        e = std::make_unique<TCustomFFmpeg>();
        Open("", StereoWav(), std::string("-acodec ") + row.codec, TempPath(row.file));
        ASSERT_TRUE(Run());
        const std::string probe = "ffprobe -v error -select_streams a:0 ";
        const std::string file = " \"" + TempPath(row.file) + "\"";
        EXPECT_EQ(Capture(probe + "-count_packets -show_entries stream=nb_read_packets " +
                          "-of csv=p=0" + file),
                  row.packets);
        EXPECT_EQ(
            Capture(probe + "-show_entries frame=nb_samples -of csv=p=0" + file + " | sort -u"),
            std::to_string(row.frame_size));
    }
}

TEST_F(AudioPath, HookSeesInterleavedSamplesAndMayChangeThem) {
    struct Row {
        const char* name;
        std::string clip;
    };
    const Row rows[] = {
        {"packed", LevelsClip("levels_s16.wav", "pcm_s16le")},
        {"planar", LevelsClip("levels_s16p.nut", "pcm_s16le_planar")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        e = std::make_unique<TCustomFFmpeg>();
        const std::string out = TempPath(std::string("hook_") + row.name + ".wav");
        Open("", row.clip, "-acodec pcm_s16le", out);
        int calls = 0;
        int64_t first_pts = -1;
        std::string bad;
        e->OnAudioHook = [&](TCustomFFmpeg*, void* data, int64_t pts, int size, int rate,
                             int channels, int fmt) {
            if (calls++ == 0) first_pts = pts;
            if (rate != 44100 || channels != 2 || fmt != AV_SAMPLE_FMT_S16 || size % 4)
                bad = "rate " + std::to_string(rate) + " channels " + std::to_string(channels) +
                      " format " + std::to_string(fmt) + " size " + std::to_string(size);
            auto* s = static_cast<int16_t*>(data);
            for (int i = 0; i < size / 2; i += 2) {
                if (s[i + 1] != -24576) bad = "right channel " + std::to_string(s[i + 1]);
                s[i + 1] = int16_t(-s[i]);  // right := minus left
            }
        };
        ASSERT_TRUE(Run());
        EXPECT_EQ(bad, "");
        EXPECT_GT(calls, 0);
        EXPECT_EQ(first_pts, 0);
        const std::vector<int16_t> s = DecodeS16(out);
        ASSERT_EQ(s.size(), 4410u * 2);
        for (size_t i = 0; i < s.size(); i += 2) {
            const int16_t left = (i / 2) % 2 == 0 ? 8192 : 24576;
            ASSERT_EQ(s[i], left) << "sample " << i / 2;
            ASSERT_EQ(s[i + 1], -left) << "sample " << i / 2;
        }
    }
}

TEST_F(AudioPath, ChannelMapPicksSourceChannels) {
    const std::vector<int16_t> in = DecodeS16(StereoWav());
    struct Row {
        const char* name;
        const char* options;
        std::vector<int> picks;  // source channel of each output channel
    };
    const Row rows[] = {
        {"swap", "-map_channel 0.0.1 -map_channel 0.0.0", {1, 0}},
        {"right only", "-map_channel 0.0.1", {1}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        e = std::make_unique<TCustomFFmpeg>();
        const std::string out = TempPath(std::string("map_") + row.name + ".wav");
        Open("", StereoWav(), std::string(row.options) + " -acodec pcm_s16le", out);
        ASSERT_TRUE(Run());
        const std::vector<int16_t> s = DecodeS16(out);
        const size_t ch = row.picks.size();
        ASSERT_EQ(s.size(), in.size() / 2 * ch);
        for (size_t i = 0; i < s.size() / ch; ++i)
            for (size_t c = 0; c < ch; ++c)
                ASSERT_EQ(s[i * ch + c], in[i * 2 + size_t(row.picks[c])]) << "sample " << i;
    }
}

// Frames built by hand go straight into do_audio_out of a set-up task.
class AudioFrames : public AudioPath {
protected:
    // 48 kHz stereo 16-bit in and out, with the headers written.
    void Prepare(const std::string& out_options, const std::string& file) {
        const std::string in = Clip("stereo48.wav", "-f lavfi -i sine=sample_rate=48000:d=0.1 "
                                                    "-ac 2 -c:a pcm_s16le");
        Open("", in, out_options, TempPath(file));
        ASSERT_EQ(e->transcode_init(), 0) << e->LastError;
    }
    // A stereo s16 frame of `samples` samples at `rate`, a quiet tone.
    TFramePtr Frame(int rate, int samples) {
        TFramePtr f(ff::av_frame_alloc());
        f->format = AV_SAMPLE_FMT_S16;
        f->sample_rate = rate;
        f->nb_samples = samples;
        ff::av_channel_layout_default(&f->ch_layout, 2);
        if (samples > 0) {
            EXPECT_GE(ff::av_frame_get_buffer(f.get(), 0), 0);
            auto* d = reinterpret_cast<int16_t*>(f->data[0]);
            for (int i = 0; i < samples * 2; ++i)
                d[i] = int16_t(3000 * std::sin(i * 0.05));
        }
        return f;
    }
    TInputStream& ist() { return *e->InputStreams[0]; }
    TOutputStream& ost() { return *e->OutputStreams[0]; }
    AVFormatContext* oc() { return e->OutputFiles[0]->Context.get(); }
};

TEST_F(AudioFrames, RateChangeInMidStreamMakesOneNewResampler) {
    ASSERT_NO_FATAL_FAILURE(Prepare("-acodec pcm_s16le", "frames48.wav"));
    int64_t pts = 0;
    auto feed = [&](int rate, int samples) {
        TFramePtr f = Frame(rate, samples);
        ist().PTS = pts;
        e->do_audio_out(oc(), ost(), ist(), f.get());
        pts += int64_t(1000000) * samples / rate;
    };
    feed(48000, 1024);
    EXPECT_EQ(ost().Resampler, nullptr) << "same format needs no resampler";
    feed(44100, 1024);
    ASSERT_NE(ost().Resampler, nullptr);
    const SwrContext* made = ost().Resampler.get();
    feed(44100, 1024);
    EXPECT_EQ(ost().Resampler.get(), made) << "the resampler is kept while the input stays";
    EXPECT_EQ(log.Count("Input stream #0:0 frame changed from rate:48000 fmt:s16 ch:2 to "
                        "rate:44100 fmt:s16 ch:2",
                        llInfo),
              1);
    // Back to the encoder's format: what the resampler still holds is handed on first.
    feed(48000, 1024);
    EXPECT_EQ(ost().Resampler, nullptr);
    e->flush_audio_fifo(oc(), ost());
    e->encode_frame(oc(), ost(), nullptr);
    ASSERT_GE(ff::av_write_trailer(oc()), 0);
    Release();
    // 2048 samples at 44.1 kHz become 2229 at 48 kHz, between 1024 + 1024 unchanged ones.
    const size_t samples = DecodeS16(TempPath("frames48.wav")).size() / 2;
    EXPECT_NEAR(double(samples), 2048 + 2048 * 48000.0 / 44100, 2);
}

TEST_F(AudioFrames, FrameWithoutSamplesEndsTheTask) {
    ASSERT_NO_FATAL_FAILURE(Prepare("-acodec pcm_s16le", "frames_empty.wav"));
    TFramePtr f = Frame(48000, 0);
    EXPECT_THROW(e->audio_frame_decoded(ist(), f.get()), FFmpegException);
    EXPECT_EQ(e->LastError, "the decoder \"pcm_s16le\" return bad result.");
}

TEST_F(AudioFrames, SyncCorrectsOnlyBeyondItsLimits) {
    struct Row {
        const char* name;
        int method;
        std::vector<int> starts;  // first sample of each 1024-sample frame, 48 kHz
        const char* line;         // the sync line of the last frame; "" for none
    };
    const Row rows[] = {
        {"drift of 30 at the start", 1, {0, 1054}, ""},
        {"input behind at the start", 1, {0, 524}, "discarding 500 audio samples"},
        {"late start", 1, {4800}, "adding 4800 audio samples of silence"},
        {"drift below the threshold", 1, {4800, 6324}, ""},
        {"drift beyond the threshold", 1, {4800, 5824 + 6002}, "adding 6002 audio samples"},
        {"stretched", 100, {4800, 6324}, "compensation:100 in:48000"},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        e = std::make_unique<TCustomFFmpeg>();
        ASSERT_NO_FATAL_FAILURE(
            Prepare("-async " + std::to_string(row.method) + " -acodec pcm_s16le",
                    "sync" + std::to_string(n++) + ".wav"));
        for (size_t i = 0; i < row.starts.size(); ++i) {
            if (i + 1 == row.starts.size()) log.Clear();
            TFramePtr f = Frame(48000, 1024);
            ist().PTS = int64_t(row.starts[i]) * 1000000 / 48000;
            e->do_audio_out(oc(), ost(), ist(), f.get());
        }
        const std::string sync_line = log.Last(" audio samples", llVerbose) +
                                      log.Last("compensating audio timestamp drift:", llVerbose);
        if (*row.line)
            EXPECT_NE(sync_line.find(row.line), std::string::npos) << sync_line;
        else
            EXPECT_EQ(sync_line, "");
        Release();
    }
}

// --- progress report ---------------------------------------------------------------------

struct TProgress {
    int calls = 0;
    int file_index = 0, frame_number = 0, fps = 0;
    float quality = 0, bit_rate = 0;
    int64_t size = 0, duration = 0, total = 0;
};

class Report : public AudioPath {
protected:
    // Video and audio, or audio only, set up with the headers written.
    void SetUpTask(const std::string& out_options, const std::string& file) {
        const std::string in =
            Clip("av.mkv", "-f lavfi -i testsrc=size=64x48:rate=25:d=0.2 -f lavfi -i "
                           "sine=d=0.2:sample_rate=44100 -ac 2 -c:v mpeg4 -c:a pcm_s16le");
        Open("", in, out_options, TempPath(file));
        ASSERT_EQ(e->transcode_init(), 0) << e->LastError;
    }
    void Listen() {
        e->OnProgress = [this](TCustomFFmpeg*, int fi, int fn, int fps, float q, float br,
                               int64_t size, int64_t dur, int64_t total) {
            p = {p.calls + 1, fi, fn, fps, q, br, size, dur, total};
        };
    }
    // Stream positions in microseconds, converted to each stream's time base.
    void SetPosition(TOutputStream& ost, int64_t us) {
        ost.CurrentPTS = ff::av_rescale_q(us, AVRational{1, 1000000}, ost.Stream->time_base);
    }
    TProgress p;
};

TEST_F(Report, VideoAndAudioTask) {
    SetUpTask("-vcodec mpeg4 -acodec pcm_s16le", "report_av.mkv");
    ASSERT_EQ(e->OutputStreams.size(), 2u);
    TOutputStream& video = *e->OutputStreams[0];
    TOutputStream& audio = *e->OutputStreams[1];
    ASSERT_EQ(video.Stream->codecpar->codec_type, AVMEDIA_TYPE_VIDEO);
    video.FrameNumber = 50;
    video.CodedQuality = 2 * 118;
    SetPosition(video, 2000000);
    SetPosition(audio, 1500000);
    e->TotalDuration = 7000000;

    struct Row {
        const char* name;
        int64_t elapsed_us;
        bool last;
        int file_index, fps;
        const char* text;  // without a progress handler: the logged line contains it
    };
    const Row rows[] = {
        {"intermediate", 2000000, false, 0, 25, "frame=   50 fps= 25 q=2.0 size="},
        {"first second", 500000, false, 0, 0, "frame=   50 fps=  0 q=2.0 size="},
        {"final", 2000000, true, -1, 25, "frame=   50 fps= 25 q=2.0 Lsize="},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        p = {};
        Listen();
        e->report_progress(10000000 + row.elapsed_us, 10000000, row.last, 0);
        EXPECT_EQ(p.calls, 1);
        EXPECT_EQ(p.file_index, row.file_index);
        EXPECT_EQ(p.frame_number, 50);
        EXPECT_EQ(p.fps, row.fps);
        EXPECT_FLOAT_EQ(p.quality, 2.0f);
        EXPECT_EQ(p.duration, 1500000) << "the last stream's position";
        EXPECT_EQ(p.total, 7000000);
        EXPECT_GT(p.size, 0);
        EXPECT_NEAR(p.bit_rate, p.size * 8 / 1500.0, 0.01);

        log.Clear();
        e->OnProgress = nullptr;
        e->report_progress(10000000 + row.elapsed_us, 10000000, row.last, 0);
        const std::string line = log.Last("size=", llInfo);
        EXPECT_NE(line.find(row.text), std::string::npos) << line;
        EXPECT_NE(line.find("time=00:00:01.50 bitrate="), std::string::npos) << line;
    }
}

TEST_F(Report, AudioOnlyTaskHasNoFrameCount) {
    SetUpTask("-vn -acodec pcm_s16le", "report_a.mkv");
    SetPosition(*e->OutputStreams[0], 1250000);
    Listen();
    e->report_progress(5000000, 1000000, false, 0);
    EXPECT_EQ(p.calls, 1);
    EXPECT_EQ(p.frame_number, -1);
    EXPECT_EQ(p.fps, -1);
    EXPECT_FLOAT_EQ(p.quality, -1.0f);
    EXPECT_EQ(p.duration, 1250000);

    e->OnProgress = nullptr;
    e->report_progress(5000000, 1000000, false, 0);
    const std::string line = log.Last("size=", llInfo);
    EXPECT_EQ(line.find("frame="), std::string::npos) << line;
    EXPECT_NE(line.find("time=00:00:01.25"), std::string::npos) << line;
}

TEST_F(Report, DupDropLineIsLoggedOncePerEvent) {
    SetUpTask("-vcodec mpeg4 -acodec pcm_s16le", "report_dup.mkv");
    e->OutputStreams[0]->FrameNumber = 10;
    e->DupFrames = 2;
    e->DropFrames = 1;
    e->DupDropFlag = true;
    Listen();
    e->report_progress(2000000, 0, false, 0);
    EXPECT_NE(log.Last(" dup=2 drop=1", llInfo), "");
    EXPECT_FALSE(e->DupDropFlag);
    log.Clear();
    e->report_progress(3000000, 0, false, 0);
    EXPECT_EQ(log.Last("size=", llInfo), "") << "nothing new was duplicated or dropped";
    EXPECT_EQ(p.calls, 2);
}

TEST_F(Report, NothingEncodedWarnsInTheFinalReport) {
    SetUpTask("-vn -acodec pcm_s16le", "report_empty.mkv");
    e->ExtraSize = 0;
    e->report_progress(1000000, 0, true, 0);
    EXPECT_NE(log.Last("video:0kB audio:0kB global headers:0kB muxing overhead ", llInfo), "");
    EXPECT_EQ(log.Count("Output file is empty, nothing was encoded (check -ss / -t / -frames "
                        "parameters if used)",
                        llWarning),
              1);

    log.Clear();
    e->AudioSize = 2048;
    e->report_progress(1000000, 0, true, 0);
    EXPECT_NE(log.Last("video:0kB audio:2kB global headers:0kB muxing overhead ", llInfo), "");
    EXPECT_EQ(log.Last("Output file is empty", llWarning), "");
}

TEST_F(Report, VideoStatisticsLine) {
    SetUpTask("-vcodec mpeg4 -an", "report_vstats.mkv");
    TOutputStream& video = *e->OutputStreams[0];
    video.FrameNumber = 3;
    video.CodedQuality = 2 * 118;
    video.CodedPictType = AV_PICTURE_TYPE_I;
    video.SyncOutPTS = 25;  // 1 s at 25 fps
    e->VideoSize = 2048;

    e->GlobalOptions.VStatsFileName = TempDir().string() + "/no-such-folder/vstats.log";
    EXPECT_THROW(e->write_video_stats(video, 100), FFmpegException);
    EXPECT_EQ(e->LastError, "fopen fail: " + e->GlobalOptions.VStatsFileName);

    const std::string name = TempPath("vstats.log");
    e->GlobalOptions.VStatsFileName = name;
    e->write_video_stats(video, 100);
    std::fflush(e->GlobalOptions.VStatsFile);
    std::ifstream f(name);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "frame=     3 q= 2.0 f_size=    100 s_size=        2kB time= 1.000 br=    "
                    "20.0kbits/s avg_br=    16.4kbits/s type= I\n");
}

}  // namespace
