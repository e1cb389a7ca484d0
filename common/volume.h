// Volume layout shared by both filters: column-major voxels, x fastest, signed 32-bit extents
// and indices, and the border rule used where a neighbourhood reaches past the volume.
#pragma once

#include <cstdint>
#include <optional>

namespace volnlm {

// Extents of a volume: d0 voxels per line (fastest), d1 lines per slice, d2 slices.
struct Extents {
  int32_t d0 = 0;
  int32_t d1 = 0;
  int32_t d2 = 0;
};

// Largest voxel count the signed 32-bit indexing can address.
inline constexpr int64_t kMaxVoxels = INT32_MAX;

// Number of voxels of the given extents, or nothing when a count is negative or the product
// exceeds what signed 32-bit linear indices can reach.
inline std::optional<int32_t> voxel_count(int64_t d0, int64_t d1, int64_t d2) {
  if (d0 < 0 || d1 < 0 || d2 < 0) return std::nullopt;
  if (d0 == 0 || d1 == 0 || d2 == 0) return 0;
  if (d0 > kMaxVoxels || d1 > kMaxVoxels / d0) return std::nullopt;
  const int64_t plane = d0 * d1;
  if (d2 > kMaxVoxels / plane) return std::nullopt;
  return static_cast<int32_t>(plane * d2);
}

// Extents that passed the checks index within 32 bits, but an empty volume may still have other
// extents whose product does not: it holds no voxels whatever they are.
inline int32_t voxel_count(const Extents& e) {
  if (e.d0 == 0 || e.d1 == 0 || e.d2 == 0) return 0;
  return static_cast<int32_t>(int64_t{e.d0} * e.d1 * e.d2);
}

// Linear index of voxel (x, y, z) in a volume whose lines hold d0 voxels and slices d1 lines.
inline int32_t linear_index(int32_t x, int32_t y, int32_t z, int32_t d0, int32_t d1) {
  return x + d0 * (y + d1 * z);
}

// Border rule for coordinate v on an axis of extent n. Below the volume the border voxel is
// not repeated (-1 maps to 1, or to 0 when n = 1); above it, it is (n maps to n - 1).
// Stays inside the volume for |v| <= 2n - 1.
inline int32_t mirror_index(int32_t v, int32_t n) {
  const int32_t a = v < 0 ? -v : v;
  return a < n ? a : 2 * n - a - 1;
}

}  // namespace volnlm
