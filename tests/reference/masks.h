// Seeded masks for the mask tests: blobs, single voxels, voxels on every face, planes thinner
// than a patch, sparse noise, and the empty and full masks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/volume.h"
#include "test_volumes.h"

namespace volnlm::testvol {

enum class MaskKind { blobs, single_voxels, every_face, thin_plane, sparse, empty, full };

inline std::string name_of(MaskKind k) {
  switch (k) {
    case MaskKind::blobs:
      return "blobs";
    case MaskKind::single_voxels:
      return "single_voxels";
    case MaskKind::every_face:
      return "every_face";
    case MaskKind::thin_plane:
      return "thin_plane";
    case MaskKind::sparse:
      return "sparse";
    case MaskKind::empty:
      return "empty";
    case MaskKind::full:
      return "full";
  }
  return "?";
}

inline const MaskKind kMaskKinds[] = {
    MaskKind::blobs,  MaskKind::single_voxels, MaskKind::every_face, MaskKind::thin_plane,
    MaskKind::sparse, MaskKind::empty,         MaskKind::full};

// A mask of the kind; its inside voxels hold assorted nonzero bytes, as a caller's mask may.
inline std::vector<uint8_t> make_mask(MaskKind kind, const Extents& e, uint64_t seed) {
  Rng rng(seed);
  const int32_t ext[3] = {e.d0, e.d1, e.d2};
  std::vector<uint8_t> m(static_cast<size_t>(voxel_count(e)), 0);
  const auto set = [&](int32_t x, int32_t y, int32_t z) {
    m[linear_index(x, y, z, e.d0, e.d1)] = static_cast<uint8_t>(1 + rng.below(255));
  };
  switch (kind) {
    case MaskKind::blobs:
      for (int b = 0; b < 2; ++b) {
        const int32_t c[3] = {rng.below(e.d0), rng.below(e.d1), rng.below(e.d2)};
        const double r = 1.0 + 2.5 * rng.uniform();
        for (int32_t z = 0; z < e.d2; ++z)
          for (int32_t y = 0; y < e.d1; ++y)
            for (int32_t x = 0; x < e.d0; ++x) {
              const double dx = x - c[0], dy = y - c[1], dz = z - c[2];
              if (dx * dx + dy * dy + dz * dz <= r * r) set(x, y, z);
            }
      }
      break;
    case MaskKind::single_voxels:
      for (int k = 0; k < 3; ++k) set(rng.below(e.d0), rng.below(e.d1), rng.below(e.d2));
      break;
    case MaskKind::every_face:
      for (int axis = 0; axis < 3; ++axis) {
        for (int32_t side : {0, ext[axis] - 1}) {
          int32_t c[3] = {rng.below(e.d0), rng.below(e.d1), rng.below(e.d2)};
          c[axis] = side;
          set(c[0], c[1], c[2]);
        }
      }
      break;
    case MaskKind::thin_plane: {
      const int axis = rng.below(3);
      const int32_t at = rng.below(ext[axis]);
      for (int32_t z = 0; z < e.d2; ++z)
        for (int32_t y = 0; y < e.d1; ++y)
          for (int32_t x = 0; x < e.d0; ++x) {
            const int32_t c[3] = {x, y, z};
            if (c[axis] == at && rng.below(3) != 0) set(x, y, z);
          }
      break;
    }
    case MaskKind::sparse:
      for (size_t i = 0; i < m.size(); ++i) {
        if (rng.below(20) == 0) m[i] = static_cast<uint8_t>(1 + rng.below(255));
      }
      break;
    case MaskKind::empty:
      break;
    case MaskKind::full:
      for (auto& v : m) v = static_cast<uint8_t>(1 + rng.below(255));
      break;
  }
  return m;
}

}  // namespace volnlm::testvol
