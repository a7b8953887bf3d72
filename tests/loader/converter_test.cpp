#include "src/FFLoad.h"
#include "src/FormatConverter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct TFrameFree {
    void operator()(AVFrame* f) const { ff::av_frame_free(&f); }
};
using TFramePtr = std::unique_ptr<AVFrame, TFrameFree>;

TFramePtr MakeFrame(AVPixelFormat fmt, int width, int height, int align = 1) {
    TFramePtr f(ff::av_frame_alloc());
    if (!f) return f;
    f->format = fmt;
    f->width = width;
    f->height = height;
    if (ff::av_frame_get_buffer(f.get(), align) < 0) f.reset();
    return f;
}

// A packed picture whose byte at (row, column) is a function of both and of `seed`.
void FillPacked(AVFrame* f, int row_bytes, int seed) {
    for (int y = 0; y < f->height; ++y)
        for (int x = 0; x < row_bytes; ++x)
            f->data[0][y * f->linesize[0] + x] = uint8_t(x * 7 + y * 13 + seed);
}

// Index of the first row where bitmap and picture differ, or -1.
int FirstDifferentRow(const TBitmap& bmp, const AVFrame* f, int row_bytes) {
    for (int y = 0; y < bmp.Height(); ++y)
        if (std::memcmp(bmp.ScanLine(y), f->data[0] + y * f->linesize[0], row_bytes) != 0) return y;
    return -1;
}

class ConverterTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(FFLoader().Load({liAVUtil, liSwScale})) << FFLoader().LastErrorMessage();
    }
};

TEST_F(ConverterTest, DirectOrConvertedPath) {
    struct TRow {
        const char* what;
        int bits;
        AVPixelFormat fmt;
        int frame_width; // the frame's allocation; wider than `width` gives a longer line
        int width, height;
        bool direct;
    } rows[] = {
        {"bgr24 320x240, line 960", 24, AV_PIX_FMT_BGR24, 320, 320, 240, true},
        {"bgra 320x240, line 1280", 32, AV_PIX_FMT_BGRA, 320, 320, 240, true},
        {"bgr565 100x50, line 200", 16, AV_PIX_FMT_BGR565LE, 100, 100, 50, true},
        {"odd width", 24, AV_PIX_FMT_BGR24, 321, 321, 240, false},
        {"odd height", 24, AV_PIX_FMT_BGR24, 320, 320, 241, false},
        {"line longer than the bitmap row", 24, AV_PIX_FMT_BGR24, 340, 320, 240, false},
        {"other format", 24, AV_PIX_FMT_RGB24, 320, 320, 240, false},
        {"bgr24 at 32 bits", 32, AV_PIX_FMT_BGR24, 320, 320, 240, false},
    };
    for (const TRow& r : rows) {
        SCOPED_TRACE(r.what);
        TFormatConverter conv;
        conv.SetBitsPixel(r.bits);
        TFramePtr frame = MakeFrame(r.fmt, r.frame_width, r.height);
        ASSERT_TRUE(frame);
        const int bytes = r.width * r.bits / 8; // one bitmap row
        const int bpp = ff::av_get_bits_per_pixel(ff::av_pix_fmt_desc_get(r.fmt));
        FillPacked(frame.get(), r.width * bpp / 8, 1);

        ASSERT_TRUE(conv.ToRGB(frame.get(), r.fmt, r.width, r.height, true))
            << conv.ConversionError();
        EXPECT_EQ(conv.Bitmap().Width(), r.width);
        EXPECT_EQ(conv.Bitmap().Height(), r.height);
        if (r.direct) {
            EXPECT_EQ(conv.CurrentPicture(), frame.get());
            EXPECT_EQ(conv.Buffer(), nullptr);
            EXPECT_EQ(conv.ToRGBContext(), nullptr);
            EXPECT_EQ(FirstDifferentRow(conv.Bitmap(), frame.get(), bytes), -1);
        } else {
            EXPECT_EQ(conv.CurrentPicture(), conv.RGBPictureAddress());
            EXPECT_NE(conv.Buffer(), nullptr);
            EXPECT_NE(conv.ToRGBContext(), nullptr);
            EXPECT_EQ(FirstDifferentRow(conv.Bitmap(), conv.CurrentPicture(), bytes), -1);
        }
        if (r.fmt == conv.PixFmt()) { // same layout: the bitmap holds the picture's pixels
            EXPECT_EQ(FirstDifferentRow(conv.Bitmap(), frame.get(), bytes), -1);
        }
    }
}

TEST_F(ConverterTest, DirectPathWritesBackIntoTheCallersPicture) {
    TFormatConverter conv;
    TFramePtr frame = MakeFrame(AV_PIX_FMT_BGR24, 320, 240);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->linesize[0], 960);
    FillPacked(frame.get(), 960, 3);
    ASSERT_TRUE(conv.ToRGB(frame.get(), AV_PIX_FMT_BGR24, 320, 240, true));
    ASSERT_EQ(conv.CurrentPicture(), frame.get());
    std::memset(conv.Bitmap().ScanLine(100), 0xEE, 960);
    conv.CopyFromBitmap();
    for (int x = 0; x < 960; ++x)
        ASSERT_EQ(frame->data[0][100 * 960 + x], 0xEE) << "byte " << x;
    EXPECT_EQ(frame->data[0][99 * 960], uint8_t(99 * 13 + 3));
}

TEST_F(ConverterTest, BufferAndContextAreReused) {
    TFormatConverter conv;
    TFramePtr a = MakeFrame(AV_PIX_FMT_BGR24, 321, 240);
    TFramePtr b = MakeFrame(AV_PIX_FMT_BGR24, 321, 240);
    ASSERT_TRUE(a && b);
    FillPacked(a.get(), 963, 1);
    FillPacked(b.get(), 963, 2);
    ASSERT_TRUE(conv.ToRGB(a.get(), AV_PIX_FMT_BGR24, 321, 240, true));
    const uint8_t* buffer = conv.Buffer();
    const int size = conv.BufferSize();
    SwsContext* context = conv.ToRGBContext();
    ASSERT_TRUE(conv.ToRGB(b.get(), AV_PIX_FMT_BGR24, 321, 240, true));
    EXPECT_EQ(conv.Buffer(), buffer);
    EXPECT_EQ(conv.BufferSize(), size);
    EXPECT_EQ(conv.ToRGBContext(), context);
    EXPECT_EQ(FirstDifferentRow(conv.Bitmap(), b.get(), 963), -1); // the second picture
    ASSERT_TRUE(conv.FromRGB(a.get(), AV_PIX_FMT_BGR24, 321, 240)) << conv.ConversionError();
    SwsContext* back = conv.FromRGBContext();
    ASSERT_TRUE(conv.FromRGB(a.get(), AV_PIX_FMT_BGR24, 321, 240)) << conv.ConversionError();
    EXPECT_EQ(conv.FromRGBContext(), back);
    EXPECT_EQ(FirstDifferentRow(conv.Bitmap(), a.get(), 963), -1); // b's pixels written into a

    // A smaller picture keeps the buffer (it never shrinks); a larger one grows it.
    TFramePtr small = MakeFrame(AV_PIX_FMT_BGR24, 33, 20);
    ASSERT_TRUE(small);
    FillPacked(small.get(), 99, 5);
    ASSERT_TRUE(conv.ToRGB(small.get(), AV_PIX_FMT_BGR24, 33, 20, true));
    EXPECT_EQ(conv.Buffer(), buffer);
    EXPECT_EQ(FirstDifferentRow(conv.Bitmap(), small.get(), 99), -1);
    TFramePtr large = MakeFrame(AV_PIX_FMT_BGR24, 641, 480);
    ASSERT_TRUE(large);
    FillPacked(large.get(), 1923, 6);
    ASSERT_TRUE(conv.ToRGB(large.get(), AV_PIX_FMT_BGR24, 641, 480, true));
    EXPECT_GT(conv.BufferSize(), size);
    EXPECT_EQ(FirstDifferentRow(conv.Bitmap(), large.get(), 1923), -1);
}

TEST_F(ConverterTest, YuvPictureTakesTheDrawingAt32Bits) {
    const int w = 64, h = 48;
    TFramePtr frame = MakeFrame(AV_PIX_FMT_YUV420P, w, h, 32);
    ASSERT_TRUE(frame);
    for (int p = 0; p < 3; ++p) {
        const int rows = p == 0 ? h : h / 2;
        for (int y = 0; y < rows; ++y)
            std::memset(frame->data[p] + y * frame->linesize[p], 128, p == 0 ? w : w / 2);
    }
    TFormatConverter conv;
    conv.SetBitsPixel(32);
    ASSERT_TRUE(conv.ToRGB(frame.get(), AV_PIX_FMT_YUV420P, w, h, true)) << conv.ConversionError();
    ASSERT_EQ(conv.CurrentPicture(), conv.RGBPictureAddress());
    // Mid grey in, grey out.
    const uint8_t* px = conv.Bitmap().ScanLine(10) + 10 * 4;
    EXPECT_NEAR(px[0], 130, 3);
    EXPECT_NEAR(px[1], 130, 3);
    EXPECT_NEAR(px[2], 130, 3);

    // Draw a red 16x16 square at the top left (B, G, R, A).
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            uint8_t* q = conv.Bitmap().ScanLine(y) + x * 4;
            q[0] = 0, q[1] = 0, q[2] = 255, q[3] = 255;
        }
    conv.CopyFromBitmap();
    ASSERT_TRUE(conv.FromRGB(frame.get(), AV_PIX_FMT_YUV420P, w, h)) << conv.ConversionError();

    auto Y = [&](int x, int y) { return int(frame->data[0][y * frame->linesize[0] + x]); };
    auto U = [&](int x, int y) { return int(frame->data[1][y * frame->linesize[1] + x]); };
    auto V = [&](int x, int y) { return int(frame->data[2][y * frame->linesize[2] + x]); };
    // Red in limited-range BT.601: Y 81, U 90, V 240.
    EXPECT_NEAR(Y(6, 6), 81, 4);
    EXPECT_NEAR(U(3, 3), 90, 5);
    EXPECT_NEAR(V(3, 3), 240, 5);
    // Away from the square the picture stays grey.
    EXPECT_NEAR(Y(48, 40), 128, 2);
    EXPECT_NEAR(U(24, 20), 128, 2);
    EXPECT_NEAR(V(24, 20), 128, 2);
}

TEST_F(ConverterTest, SetBitsPixelTable) {
    struct TRow {
        int value;
        TPixelFormat pixel_format;
        int bits;
        AVPixelFormat pix_fmt;
    } rows[] = {
        {8, pf8bit, 8, AV_PIX_FMT_BGR8},        {15, pf15bit, 16, AV_PIX_FMT_BGR555LE},
        {16, pf16bit, 16, AV_PIX_FMT_BGR565LE}, {32, pf32bit, 32, AV_PIX_FMT_BGRA},
        {24, pf24bit, 24, AV_PIX_FMT_BGR24},
    };
    TFormatConverter conv;
    EXPECT_EQ(conv.BitsPixel(), 24);
    EXPECT_EQ(conv.PixFmt(), AV_PIX_FMT_BGR24);
    EXPECT_EQ(conv.ScaleFlags, SWS_BICUBIC);
    for (const TRow& r : rows) {
        conv.SetBitsPixel(r.value);
        EXPECT_EQ(conv.PixelFormat(), r.pixel_format) << "value " << r.value;
        EXPECT_EQ(conv.BitsPixel(), r.bits) << "value " << r.value;
        EXPECT_EQ(conv.PixFmt(), r.pix_fmt) << "value " << r.value;
        EXPECT_EQ(conv.Bitmap().PixelFormat(), r.pixel_format) << "value " << r.value;
    }
}

TEST_F(ConverterTest, InvalidBitsPixelRaisesAndChangesNothing) {
    TFormatConverter conv;
    conv.SetBitsPixel(32);
    TFramePtr frame = MakeFrame(AV_PIX_FMT_BGRA, 16, 16);
    ASSERT_TRUE(frame);
    ASSERT_TRUE(conv.ToRGB(frame.get(), AV_PIX_FMT_BGRA, 16, 16, false));
    for (int bad : {12, 0, -24, 64}) {
        try {
            conv.SetBitsPixel(bad);
            ADD_FAILURE() << bad << ": no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), Format("Invalid BitsPixel %d", bad));
        }
        EXPECT_EQ(conv.BitsPixel(), 32);
        EXPECT_EQ(conv.PixFmt(), AV_PIX_FMT_BGRA);
        EXPECT_EQ(conv.PixelFormat(), pf32bit);
        EXPECT_EQ(conv.CurrentPicture(), frame.get()) << bad;
        EXPECT_EQ(conv.ConversionError(), "");
    }
    conv.SetBitsPixel(24); // a new value drops the current picture
    EXPECT_EQ(conv.CurrentPicture(), nullptr);
}

TEST_F(ConverterTest, FailuresAreReportedNotRaised) {
    TFormatConverter conv;
    TFramePtr frame = MakeFrame(AV_PIX_FMT_BGR24, 32, 32);
    ASSERT_TRUE(frame);
    // Formats the scaler cannot take: a number outside the enum, a hardware format.
    for (int bad : {int(AV_PIX_FMT_NB) + 5, int(AV_PIX_FMT_VAAPI)}) {
        ASSERT_TRUE(conv.ToRGB(frame.get(), AV_PIX_FMT_BGR24, 31, 32, true));
        EXPECT_FALSE(conv.ToRGB(frame.get(), bad, 31, 32, true)) << bad;
        EXPECT_EQ(conv.ConversionError(), "Cannot initialize the toRGB conversion context");
        EXPECT_EQ(conv.CurrentPicture(), nullptr) << bad;

        ASSERT_TRUE(conv.ToRGB(frame.get(), AV_PIX_FMT_BGR24, 31, 32, true));
        EXPECT_FALSE(conv.FromRGB(frame.get(), bad, 31, 32)) << bad;
        EXPECT_EQ(conv.ConversionError(), "Cannot initialize the fromRGB conversion context");
    }
    // The converter keeps working after a failure.
    EXPECT_TRUE(conv.FromRGB(frame.get(), AV_PIX_FMT_BGR24, 31, 32)) << conv.ConversionError();
}

} // namespace
