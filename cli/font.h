// A small built-in bitmap font for the figure's titles: 5x7 capitals and digits in a 6x9 cell,
// lower case with descenders, and the punctuation that titles need.
#pragma once

#include <cstdint>
#include <string_view>

namespace volnlm::cli {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 9;  // 7 rows above the baseline, 2 for descenders
inline constexpr int kGlyphAdvance = 6;

// Whether pixel (x, y) of the glyph for `c` is set; characters without a glyph show a box.
bool glyph_pixel(char c, int x, int y);
// Whether the font has a glyph of its own for `c`.
bool has_glyph(char c);

}  // namespace volnlm::cli
