// Whole conversions through the main loop on clips made at test time; every output is checked
// with ffprobe (an independent reader), not with the engine's own state.
#include "transcode/run_fixture.h"

namespace {

using namespace run_test;

TEST_F(TranscodeRun, ConvertsToEachContainerWithExpectedCodecsDurationAndFrames) {
    struct Row {
        const char* file;
        const char* options;
        const char* vcodec;
        const char* acodec;
    };
    const Row rows[] = {
        {"out.mp4", " -c:v mpeg4 -c:a aac", "mpeg4", "aac"},
        {"out.avi", " -c:v mpeg4 -c:a libmp3lame", "mpeg4", "mp3"},
        {"out.mkv", " -c:v libx264 -preset ultrafast -c:a aac", "h264", "aac"},
        {"out.webm", " -c:v libvpx -deadline realtime -cpu-used 8 -c:a libvorbis", "vp8",
         "vorbis"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        e = std::make_unique<TCustomFFmpeg>();
        const std::string out = TempPath(row.file);
        ASSERT_TRUE(Open("", AVClip(), {{row.options, out}}));
        EXPECT_EQ(Run(), "");
        EXPECT_TRUE(e->Finished);
        EXPECT_EQ(Probe(out, "v:0", "codec_name"), row.vcodec);
        EXPECT_EQ(Probe(out, "a:0", "codec_name"), row.acodec);
        EXPECT_EQ(Probe(out, "v:0", "width"), "320");
        EXPECT_EQ(DecodedFrames(out), 50);
        EXPECT_NEAR(Duration(out, ""), 2.0, 0.1);  // the audio codec's padding may add a little
    }
}

TEST_F(TranscodeRun, StreamCopyMakesRepeatedDtsStrictlyIncreasing) {
    // Matroska keeps a repeated time stamp the way it was written.
    const std::string in = Clip(
        "repeat.mkv", "-f lavfi -i testsrc=size=64x48:rate=10:d=1 -c:v mpeg4 -bf 0 -bsf:v "
                      "\"setts=dts=if(eq(N\\,3)\\,PREV_INDTS\\,DTS):pts=if(eq(N\\,3)\\,PREV_INPTS\\,"
                      "PTS)\"");
    const std::string dts_in = Capture("ffprobe -v error -show_entries packet=dts -of csv=p=0 \"" +
                                       in + "\"");
    ASSERT_NE(dts_in.find("200\n200\n"), std::string::npos) << "fixture has no repeat: " << dts_in;

    const std::string out = TempPath("repeat-copy.nut");
    ASSERT_TRUE(Open("", in, {{" -c copy", out}}));
    EXPECT_EQ(Run(), "");
    std::istringstream lines(
        Capture("ffprobe -v error -show_entries packet=pts,dts -of csv=p=0 \"" + out + "\""));
    std::string line;
    long long last = LLONG_MIN;
    int packets = 0;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        long long pts = 0, dts = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%lld,%lld", &pts, &dts), 2) << line;
        EXPECT_GT(dts, last) << "packet " << packets;
        EXPECT_GE(pts, dts) << "packet " << packets;
        last = dts;
        ++packets;
    }
    EXPECT_EQ(packets, 10);
}

TEST_F(TranscodeRun, StopInTheMiddleStillWritesTheTrailer) {
    const std::string out = TempPath("stopped.mp4");
    ASSERT_TRUE(Open("", LongClip(), {{" -c:v mpeg4 -c:a aac", out}}));
    e->OnFrameInputHook = [](TCustomFFmpeg* self, AVFrame*, int, int frame, int, int, int64_t) {
        if (frame == 40) self->StopRequested = true;
    };
    EXPECT_EQ(Run(), "");
    EXPECT_FALSE(e->Finished);
    const int frames = DecodedFrames(out);  // the file opens: moov was written
    EXPECT_GE(frames, 30);
    EXPECT_LT(frames, 200);
}

TEST_F(TranscodeRun, TimeLengthEndsEveryOutputAtItsLimit) {
    const std::string limited = TempPath("limited.mkv");
    const std::string full = TempPath("full.mkv");
    ASSERT_TRUE(Open("", LongClip(),
                     {{" -t 5 -c:v mpeg4 -c:a pcm_s16le", limited},
                      {" -c:v mpeg4 -c:a pcm_s16le", full}}));
    EXPECT_EQ(Run(), "");
    EXPECT_TRUE(e->Finished);
    EXPECT_NEAR(Duration(limited, ""), 5.0, 0.05);
    EXPECT_EQ(DecodedFrames(limited), 125);
    EXPECT_NEAR(Duration(full, ""), 8.0, 0.05);
    EXPECT_EQ(DecodedFrames(full), 200);
}

TEST_F(TranscodeRun, FailedSetUpEndsWithInitTextAndLeavesNoFile) {
    TLogCapture log;
    const std::string out = TempPath("never.mp4");
    // H.263 takes only its standard picture sizes; 320x240 is not one of them.
    ASSERT_TRUE(Open("", AVClip(), {{" -c:v h263 -an", out}}));
    EXPECT_EQ(Run(), "transcode_init() error: Invalid argument / Invalid data found when "
                     "processing input");
    EXPECT_TRUE(log.ContainsText("Error while opening encoder for output stream #0:0"));
    EXPECT_TRUE(log.ContainsText("Stream mapping:"));
    EXPECT_FALSE(e->Finished);
    EXPECT_FALSE(std::filesystem::exists(out));
}

// Two transport-stream pieces joined byte by byte: the second starts `jump` seconds late.
std::string JumpClip(int jump) {
    const std::string name = "jump" + std::to_string(jump);
    const std::string a = Clip(name + "a.ts", "-f lavfi -i testsrc=size=64x48:rate=25:d=1 -c:v mpeg4");
    const std::string b = Clip(name + "b.ts", "-f lavfi -i testsrc=size=64x48:rate=25:d=1 -c:v mpeg4 "
                                              "-output_ts_offset " + std::to_string(jump + 1));
    const std::string joined = TempPath(name + ".ts");
    if (a.empty() || b.empty() ||
        std::system(("cat \"" + a + "\" \"" + b + "\" > \"" + joined + "\"").c_str()) != 0)
        return "";
    return joined;
}

TEST_F(TranscodeRun, TransportStreamJumpIsCorrectedBeyondTheThreshold) {
    struct Row {
        int jump;
        const char* options;
        bool corrected;
    };
    const Row rows[] = {{20, "", true}, {20, " -copyts", false}, {5, "", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.jump) + row.options);
        TLogCapture log;
        FFLogger().SetLogLevel(llDebug);
        e = std::make_unique<TCustomFFmpeg>();
        const std::string out = TempPath("jump.nut");
        ASSERT_TRUE(Open(row.options, JumpClip(row.jump), {{" -c copy", out}}));
        EXPECT_EQ(Run(), "");
        EXPECT_EQ(log.ContainsText("timestamp discontinuity"), row.corrected);
        // Corrected, the pieces follow each other; otherwise the gap stays in the output.
        const double d = Duration(out, "");
        if (row.corrected)
            EXPECT_LT(d, 3.0);
        else
            EXPECT_GT(d, row.jump);
    }
}

}  // namespace

namespace {

using namespace run_test;

TEST_F(TranscodeRun, SubtitlesAreDecodedAndEncodedAgain) {
    const std::string srt = TempPath("two.srt");
    {
        std::ofstream f(srt);
        f << "1\n00:00:00,200 --> 00:00:00,800\nfirst\n\n2\n00:00:01,000 --> 00:00:01,500\n"
             "second\n";
    }
    const std::string in = Clip("subs.mkv", "-f lavfi -i testsrc=size=64x48:rate=25:d=2 -i \"" +
                                                srt + "\" -c:v mpeg4 -c:s srt");
    const std::string out = TempPath("subs-out.mkv");
    TLogCapture log;
    ASSERT_TRUE(Open("", in, {{" -c:v copy -c:s ass", out}}));
    EXPECT_EQ(Run(), "") << log.All();
    EXPECT_EQ(Probe(out, "s:0", "codec_name"), "ass");
    const std::string times = Capture("ffprobe -v error -select_streams s:0 -show_entries "
                                      "packet=pts_time -of csv=p=0 \"" + out + "\"");
    EXPECT_EQ(times, "0.200000\n1.000000\n");
}

}  // namespace
