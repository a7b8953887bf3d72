#include "src/FormatConverter.h"

#include "src/FFLoad.h"
#include "src/FFUtils.h"

#include <cstring>

namespace {

struct TBitsPixelRow {
    int value;
    TPixelFormat pixel_format;
    int bits_stored;
    AVPixelFormat pix_fmt;
};

constexpr TBitsPixelRow kBitsPixelTable[] = {
    {8, pf8bit, 8, AV_PIX_FMT_BGR8},        {15, pf15bit, 16, AV_PIX_FMT_BGR555LE},
    {16, pf16bit, 16, AV_PIX_FMT_BGR565LE}, {24, pf24bit, 24, AV_PIX_FMT_BGR24},
    {32, pf32bit, 32, AV_PIX_FMT_BGRA},
};

// Row size of the bitmap: rows padded to 32 bits.
int BytesPerScanline(int width, int bits, int alignment_bits) {
    return int((int64_t(width) * bits + alignment_bits - 1) / alignment_bits *
               (alignment_bits / 8));
}

// Alignment of the conversion buffer's rows; the scaler works fastest on aligned rows.
constexpr int kBufferAlign = 32;

} // namespace

TFormatConverter::TFormatConverter() : ScaleFlags(SWS_BICUBIC) {
    bitmap_.SetPixelFormat(pixel_format_);
}

TFormatConverter::~TFormatConverter() {
    // The buffer and the contexts only exist when the libraries were loaded to make them.
    if (buffer_) ff::av_free(buffer_);
    if (to_rgb_context_) ff::sws_freeContext(to_rgb_context_);
    if (from_rgb_context_) ff::sws_freeContext(from_rgb_context_);
}

// The scaler aborts the process on some formats it cannot handle (numbers outside the enum,
// hardware formats) instead of refusing them, so they are refused here first. A context is
// reused whenever it was made for the same request: the scaler's own cache compares against
// flags it may have adjusted itself (odd widths into RGB force full chroma interpolation), so
// it would otherwise make a new context for every picture of such a size.
SwsContext* TFormatConverter::CachedContext(SwsContext* ctx, TScaleKey& made_for,
                                            const TScaleKey& key) {
    if (ctx && made_for == key) return ctx;
    made_for = TScaleKey{};
    if (!ff::sws_isSupportedInput(AVPixelFormat(key.src)) ||
        !ff::sws_isSupportedOutput(AVPixelFormat(key.dst))) {
        ff::sws_freeContext(ctx);
        return nullptr;
    }
    ctx = ff::sws_getCachedContext(ctx, key.width, key.height, AVPixelFormat(key.src), key.width,
                                   key.height, AVPixelFormat(key.dst), key.flags, nullptr, nullptr,
                                   nullptr);
    if (ctx) made_for = key;
    return ctx;
}

void TFormatConverter::ResetRGBPicture() {
    std::memset(rgb_picture_.data, 0, sizeof rgb_picture_.data);
    std::memset(rgb_picture_.linesize, 0, sizeof rgb_picture_.linesize);
    rgb_picture_.width = rgb_picture_.height = 0;
    rgb_picture_.format = AV_PIX_FMT_NONE;
}

void TFormatConverter::SetBitsPixel(int value) {
    const TBitsPixelRow* row = nullptr;
    for (const TBitsPixelRow& r : kBitsPixelTable)
        if (r.value == value) row = &r;
    if (!row) throw Exception(Format("Invalid BitsPixel %d", value));
    // Compared by pixel format, not by stored bits: 15 and 16 both store 16 bits, and asking
    // for 16 after 15 must still switch from 555 to 565.
    if (row->pixel_format == pixel_format_) return;
    ResetRGBPicture();
    current_picture_ = nullptr;
    pixel_format_ = row->pixel_format;
    bits_pixel_ = row->bits_stored;
    pix_fmt_ = row->pix_fmt;
    bitmap_.SetPixelFormat(pixel_format_);
}

bool TFormatConverter::ToRGB(AVFrame* picture, int pix_fmt, int width, int height, bool copy) {
    bitmap_.SetSize(width, height);

    AVFrame* mirror = picture;
    const bool direct = pix_fmt == pix_fmt_ && width % 2 == 0 && height % 2 == 0 &&
                        picture->linesize[0] == BytesPerScanline(width, bits_pixel_, 32);
    if (!direct) {
        const int size = ff::av_image_get_buffer_size(pix_fmt_, width, height, kBufferAlign);
        if (size > 0 && (!buffer_ || buffer_size_ < size)) {
            if (buffer_) ff::av_free(buffer_);
            buffer_ = static_cast<uint8_t*>(ff::av_malloc(size_t(size)));
            buffer_size_ = buffer_ ? size : 0;
        }
        if (size <= 0 || !buffer_) {
            current_picture_ = nullptr;
            conversion_error_ = size <= 0 ? "Cannot initialize the toRGB conversion context"
                                          : "Cannot allocate the toRGB conversion buffer";
            return false;
        }
        ff::av_image_fill_arrays(rgb_picture_.data, rgb_picture_.linesize, buffer_, pix_fmt_, width,
                                 height, kBufferAlign);
        rgb_picture_.width = width;
        rgb_picture_.height = height;
        rgb_picture_.format = pix_fmt_;

        to_rgb_context_ = CachedContext(to_rgb_context_, to_rgb_key_,
                                        {width, height, pix_fmt, pix_fmt_, ScaleFlags});
        if (!to_rgb_context_) {
            current_picture_ = nullptr;
            conversion_error_ = "Cannot initialize the toRGB conversion context";
            return false;
        }
        const int ret = ff::sws_scale(to_rgb_context_, picture->data, picture->linesize, 0, height,
                                      rgb_picture_.data, rgb_picture_.linesize);
        if (ret < 0) {
            current_picture_ = nullptr;
            conversion_error_ = error_text("Cannot convert the picture to RGB", ret);
            return false;
        }
        mirror = &rgb_picture_;
    }

    current_picture_ = mirror;
    if (copy) CopyToBitmap();
    return true;
}

void TFormatConverter::CopyToBitmap() {
    if (!current_picture_) return;
    const size_t bytes = size_t(bitmap_.Width()) * size_t(bits_pixel_) / 8;
    for (int y = 0; y < bitmap_.Height(); ++y)
        std::memcpy(bitmap_.ScanLine(y),
                    current_picture_->data[0] + ptrdiff_t(y) * current_picture_->linesize[0],
                    bytes);
}

void TFormatConverter::CopyFromBitmap() {
    if (!current_picture_) return;
    const size_t bytes = size_t(bitmap_.Width()) * size_t(bits_pixel_) / 8;
    for (int y = 0; y < bitmap_.Height(); ++y)
        std::memcpy(current_picture_->data[0] + ptrdiff_t(y) * current_picture_->linesize[0],
                    bitmap_.ScanLine(y), bytes);
}

bool TFormatConverter::FromRGB(AVFrame* picture, int pix_fmt, int width, int height) {
    if (!current_picture_) {
        conversion_error_ = "No RGB picture to convert from";
        return false;
    }
    from_rgb_context_ = CachedContext(from_rgb_context_, from_rgb_key_,
                                      {width, height, pix_fmt_, pix_fmt, ScaleFlags});
    if (!from_rgb_context_) {
        conversion_error_ = "Cannot initialize the fromRGB conversion context";
        return false;
    }
    const int ret =
        ff::sws_scale(from_rgb_context_, current_picture_->data, current_picture_->linesize, 0,
                      height, picture->data, picture->linesize);
    if (ret < 0) {
        conversion_error_ = error_text("Cannot convert the picture from RGB", ret);
        return false;
    }
    return true;
}
