// The video path on whole conversions: bitmap hooks, frame-rate keeping and frame limits.
// Outputs are decoded by the ffmpeg tool and their pixels or frame counts checked.
#include "transcode/run_fixture.h"

#include <atomic>

namespace {

using namespace run_test;

// 1 s of 160x120 at 25 fps, no sound.
std::string SmallClip() {
    return Clip("small.mkv", "-f lavfi -i testsrc=size=160x120:rate=25:d=1 -c:v mpeg4 -q:v 2");
}

// Raw RGB pictures of the first video stream.
std::string DecodeRGB(const std::string& path) {
    return Capture("ffmpeg -nostdin -v error -i \"" + path + "\" -f rawvideo -pix_fmt rgb24 -");
}

// Paints a 40x30 block at (20, 10) pure red on every picture handed to it.
void PaintRed(TBitmap* b) {
    for (int y = 10; y < 40; ++y) {
        uint8_t* row = b->ScanLine(y);
        for (int x = 20; x < 60; ++x) {
            row[3 * x] = 0;        // blue
            row[3 * x + 1] = 0;    // green
            row[3 * x + 2] = 255;  // red
        }
    }
}

class VideoPath : public TranscodeRun {};

TEST_F(VideoPath, InputHookDrawingReachesTheOutput) {
    const std::string out = TempPath("hooked.nut");
    ASSERT_TRUE(Open("", SmallClip(), {{" -c:v rawvideo -pix_fmt yuv444p", out}}));
    int calls = 0;
    e->OnVideoInputHook = [&](TCustomFFmpeg*, TBitmap* b, int frame, int64_t, bool&, bool&) {
        EXPECT_EQ(frame, calls + 1);
        ++calls;
        PaintRed(b);
    };
    EXPECT_EQ(Run(), "");
    EXPECT_EQ(calls, 25);
    EXPECT_EQ(e->HookCopies, 25) << "one working copy per picture";
    const std::string rgb = DecodeRGB(out);
    ASSERT_EQ(rgb.size(), size_t(160 * 120 * 3 * 25));
    for (int f : {0, 24}) {
        SCOPED_TRACE(f);
        const uint8_t* p = reinterpret_cast<const uint8_t*>(rgb.data()) + f * 160 * 120 * 3;
        for (const auto& [x, y] : {std::pair{23, 13}, {56, 36}, {40, 25}}) {  // inside the edges
            const uint8_t* px = p + (y * 160 + x) * 3;
            EXPECT_GT(px[0], 235) << x << "," << y;
            EXPECT_LT(px[1], 20) << x << "," << y;
            EXPECT_LT(px[2], 20) << x << "," << y;
        }
    }
}

TEST_F(VideoPath, HookWithoutUpdateOrStoppedLeavesPicturesAsDecoded) {
    const std::string plain = TempPath("plain.nut");
    ASSERT_TRUE(Open("", SmallClip(), {{" -c:v rawvideo", plain}}));
    EXPECT_EQ(Run(), "");
    EXPECT_EQ(e->HookCopies, 0) << "a hook-less conversion copies no picture";
    const std::string expected = DecodeRGB(plain);
    ASSERT_FALSE(expected.empty());
    const size_t picture = 160 * 120 * 3;

    // Update False: the hook draws but nothing of it is kept.
    e = std::make_unique<TCustomFFmpeg>();
    const std::string no_update = TempPath("noupdate.nut");
    ASSERT_TRUE(Open("", SmallClip(), {{" -c:v rawvideo", no_update}}));
    e->OnVideoInputHook = [](TCustomFFmpeg*, TBitmap* b, int, int64_t, bool& update, bool&) {
        PaintRed(b);
        update = false;
    };
    EXPECT_EQ(Run(), "");
    EXPECT_TRUE(DecodeRGB(no_update) == expected);

    // StopHook on picture 10: pictures 11 on are neither hooked nor changed.
    e = std::make_unique<TCustomFFmpeg>();
    const std::string stopped = TempPath("stophook.nut");
    ASSERT_TRUE(Open("", SmallClip(), {{" -c:v rawvideo", stopped}}));
    int calls = 0;
    e->OnVideoInputHook = [&](TCustomFFmpeg*, TBitmap* b, int frame, int64_t, bool&, bool& stop) {
        ++calls;
        PaintRed(b);
        stop = frame == 10;
    };
    EXPECT_EQ(Run(), "");
    EXPECT_EQ(calls, 10);
    const std::string got = DecodeRGB(stopped);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_FALSE(got.compare(9 * picture, picture, expected, 9 * picture, picture) == 0)
        << "picture 10 was drawn on";
    EXPECT_TRUE(got.compare(10 * picture, 15 * picture, expected, 10 * picture, 15 * picture) == 0)
        << "pictures 11 on are as decoded";
}

TEST_F(VideoPath, RaisingHookIsLoggedOncePerPictureAndTheTaskCompletes) {
    TLogCapture log;
    const std::string out = TempPath("raising.nut");
    ASSERT_TRUE(Open("", SmallClip(), {{" -c:v rawvideo", out}}));
    std::atomic<int> calls{0};
    e->OnVideoInputHook = [&](TCustomFFmpeg*, TBitmap*, int, int64_t, bool&, bool&) {
        ++calls;
        throw Exception("no brush");
    };
    EXPECT_EQ(Run(), "");
    EXPECT_TRUE(e->Finished);
    EXPECT_EQ(calls, 25);
    EXPECT_EQ(log.Count("Error occurs VideoHook event: no brush"), 25);
    EXPECT_EQ(DecodedFrames(out), 25);
}

TEST_F(VideoPath, OddWidthPictureReachesTheHook) {
    const std::string in =
        Clip("odd.nut", "-f lavfi -i testsrc=size=321x41:rate=25:d=0.2 -c:v ffv1 -pix_fmt yuv444p");
    ASSERT_TRUE(Open("", in, {{" -c:v rawvideo", TempPath("odd-out.nut")}}));
    int width = 0;
    e->OnVideoInputHook = [&](TCustomFFmpeg*, TBitmap* b, int, int64_t, bool&, bool&) {
        width = b->Width();
    };
    EXPECT_EQ(Run(), "");
    EXPECT_EQ(width, 321);
}

TEST_F(VideoPath, FrameRateKeeping) {
    // 2 s at 50 fps; and 25 fps with pictures 3 and 4 missing (picture 5 comes three periods
    // after picture 2).
    const std::string fast =
        Clip("fast.mkv", "-f lavfi -i testsrc=size=64x48:rate=50:d=2 -c:v mpeg4");
    const std::string gap = Clip("gap.mkv", "-f lavfi -i testsrc=size=64x48:rate=25:d=0.4 -vf "
                                            "\"select='not(between(n\\,3\\,4))'\" -vsync passthrough "
                                            "-c:v mpeg4");
    struct Row {
        const char* name;
        std::string in;
        const char* options;
        int frames;  // -1: about `about`
        int about;
        int drops;   // -1: at least one
        int dups;
    };
    const Row rows[] = {
        {"50 to 25 cfr", fast, " -vsync 1 -r 25 -c:v mpeg4", -1, 50, -1, 0},
        {"gap cfr", gap, " -vsync 1 -c:v mpeg4", 10, 0, 0, 2},
        {"gap vfr", gap, " -vsync 2 -c:v mpeg4", 8, 0, 0, 0},
        {"gap passthrough", gap, " -vsync 0 -c:v mpeg4", 8, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TLogCapture log;
        FFLogger().SetLogLevel(llVerbose);
        e = std::make_unique<TCustomFFmpeg>();
        const std::string out = TempPath("vsync.mkv");
        ASSERT_TRUE(Open("", row.in, {{row.options, out}}));
        EXPECT_EQ(Run(), "");
        const int frames = DecodedFrames(out);
        if (row.frames >= 0)
            EXPECT_EQ(frames, row.frames);
        else
            EXPECT_NEAR(frames, row.about, 2);
        if (row.drops < 0) {
            EXPECT_NEAR(e->DropFrames, 100 - frames, 1);
            EXPECT_TRUE(log.Contains("*** drop!", llVerbose));
        } else {
            EXPECT_EQ(e->DropFrames, row.drops);
        }
        EXPECT_EQ(e->DupFrames, row.dups);
        if (row.dups) EXPECT_TRUE(log.Contains("*** 2 dup!", llVerbose));
    }
}

TEST_F(VideoPath, MaxFramesGivesExactlyThatManyPictures) {
    const std::string out = TempPath("hundred.mkv");
    ASSERT_TRUE(Open("", LongClip(), {{" -frames:v 100 -an -c:v mpeg4", out}}));
    EXPECT_EQ(Run(), "");
    EXPECT_EQ(DecodedFrames(out), 100);
}

TEST_F(VideoPath, BitstreamFilterRewritesTheCopiedStream) {
    const std::string in = Clip("h264.mp4", "-f lavfi -i testsrc=size=64x48:rate=25:d=0.4 -c:v "
                                            "libx264 -preset ultrafast");
    const std::string out = TempPath("annexb.h264");
    ASSERT_TRUE(Open("", in, {{" -c copy -bsf:v h264_mp4toannexb", out}}));
    EXPECT_EQ(Run(), "");
    const std::string head = Capture("head -c 4 \"" + out + "\" | od -An -tx1");
    EXPECT_EQ(head, " 00 00 00 01\n");
    EXPECT_EQ(DecodedFrames(out), 10);
}

}  // namespace
