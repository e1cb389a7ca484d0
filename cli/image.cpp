#include "cli/image.h"

#include <png.h>

#include "cli/atomic_file.h"
#include "cli/errors.h"
#include "cli/font.h"

namespace volnlm::cli {

int32_t text_width(std::string_view text, int32_t scale) {
  if (text.empty()) return 0;
  return static_cast<int32_t>(text.size()) * kGlyphAdvance * scale -
         (kGlyphAdvance - kGlyphWidth) * scale;
}

int32_t text_height(int32_t scale) {
  return kGlyphHeight * scale;
}

void draw_text(GrayImage& image, int32_t x, int32_t y, std::string_view text, int32_t scale,
               uint8_t value) {
  for (size_t i = 0; i < text.size(); ++i) {
    const int32_t left = x + static_cast<int32_t>(i) * kGlyphAdvance * scale;
    for (int gy = 0; gy < kGlyphHeight; ++gy) {
      for (int gx = 0; gx < kGlyphWidth; ++gx) {
        if (!glyph_pixel(text[i], gx, gy)) continue;
        for (int32_t dy = 0; dy < scale; ++dy) {
          for (int32_t dx = 0; dx < scale; ++dx) {
            image.set(left + gx * scale + dx, y + gy * scale + dy, value);
          }
        }
      }
    }
  }
}

void write_png(const std::string& path, const GrayImage& image) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = PNG_FORMAT_GRAY;
  png_alloc_size_t size = 0;
  // First call sizes the encoded image, second call encodes it.
  if (!png_image_write_to_memory(&png, nullptr, &size, 0, image.pixels.data(), 0, nullptr)) {
    throw RunError("cannot encode " + path + ": " + png.message);
  }
  std::vector<unsigned char> encoded(size);
  if (!png_image_write_to_memory(&png, encoded.data(), &size, 0, image.pixels.data(), 0, nullptr)) {
    throw RunError("cannot encode " + path + ": " + png.message);
  }
  AtomicFile file(path);
  file.write_all(encoded.data(), size);
  file.commit();
}

GrayImage read_png(const std::string& path) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) {
    throw RunError("cannot read " + path + ": " + png.message);
  }
  png.format = PNG_FORMAT_GRAY;
  GrayImage image(static_cast<int32_t>(png.width), static_cast<int32_t>(png.height), 0);
  if (!png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr)) {
    png_image_free(&png);
    throw RunError("cannot read " + path + ": " + png.message);
  }
  return image;
}

}  // namespace volnlm::cli
