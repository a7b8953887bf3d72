// Decoded picture <-> RGB bitmap for the picture hooks.
//
// ToRGB mirrors a picture of any pixel format in `Bitmap()`: directly when the picture already
// has the bitmap's layout (no buffer, no scaler), otherwise through one reused conversion
// buffer and a cached scaler context. After the handler drew on the bitmap, CopyFromBitmap
// writes it back into the mirrored picture and, when that picture is `RGBPictureAddress()`,
// FromRGB converts it into the caller's picture.
//
// Not thread-safe: one thread at a time. Needs avutil and swscale loaded for conversions.
// Failures are reported by result and `ConversionError()`, never raised (except
// SetBitsPixel's invalid value).
#pragma once

#include "platform/Bitmap.h"
#include "platform/SysUtils.h"

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

struct SwsContext;

class TFormatConverter : public TObject {
  public:
    // 24-bit state (BGR24), empty bitmap, bicubic scaling.
    TFormatConverter();
    // Frees the buffer and both scaler contexts.
    ~TFormatConverter() override;
    TFormatConverter(const TFormatConverter&) = delete;
    TFormatConverter& operator=(const TFormatConverter&) = delete;

    // 8, 15, 16, 24 or 32; anything else raises Exception("Invalid BitsPixel %d") and changes
    // nothing. A new value drops the current picture.
    void SetBitsPixel(int value);
    int BitsPixel() const { return bits_pixel_; }
    AVPixelFormat PixFmt() const { return pix_fmt_; }
    TPixelFormat PixelFormat() const { return pixel_format_; }

    // Mirrors `picture` (pixel format `pix_fmt`, width x height) as RGB; copies it into the
    // bitmap when `copy`. `picture` must stay valid while CurrentPicture() refers to it.
    bool ToRGB(AVFrame* picture, int pix_fmt, int width, int height, bool copy);
    // CurrentPicture() -> Bitmap() and back; nothing happens without a current picture.
    void CopyToBitmap();
    void CopyFromBitmap();
    // CurrentPicture() converted into `picture` (pixel format `pix_fmt`, width x height).
    bool FromRGB(AVFrame* picture, int pix_fmt, int width, int height);

    // The converter's own RGB picture, laid over the conversion buffer. Only its data and
    // linesize (and width, height, format) are used: it is not reference-counted and must
    // never be handed to av_frame_* functions.
    AVFrame* RGBPictureAddress() { return &rgb_picture_; }
    // The picture the bitmap mirrors: RGBPictureAddress(), the caller's picture (no
    // conversion was needed), or null after a failure or a reset.
    AVFrame* CurrentPicture() const { return current_picture_; }

    TBitmap& Bitmap() { return bitmap_; }
    const std::string& ConversionError() const { return conversion_error_; }

    // Scaler flags for both directions (SWS_BICUBIC unless the owner sets them).
    int ScaleFlags;

    // The reused state, for owners that report on it.
    const uint8_t* Buffer() const { return buffer_; }
    int BufferSize() const { return buffer_size_; }
    SwsContext* ToRGBContext() const { return to_rgb_context_; }
    SwsContext* FromRGBContext() const { return from_rgb_context_; }

  private:
    // What a cached scaler context was made for.
    struct TScaleKey {
        int width = 0, height = 0, src = -1, dst = -1, flags = 0;
        bool operator==(const TScaleKey&) const = default;
    };
    void ResetRGBPicture();
    static SwsContext* CachedContext(SwsContext* ctx, TScaleKey& made_for, const TScaleKey& key);

    AVPixelFormat pix_fmt_ = AV_PIX_FMT_BGR24;
    int bits_pixel_ = 24;
    TBitmap bitmap_;
    TPixelFormat pixel_format_ = pf24bit;
    uint8_t* buffer_ = nullptr; // av_malloc'ed; grows, never shrinks
    int buffer_size_ = 0;
    AVFrame rgb_picture_{};
    AVFrame* current_picture_ = nullptr;
    SwsContext* to_rgb_context_ = nullptr;
    SwsContext* from_rgb_context_ = nullptr;
    TScaleKey to_rgb_key_, from_rgb_key_;
    std::string conversion_error_;
};
