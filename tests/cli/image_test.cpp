#include "cli/image.h"

#include <gtest/gtest.h>

#include <set>

#include "cli/errors.h"
#include "cli/font.h"
#include "fixture.h"

namespace volnlm::cli {
namespace {

std::string bitmap_of(char c) {
  std::string bits;
  for (int y = 0; y < kGlyphHeight; ++y) {
    for (int x = 0; x < kGlyphWidth; ++x) bits += glyph_pixel(c, x, y) ? '#' : '.';
  }
  return bits;
}

// A glyph pasted twice by mistake would make two characters look alike.
TEST(Font, EveryCharacterLooksDifferent) {
  std::set<std::string> seen;
  int glyphs = 0;
  for (int c = 32; c < 127; ++c) {
    if (!has_glyph(static_cast<char>(c))) continue;
    ++glyphs;
    EXPECT_TRUE(seen.insert(bitmap_of(static_cast<char>(c))).second)
        << "'" << static_cast<char>(c) << "'";
  }
  EXPECT_GE(glyphs, 26 + 26 + 10 + 10);  // both cases, digits and the punctuation of titles
  for (char c : std::string("Guided residual 3% 40.0 dB (+-)")) EXPECT_TRUE(has_glyph(c)) << c;
  EXPECT_EQ(bitmap_of(' '), std::string(kGlyphWidth * kGlyphHeight, '.'));
  // A character without a glyph shows a box, not nothing.
  EXPECT_FALSE(has_glyph('~'));
  EXPECT_NE(bitmap_of('~'), bitmap_of(' '));
}

TEST(DrawText, ScalesGlyphsAndAdvances) {
  GrayImage image(40, 30, 0);
  draw_text(image, 3, 2, "Lx", 2, 200);
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 40; ++x) {
      const int gx = x - 3, gy = y - 2;
      const int ch = gx / (kGlyphAdvance * 2);  // which character's cell
      const int cx = (gx - ch * kGlyphAdvance * 2) / 2, cy = gy / 2;
      const bool on = gx >= 0 && gy >= 0 && ch < 2 && glyph_pixel("Lx"[ch], cx, cy);
      ASSERT_EQ(image.at(x, y), on ? 200 : 0) << x << "," << y;
    }
  }
  EXPECT_EQ(text_width("Lx", 2), 2 * 12 - 2);
  EXPECT_EQ(text_width("", 3), 0);
  EXPECT_EQ(text_height(3), 27);
  // Text running off the image is clipped, not written past its pixels.
  draw_text(image, 35, 25, "WWW", 3, 255);
}

TEST(Png, RoundTripsGreyPixelsAndLeavesNothingOnFailure) {
  testing::ScratchDir dir;
  GrayImage image(37, 21, 0);
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x)
      image.set(x, y, static_cast<uint8_t>((x * 7 + y * 13) % 256));
  }
  write_png(dir.file("figure.png"), image);
  const GrayImage back = read_png(dir.file("figure.png"));
  EXPECT_EQ(back.width, 37);
  EXPECT_EQ(back.height, 21);
  EXPECT_EQ(back.pixels, image.pixels);
  EXPECT_THROW(write_png(dir.file("missing/figure.png"), image), RunError);
  EXPECT_THROW(read_png(dir.file("nothing.png")), RunError);
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"figure.png"});
}

}  // namespace
}  // namespace volnlm::cli
