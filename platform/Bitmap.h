// Device-independent bitmap: top-down rows padded to 32 bits, zeroed pixels, a canvas lock.
// 24-bit rows are B,G,R bytes; 32-bit rows B,G,R,A; 15/16-bit little-endian 555/565; 8-bit
// one byte per pixel.
#pragma once

#include "platform/SyncObjs.h"
#include "platform/SysUtils.h"

#include <cstdint>
#include <vector>

enum TPixelFormat { pf8bit, pf15bit, pf16bit, pf24bit, pf32bit };

// Bits of storage per pixel: 8, 16 (also for pf15bit), 16, 24, 32.
int PixelFormatBits(TPixelFormat pf);

// The drawing surface's lock; other threads that draw on the same bitmap take it too.
class TCanvas {
  public:
    void Lock() { cs_.Enter(); }
    void Unlock() { cs_.Leave(); }
    bool TryLock() { return cs_.TryEnter(); }

  private:
    TCriticalSection cs_;
};

class TBitmap : public TObject {
  public:
    TBitmap() = default;
    // Negative sizes count as 0.
    TBitmap(int width, int height, TPixelFormat pf);

    int Width() const { return width_; }
    int Height() const { return height_; }
    TPixelFormat PixelFormat() const { return pf_; }
    int BitsPerPixel() const { return PixelFormatBits(pf_); }
    // Bytes per row, padded to a multiple of 4.
    int RowBytes() const { return row_bytes_; }

    // Changing size or format reallocates and zeroes the pixels (unchanged values keep them).
    void SetSize(int width, int height);
    void SetWidth(int width) { SetSize(width, height_); }
    void SetHeight(int height) { SetSize(width_, height); }
    void SetPixelFormat(TPixelFormat pf);

    // Row `row` (0 = top); raises EListError outside 0..Height-1.
    uint8_t* ScanLine(int row);
    const uint8_t* ScanLine(int row) const;
    uint8_t* Bits() { return pixels_.data(); }
    const uint8_t* Bits() const { return pixels_.data(); }

    TCanvas& Canvas() { return canvas_; }

  private:
    void Reallocate(int width, int height, TPixelFormat pf);

    int width_ = 0;
    int height_ = 0;
    TPixelFormat pf_ = pf24bit;
    int row_bytes_ = 0;
    std::vector<uint8_t> pixels_;
    TCanvas canvas_;
};
