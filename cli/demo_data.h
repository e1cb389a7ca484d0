// Ground truth, noise and scores for the demo: a built-in phantom, seeded Rician noise, central
// crops and the peak signal-to-noise ratio over a mask.
#pragma once

#include <cstdint>
#include <vector>

#include "common/volume.h"

namespace volnlm::cli {

// Largest value of the phantom.
inline constexpr double kPhantomMax = 255.0;

// A brain-like phantom of the given extents: a dim outer shell, grey matter around a white
// matter core with a folded border, two dark ventricles, small bright spots and a set of thin
// stripes to show what the filters do to fine detail. Background is 0, everything else
// positive; the values range over [0, kPhantomMax].
std::vector<double> make_phantom(const Extents& extents);

// Rician noise of standard deviation `sigma` per component: each voxel becomes
// sqrt((v + n1)^2 + n2^2) with n1, n2 independent normal samples. The samples come from a
// 64-bit Mersenne Twister seeded with `seed` and the Box-Muller transform, so a seed gives the
// same noise on every machine and library.
std::vector<double> add_rician_noise(const std::vector<double>& clean, double sigma, uint64_t seed);

// 10 log10(peak^2 / mean squared error) over the voxels where mask is nonzero (every voxel when
// mask is empty); +infinity when the two agree exactly, NaN when the mask is empty.
double psnr(const std::vector<double>& reference, const std::vector<double>& test,
            const std::vector<uint8_t>& mask, double peak);

// The central sub-volume of `size` (clamped to the extents) and where it starts.
struct Crop {
  Extents offset;
  Extents extents;
};
Crop central_crop(const Extents& extents, const Extents& size);

// The voxels of `crop` out of `volume` of `extents`, x fastest.
template <class T>
std::vector<T> crop_volume(const std::vector<T>& volume, const Extents& extents, const Crop& crop) {
  std::vector<T> out(static_cast<size_t>(voxel_count(crop.extents)));
  size_t k = 0;
  for (int32_t z = 0; z < crop.extents.d2; ++z) {
    for (int32_t y = 0; y < crop.extents.d1; ++y) {
      for (int32_t x = 0; x < crop.extents.d0; ++x) {
        out[k++] = volume[static_cast<size_t>(linear_index(
            x + crop.offset.d0, y + crop.offset.d1, z + crop.offset.d2, extents.d0, extents.d1))];
      }
    }
  }
  return out;
}

}  // namespace volnlm::cli
