// 8-bit grey images for the demo's figure: text in the built-in font, and PNG output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace volnlm::cli {

struct GrayImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> pixels;  // row by row, top row first

  GrayImage() = default;
  GrayImage(int32_t w, int32_t h, uint8_t fill)
      : width(w), height(h), pixels(size_t(w) * h, fill) {}
  // Pixel (x, y); writes outside the image are dropped.
  void set(int32_t x, int32_t y, uint8_t v) {
    if (x >= 0 && y >= 0 && x < width && y < height) pixels[size_t(y) * width + x] = v;
  }
  uint8_t at(int32_t x, int32_t y) const { return pixels[size_t(y) * width + x]; }
};

// Width and height in pixels of `text` drawn at `scale`.
int32_t text_width(std::string_view text, int32_t scale);
int32_t text_height(int32_t scale);

// Draws `text` with its top-left corner at (x, y), each font pixel a scale x scale square.
void draw_text(GrayImage& image, int32_t x, int32_t y, std::string_view text, int32_t scale,
               uint8_t value);

// Writes `image` as an 8-bit greyscale PNG; the file appears complete or not at all. Throws
// RunError on failure.
void write_png(const std::string& path, const GrayImage& image);

// Reads an 8-bit greyscale PNG (any PNG is converted to grey); throws RunError on failure.
GrayImage read_png(const std::string& path);

}  // namespace volnlm::cli
