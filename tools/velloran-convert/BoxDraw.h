// Filled boxes blended onto hook bitmaps (24 or 32 bits per pixel, B,G,R byte order).
#pragma once

#include "platform/Bitmap.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TBox {
    int X = 0, Y = 0, W = 0, H = 0;
    uint8_t R = 0, G = 0, B = 0;
    int Alpha = 255;  // 0..255
};

// "X,Y,W,H,RRGGBB[,ALPHA]": X and Y may be negative, W and H are positive, the colour has six
// hexadecimal digits, ALPHA is 0..255. No value on any other text.
std::optional<TBox> ParseBox(const std::string& text);

// Each channel becomes ((256 - alpha) * destination + alpha * colour) >> 8, over the part of
// the box inside the bitmap. Bitmaps of other depths are left alone.
void DrawBox(TBitmap& bmp, const TBox& box);

inline void DrawBoxes(TBitmap& bmp, const std::vector<TBox>& boxes) {
    for (const TBox& b : boxes)
        DrawBox(bmp, b);
}
