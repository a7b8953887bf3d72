#include "BoxDraw.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool ParseInt(const std::string& s, long min, long max, int& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    out = int(v);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One row segment; `Stride` bytes per pixel, the first three B, G, R.
template <int Stride>
void BlendRows(TBitmap& bmp, int x0, int x1, int y0, int y1, const TBox& box) {
    const unsigned a = unsigned(box.Alpha);
    const unsigned inv = 256u - a;
    const unsigned sb = a * box.B, sg = a * box.G, sr = a * box.R;
    const int count = x1 - x0;
    for (int y = y0; y < y1; ++y) {
        uint8_t* p = bmp.ScanLine(y) + x0 * Stride;
        for (int i = 0; i < count; ++i, p += Stride) {
            p[0] = uint8_t((inv * p[0] + sb) >> 8);
            p[1] = uint8_t((inv * p[1] + sg) >> 8);
            p[2] = uint8_t((inv * p[2] + sr) >> 8);
        }
    }
}

}  // namespace

std::optional<TBox> ParseBox(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (parts.size() != 5 && parts.size() != 6) return std::nullopt;
    TBox b;
    constexpr long big = 1L << 30;
    if (!ParseInt(parts[0], -big, big, b.X) || !ParseInt(parts[1], -big, big, b.Y) ||
        !ParseInt(parts[2], 1, big, b.W) || !ParseInt(parts[3], 1, big, b.H))
        return std::nullopt;
    const std::string& c = parts[4];
    if (c.size() != 6) return std::nullopt;
    int v[6];
    for (int i = 0; i < 6; ++i)
        if ((v[i] = HexDigit(c[size_t(i)])) < 0) return std::nullopt;
    b.R = uint8_t(v[0] * 16 + v[1]);
    b.G = uint8_t(v[2] * 16 + v[3]);
    b.B = uint8_t(v[4] * 16 + v[5]);
    if (parts.size() == 6 && !ParseInt(parts[5], 0, 255, b.Alpha)) return std::nullopt;
    return b;
}

void DrawBox(TBitmap& bmp, const TBox& box) {
    // 64-bit arithmetic: X + W may exceed int.
    const int x0 = int(std::max<int64_t>(box.X, 0));
    const int y0 = int(std::max<int64_t>(box.Y, 0));
    const int x1 = int(std::min<int64_t>(int64_t(box.X) + box.W, bmp.Width()));
    const int y1 = int(std::min<int64_t>(int64_t(box.Y) + box.H, bmp.Height()));
    if (x0 >= x1 || y0 >= y1 || box.Alpha <= 0) return;
    switch (bmp.PixelFormat()) {
    case pf24bit:
        BlendRows<3>(bmp, x0, x1, y0, y1, box);
        break;
    case pf32bit:
        BlendRows<4>(bmp, x0, x1, y0, y1, box);
        break;
    default:
        break;
    }
}
