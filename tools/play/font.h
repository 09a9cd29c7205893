// A tiny 5x7 bitmap font for the labels on the contact sheet and the window: digits, upper-case
// letters and the punctuation of recorder times and key names. Unknown characters draw as a
// hollow box.
#pragma once

#include <cstdint>
#include <string_view>

#include "picture.h"

namespace play {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;

struct Colour {
    uint8_t b, g, r;
};

// Width in pixels of text drawn at the given scale (one blank column between glyphs).
int TextWidth(std::string_view text, int scale);

// Draws text with its top-left corner at (x, y); pixels outside the picture are skipped.
void DrawText(Picture& canvas, int x, int y, std::string_view text, int scale, Colour colour);

// Fills a rectangle, clipped to the picture.
void FillRect(Picture& canvas, int x, int y, int w, int h, Colour colour);

}  // namespace play
