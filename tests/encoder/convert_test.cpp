// The command-line driver: box parsing and blending, and whole runs of the built tool.
#include "BoxDraw.h"
#include "encoder/encoder_fixture.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using namespace encoder_test;
namespace fs = std::filesystem;

TEST(ConvertBox, Parse) {
    const struct Row {
        const char* text;
        bool ok;
        TBox box;
    } rows[] = {
        {"1,2,3,4,ff0000", true, {1, 2, 3, 4, 255, 0, 0, 255}},
        {"-5,-6,10,11,00Fa80,128", true, {-5, -6, 10, 11, 0, 250, 128, 128}},
        {"0,0,1,1,000000,0", true, {0, 0, 1, 1, 0, 0, 0, 0}},
        {"1,2,3", false, {}},
        {"1,2,0,4,ff0000", false, {}},
        {"1,2,3,-4,ff0000", false, {}},
        {"1,2,3,4,ff00", false, {}},
        {"1,2,3,4,gg0000", false, {}},
        {"1,2,3,4,ff0000,256", false, {}},
        {"1,2,3,4,ff0000,-1", false, {}},
        {"a,2,3,4,ff0000", false, {}},
        {"1,2,3,4,ff0000,1,2", false, {}},
        {"1,,3,4,ff0000", false, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        const auto b = ParseBox(r.text);
        ASSERT_EQ(b.has_value(), r.ok);
        if (!b) continue;
        EXPECT_EQ(b->X, r.box.X);
        EXPECT_EQ(b->Y, r.box.Y);
        EXPECT_EQ(b->W, r.box.W);
        EXPECT_EQ(b->H, r.box.H);
        EXPECT_EQ(b->R, r.box.R);
        EXPECT_EQ(b->G, r.box.G);
        EXPECT_EQ(b->B, r.box.B);
        EXPECT_EQ(b->Alpha, r.box.Alpha);
    }
}

// Every pixel of an 8x6 bitmap starts as B 10, G 20, R 30 (and 77 in a fourth byte); the box
// blends R 200, G 100, B 50 into the part that lies inside the bitmap.
TEST(ConvertBox, BlendsTheClippedRectangle) {
    const struct Row {
        const char* name;
        TPixelFormat pf;
        TBox box;
        int x0, y0, x1, y1;  // expected changed area
        uint8_t b, g, r;     // expected new value
    } rows[] = {
        {"inside, half", pf24bit, {2, 1, 3, 2, 200, 100, 50, 128}, 2, 1, 5, 3, 30, 60, 115},
        {"top-left outside", pf24bit, {-2, -3, 4, 5, 200, 100, 50, 128}, 0, 0, 2, 2, 30, 60, 115},
        {"bottom-right outside", pf24bit, {6, 4, 9, 9, 200, 100, 50, 128}, 6, 4, 8, 6, 30, 60, 115},
        // (d + 255 s) >> 8 falls one short of the colour.
        {"opaque", pf24bit, {0, 0, 8, 6, 200, 100, 50, 255}, 0, 0, 8, 6, 49, 99, 199},
        {"transparent", pf24bit, {0, 0, 8, 6, 200, 100, 50, 0}, 0, 0, 0, 0, 0, 0, 0},
        {"fully outside", pf24bit, {8, 0, 4, 4, 200, 100, 50, 255}, 0, 0, 0, 0, 0, 0, 0},
        {"32 bits", pf32bit, {1, 1, 2, 2, 200, 100, 50, 128}, 1, 1, 3, 3, 30, 60, 115},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TBitmap bmp(8, 6, row.pf);
        const int bpp = row.pf == pf32bit ? 4 : 3;
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 8; ++x) {
                uint8_t* p = bmp.ScanLine(y) + x * bpp;
                p[0] = 10, p[1] = 20, p[2] = 30;
                if (bpp == 4) p[3] = 77;
            }
        DrawBoxes(bmp, {row.box});
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 8; ++x) {
                const uint8_t* p = bmp.ScanLine(y) + x * bpp;
                const bool in = x >= row.x0 && x < row.x1 && y >= row.y0 && y < row.y1;
                const uint8_t want[3] = {in ? row.b : uint8_t(10), in ? row.g : uint8_t(20),
                                         in ? row.r : uint8_t(30)};
                for (int c = 0; c < 3; ++c)
                    ASSERT_EQ(p[c], want[c]) << "x " << x << " y " << y << " channel " << c;
                if (bpp == 4) {
                    ASSERT_EQ(p[3], 77);
                }
            }
    }
}

struct TRun {
    int status = -1;
    std::string err;
};

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

// Runs the built tool with `args` (already quoted); its exit status and standard error.
TRun RunConvert(const std::string& args) {
    const char* build = std::getenv("VELLORAN_BUILD_DIR");
    const std::string exe =
        std::string(build ? build : ".") + "/tools/velloran-convert/velloran-convert";
    const std::string err = TempPath("convert-stderr.txt");
    const int raw = std::system((Quote(exe) + " " + args + " 2>" + Quote(err)).c_str());
    TRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream f(err);
    std::stringstream ss;
    ss << f.rdbuf();
    r.err = ss.str();
    return r;
}

// "WIDTHxHEIGHT" of the first video stream, by ffprobe.
std::string ProbeSize(const std::string& path) {
    const std::string out = TempPath("probe.txt");
    const std::string cmd = "ffprobe -v error -select_streams v:0 -show_entries "
                            "stream=width,height -of csv=s=x:p=0 " +
                            Quote(path) + " >" + Quote(out);
    if (std::system(cmd.c_str()) != 0) return {};
    std::ifstream f(out);
    std::string line;
    std::getline(f, line);
    return line;
}

class ConvertTool : public ::testing::Test {
protected:
    void SetUp() override {
        clip = Clip();
        ASSERT_FALSE(clip.empty()) << "fixture clip missing";
    }
    std::string clip;
};

TEST_F(ConvertTool, ConvertsWithOutputOptions) {
    const std::string out = TempPath("tool-small.avi");
    const TRun r = RunConvert(Quote(clip) + " --out-opts ' -c:v mpeg4 -s 80x60' " + Quote(out));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("progress: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("finished"), std::string::npos) << r.err;
    EXPECT_EQ(ProbeSize(out), "80x60");
}

TEST_F(ConvertTool, BadArgumentsExitTwo) {
    const std::string out = Quote(TempPath("tool-bad.avi"));
    const std::string in = Quote(clip);
    const struct {
        const char* name;
        std::string args;
    } rows[] = {
        {"nothing", ""},
        {"input only", in},
        {"three files", in + " " + out + " " + out},
        {"unknown option", in + " " + out + " --fast"},
        {"value missing", in + " " + out + " --box"},
        {"bad box", in + " " + out + " --box 1,2,3,4,red"},
        {"options value missing", in + " " + out + " --out-opts"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TRun r = RunConvert(row.args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find("usage: velloran-convert"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(TempPath("tool-bad.avi")));
}

TEST_F(ConvertTool, FailuresExitOneAndLeaveNoOutput) {
    const struct {
        const char* name;
        std::string args;
        std::string out;
        std::string error;
    } rows[] = {
        {"missing input", Quote(TempPath("absent.mkv")) + " ", TempPath("tool-absent.avi"),
         "absent.mkv"},
        {"unknown output option", Quote(clip) + " --out-opts '-nosuchoption 1' ",
         TempPath("tool-badopt.avi"), "Unrecognized option \"nosuchoption\""},
        {"unknown encoder", Quote(clip) + " --out-opts '-c:v no-such-encoder' ",
         TempPath("tool-badenc.avi"), "no-such-encoder"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TRun r = RunConvert(row.args + Quote(row.out));
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(row.error), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(row.out)) << "output left behind";
    }
}

TEST_F(ConvertTool, BoxesShowInTheOutput) {
    const std::string out = TempPath("tool-boxes.avi");
    const TRun r = RunConvert(Quote(clip) + " --out-opts '-c:v mpeg4 -q:v 2' " + Quote(out) +
                              " --box 10,10,40,30,00ff00 --box 100,60,40,40,0000ff,255"
                              " --box -20,-20,30,30,ff0000 --box 150,110,40,40,ffffff,0");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rgb = FirstFrameRGB(out, 160, 120);
    ASSERT_FALSE(rgb.empty());
    const auto plain = FirstFrameRGB(clip, 160, 120);
    ASSERT_FALSE(plain.empty());
    // Inner parts of the boxes (codec blocks blur the edges).
    EXPECT_LT(MeanDistance(rgb, 160, 14, 14, 46, 36, 0, 255, 0), 12);
    EXPECT_LT(MeanDistance(rgb, 160, 104, 64, 136, 96, 0, 0, 255), 12);
    EXPECT_LT(MeanDistance(rgb, 160, 0, 0, 7, 7, 255, 0, 0), 12);
    // Outside every box (and under the transparent one) the picture is the source's.
    const struct { int x0, y0, x1, y1; } untouched[] = {{10, 100, 90, 120}, {150, 110, 160, 120}};
    for (const auto& a : untouched) {
        double diff = 0;
        int n = 0;
        for (int y = a.y0; y < a.y1; ++y)
            for (int x = a.x0; x < a.x1; ++x)
                for (int c = 0; c < 3; ++c, ++n) {
                    const size_t i = (size_t(y) * 160 + size_t(x)) * 3 + size_t(c);
                    diff += std::abs(rgb[i] - plain[i]);
                }
        EXPECT_LT(diff / n, 12) << "area at " << a.x0 << "," << a.y0;
    }
}

}  // namespace
