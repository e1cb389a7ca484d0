// Cutting a box out of a volume and comparing a filter's result on the box with its result on
// the whole volume: the tools of the reach tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "common/volume.h"

namespace volnlm::testvol {

struct Box {
  int32_t lo[3] = {0, 0, 0};  // first voxel along x, y, z
  int32_t hi[3] = {0, 0, 0};  // one past the last
  Extents extents() const { return Extents{hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]}; }
};

template <class T>
std::vector<T> cut(const std::vector<T>& v, const Extents& e, const Box& b) {
  const Extents c = b.extents();
  std::vector<T> out(static_cast<size_t>(voxel_count(c)));
  for (int32_t z = 0; z < c.d2; ++z)
    for (int32_t y = 0; y < c.d1; ++y)
      for (int32_t x = 0; x < c.d0; ++x)
        out[linear_index(x, y, z, c.d0, c.d1)] =
            v[linear_index(x + b.lo[0], y + b.lo[1], z + b.lo[2], e.d0, e.d1)];
  return out;
}

// The interior [lo, hi) of the whole volume, with `halo` voxels added along `axis` on both sides.
inline Box with_halo(const Box& interior, int axis, int32_t halo) {
  Box b = interior;
  b.lo[axis] -= halo;
  b.hi[axis] += halo;
  return b;
}

// Number of voxels of `interior` where the result on `chunk` (a box holding `interior`) differs
// from the whole volume's result: in its bits when `tolerance` is 0, else by more than
// `tolerance` times the larger magnitude (NaN equals NaN).
template <class T>
int64_t interior_differences(const std::vector<T>& whole, const Extents& e,
                             const std::vector<T>& on_chunk, const Box& chunk, const Box& interior,
                             double tolerance = 0.0) {
  const Extents c = chunk.extents();
  int64_t differ = 0;
  for (int32_t z = interior.lo[2]; z < interior.hi[2]; ++z)
    for (int32_t y = interior.lo[1]; y < interior.hi[1]; ++y)
      for (int32_t x = interior.lo[0]; x < interior.hi[0]; ++x) {
        const T a = whole[linear_index(x, y, z, e.d0, e.d1)];
        const T b =
            on_chunk[linear_index(x - chunk.lo[0], y - chunk.lo[1], z - chunk.lo[2], c.d0, c.d1)];
        if (a == b || (a != a && b != b)) continue;
        const double scale = std::max(std::fabs(double{a}), std::fabs(double{b}));
        if (tolerance == 0.0 || !(std::fabs(double{a} - double{b}) <= tolerance * scale)) ++differ;
      }
  return differ;
}

}  // namespace volnlm::testvol
