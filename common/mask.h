// Byte masks over a volume (one byte per voxel, x fastest, nonzero = inside) and their
// dilation by boxes of offsets, separable along the three axes, in time linear in the voxel
// count whatever the box's size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/volume.h"

namespace volnlm {

// Number of voxels inside the mask.
inline int64_t mask_count(const uint8_t* mask, int64_t n) {
  int64_t inside = 0;
  for (int64_t i = 0; i < n; ++i) inside += mask[i] != 0 ? 1 : 0;
  return inside;
}

// The elements lo .. hi - 1 of a run of `n` bytes that hold all its nonzero ones, as tight as
// possible; lo = hi = n when there is none.
struct Span {
  int32_t lo = 0, hi = 0;
};
inline Span nonzero_span(const uint8_t* bytes, int32_t n) {
  int32_t lo = 0;
  while (lo < n && bytes[lo] == 0) ++lo;
  if (lo == n) return Span{n, n};
  int32_t hi = n;
  while (bytes[hi - 1] == 0) --hi;
  return Span{lo, hi};
}

// Spans of the lines of a volume (d1 * d2 lines of d0 voxels, line (y, z) at z * d1 + y): for
// each line, the smallest span that holds the spans of every line within `radius` of it along y
// and z, widened by `radius` on both sides and kept within 0 .. d0; so a span per line that
// holds the mask dilated by a cube of half-width `radius` when `spans` held the mask. An empty
// span (lo >= hi) stays empty unless a neighbour's is not. Throws std::bad_alloc.
inline std::vector<Span> widened_spans(const std::vector<Span>& spans, int32_t d0, int32_t d1,
                                       int32_t d2, int32_t radius) {
  const auto hull = [](Span& into, const Span& add) {
    if (add.lo >= add.hi) return;
    if (into.lo >= into.hi) {
      into = add;
    } else {
      into.lo = std::min(into.lo, add.lo);
      into.hi = std::max(into.hi, add.hi);
    }
  };
  const int64_t r = std::max(radius, 0);
  std::vector<Span> along_y(spans.size(), Span{d0, d0});
  for (int64_t z = 0; z < d2; ++z) {
    for (int64_t y = 0; y < d1; ++y) {
      Span& to = along_y[z * d1 + y];
      for (int64_t k = std::max<int64_t>(0, y - r); k <= std::min<int64_t>(d1 - 1, y + r); ++k) {
        hull(to, spans[z * d1 + k]);
      }
    }
  }
  std::vector<Span> out(spans.size(), Span{d0, d0});
  for (int64_t z = 0; z < d2; ++z) {
    for (int64_t y = 0; y < d1; ++y) {
      Span& to = out[z * d1 + y];
      for (int64_t k = std::max<int64_t>(0, z - r); k <= std::min<int64_t>(d2 - 1, z + r); ++k) {
        hull(to, along_y[k * d1 + y]);
      }
      if (to.lo < to.hi) {
        to.lo = static_cast<int32_t>(std::max<int64_t>(0, to.lo - r));
        to.hi = static_cast<int32_t>(std::min<int64_t>(d0, to.hi + r));
      }
    }
  }
  return out;
}

namespace mask_detail {

// One axis of a box dilation: out[i] = 1 when any of in[i + k * stride], k = lo .. hi, inside
// the `length` steps of the axis, is nonzero, else 0; for `lines` lines of `width` neighbouring
// elements each (the axis' stride is `width` for all but the x axis, where it is 1 and width 1).
// A window count slides along the axis, so the cost does not grow with the box.
inline void dilate_axis(const uint8_t* in, uint8_t* out, int64_t lines, int64_t line_step,
                        int32_t length, int64_t stride, int64_t width, int64_t lo, int64_t hi,
                        std::vector<int32_t>& count) {
  count.assign(static_cast<size_t>(width), 0);
  for (int64_t l = 0; l < lines; ++l) {
    const uint8_t* src = in + l * line_step;
    uint8_t* dst = out + l * line_step;
    std::fill(count.begin(), count.end(), 0);
    // The window of position 0 is [lo, hi]; positions past the axis add nothing.
    for (int64_t k = std::max<int64_t>(lo, 0); k <= std::min<int64_t>(hi, length - 1); ++k) {
      for (int64_t j = 0; j < width; ++j) count[j] += src[k * stride + j] != 0;
    }
    for (int64_t i = 0; i < length; ++i) {
      for (int64_t j = 0; j < width; ++j) dst[i * stride + j] = count[j] > 0;
      const int64_t leaving = i + lo, entering = i + 1 + hi;
      if (leaving >= 0 && leaving < length) {
        for (int64_t j = 0; j < width; ++j) count[j] -= src[leaving * stride + j] != 0;
      }
      if (entering >= 0 && entering < length) {
        for (int64_t j = 0; j < width; ++j) count[j] += src[entering * stride + j] != 0;
      }
    }
  }
}

}  // namespace mask_detail

// out(c) = 1 when in(c + k) is nonzero for some offset k with lo[a] <= k[a] <= hi[a] on every
// axis a (0 = x, 1 = y, 2 = z) and c + k inside the volume, else 0. An axis with lo > hi gives an
// empty mask. `out` may be `in`. Throws std::bad_alloc when its scratch cannot be had.
inline void dilate_box(const uint8_t* in, const Extents& e, const int32_t lo[3],
                       const int32_t hi[3], uint8_t* out) {
  const int64_t d0 = e.d0, d1 = e.d1, d2 = e.d2;
  const int64_t n = d0 * d1 * d2;
  if (n <= 0) return;
  if (lo[0] > hi[0] || lo[1] > hi[1] || lo[2] > hi[2]) {
    std::fill(out, out + n, uint8_t{0});
    return;
  }
  std::vector<uint8_t> scratch(static_cast<size_t>(n));
  std::vector<int32_t> count;
  // x: d1 * d2 lines of one element each; y: per slice, d0 columns at once; z: d0 * d1 at once.
  mask_detail::dilate_axis(in, scratch.data(), d1 * d2, d0, e.d0, 1, 1, lo[0], hi[0], count);
  mask_detail::dilate_axis(scratch.data(), out, d2, d0 * d1, e.d1, d0, d0, lo[1], hi[1], count);
  std::copy(out, out + n, scratch.data());
  mask_detail::dilate_axis(scratch.data(), out, 1, n, e.d2, d0 * d1, d0 * d1, lo[2], hi[2], count);
}

// Dilation by a cube of half-width `radius` (Chebyshev distance); radius 0 makes a 0/1 copy.
inline void dilate(const uint8_t* in, const Extents& e, int32_t radius, uint8_t* out) {
  const int32_t lo[3] = {-radius, -radius, -radius};
  const int32_t hi[3] = {radius, radius, radius};
  dilate_box(in, e, lo, hi, out);
}

}  // namespace volnlm
