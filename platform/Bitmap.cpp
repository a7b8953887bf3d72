#include "platform/Bitmap.h"

#include <algorithm>
#include <cstdint>

int PixelFormatBits(TPixelFormat pf) {
    switch (pf) {
    case pf8bit:
        return 8;
    case pf15bit:
    case pf16bit:
        return 16;
    case pf24bit:
        return 24;
    case pf32bit:
        return 32;
    }
    return 24;
}

TBitmap::TBitmap(int width, int height, TPixelFormat pf) {
    Reallocate(width, height, pf);
}

void TBitmap::SetSize(int width, int height) {
    if (std::max(width, 0) == width_ && std::max(height, 0) == height_) return;
    Reallocate(width, height, pf_);
}

void TBitmap::SetPixelFormat(TPixelFormat pf) {
    if (pf == pf_) return;
    Reallocate(width_, height_, pf);
}

// Commits the new layout only once the zeroed pixels exist, so a failed allocation leaves
// the bitmap as it was.
void TBitmap::Reallocate(int width, int height, TPixelFormat pf) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    const int64_t row = (int64_t(width) * PixelFormatBits(pf) + 31) / 32 * 4;
    if (row > INT32_MAX) throw Exception(Format("Bitmap width %d too large", width));
    std::vector<uint8_t> fresh(static_cast<size_t>(row) * static_cast<size_t>(height), 0);
    pixels_.swap(fresh);
    width_ = width;
    height_ = height;
    pf_ = pf;
    row_bytes_ = static_cast<int>(row);
}

uint8_t* TBitmap::ScanLine(int row) {
    if (row < 0 || row >= height_)
        throw EListError(Format("Scan line index out of range (%d)", row));
    return pixels_.data() + static_cast<size_t>(row) * static_cast<size_t>(row_bytes_);
}

const uint8_t* TBitmap::ScanLine(int row) const {
    return const_cast<TBitmap*>(this)->ScanLine(row);
}
