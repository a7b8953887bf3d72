#include "platform/Bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

bool AllZero(const TBitmap& b) {
    const uint8_t* p = b.Bits();
    return std::all_of(p, p + size_t(b.RowBytes()) * b.Height(), [](uint8_t v) { return v == 0; });
}

TEST(Bitmap, RowsArePaddedTo32BitsForEveryFormat) {
    struct Case {
        TPixelFormat pf;
        int width;
        int bits;
        int row_bytes;
    };
    const Case cases[] = {
        {pf8bit, 1, 8, 4},   {pf8bit, 3, 8, 4},    {pf8bit, 5, 8, 8},    {pf8bit, 7, 8, 8},
        {pf15bit, 1, 16, 4}, {pf15bit, 3, 16, 8},  {pf15bit, 5, 16, 12}, {pf15bit, 7, 16, 16},
        {pf16bit, 1, 16, 4}, {pf16bit, 3, 16, 8},  {pf16bit, 5, 16, 12}, {pf16bit, 7, 16, 16},
        {pf24bit, 1, 24, 4}, {pf24bit, 3, 24, 12}, {pf24bit, 5, 24, 16}, {pf24bit, 7, 24, 24},
        {pf32bit, 1, 32, 4}, {pf32bit, 3, 32, 12}, {pf32bit, 5, 32, 20}, {pf32bit, 7, 32, 28},
        {pf24bit, 0, 24, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "format " << c.pf << " width " << c.width);
        TBitmap b(c.width, 3, c.pf);
        EXPECT_EQ(b.BitsPerPixel(), c.bits);
        EXPECT_EQ(b.RowBytes(), c.row_bytes);
        EXPECT_EQ(b.ScanLine(1) - b.ScanLine(0), c.row_bytes);
        EXPECT_EQ(b.ScanLine(2) - b.ScanLine(0), 2 * c.row_bytes);
        EXPECT_EQ(b.ScanLine(0), b.Bits()); // top-down: row 0 first
        EXPECT_TRUE(AllZero(b));
    }
}

TEST(Bitmap, ChangingSizeOrFormatZeroesPixelsOtherwiseKeepsThem) {
    TBitmap b(5, 4, pf24bit);
    auto fill = [&] { std::memset(b.Bits(), 0xAB, size_t(b.RowBytes()) * b.Height()); };

    fill();
    b.SetSize(5, 4); // unchanged
    EXPECT_EQ(b.ScanLine(3)[0], 0xAB);
    b.SetPixelFormat(pf24bit); // unchanged
    EXPECT_EQ(b.ScanLine(3)[0], 0xAB);

    b.SetWidth(9);
    EXPECT_EQ(b.Width(), 9);
    EXPECT_EQ(b.RowBytes(), 28);
    EXPECT_TRUE(AllZero(b));

    fill();
    b.SetHeight(2);
    EXPECT_EQ(b.Height(), 2);
    EXPECT_TRUE(AllZero(b));

    fill();
    b.SetPixelFormat(pf32bit);
    EXPECT_EQ(b.RowBytes(), 36);
    EXPECT_TRUE(AllZero(b));
}

TEST(Bitmap, ScanLineOutsideTheRowsRaisesListError) {
    TBitmap b(4, 3, pf8bit);
    for (int row : {-1, 3, 100})
        EXPECT_THROW(b.ScanLine(row), EListError) << "row " << row;
    const TBitmap& cb = b;
    EXPECT_THROW(cb.ScanLine(3), EListError);
    EXPECT_NO_THROW(b.ScanLine(2));

    TBitmap empty;
    EXPECT_EQ(empty.Width(), 0);
    EXPECT_THROW(empty.ScanLine(0), EListError);

    TBitmap negative(-5, -2, pf32bit);
    EXPECT_EQ(negative.Width(), 0);
    EXPECT_EQ(negative.Height(), 0);
}

} // namespace
