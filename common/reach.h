// How far each filter reaches from an output voxel: the largest Chebyshev distance (along any
// axis) from an output voxel u to an input voxel whose value can change u's result. Masks use it
// to know which work a masked voxel needs; chunked processing uses it as the halo a chunk must
// carry so that its interior comes out as in the whole volume.
#pragma once

#include <algorithm>
#include <cstdint>

namespace volnlm {

// blockdenoise. u is the mean of the block estimates of the centres c within p of u. A centre's
// estimate reads the local statistics of c and of every candidate n within R of c (noisy values
// within 1 of each), the patch distance between c and n (noisy within p of each) and n's block
// (within p of n). So u depends on the noisy values within p + max(R + 1, R + p) of u. Without
// a window (R < 0) or without blocks (p < 0) each voxel keeps a function of its own value.
// Beyond this reach only the volume's maximum (used by the preselection) is read.
inline int64_t blockdenoise_reach(int32_t search_radius, int32_t patch_radius) {
  if (search_radius < 0 || patch_radius < 0) return 0;
  const int64_t r = search_radius, p = patch_radius;
  return p + std::max(r + 1, r + p);
}

// sorvane, noisy volume: u adds the noisy values of the voxels paired with it, all within R.
inline int64_t sorvane_noisy_reach(int32_t search_radius) {
  return search_radius > 0 ? int64_t{search_radius} : 0;
}

// sorvane, guide: a pair's weight reads the guide and its local mean (the guide within 1) at both
// voxels of the pair, so the guide matters within R + 1 of u.
inline int64_t sorvane_guide_reach(int32_t search_radius) {
  return search_radius > 0 ? int64_t{search_radius} + 1 : 0;
}

// The guided method: blockdenoise makes the guide, sorvane filters the noisy volume on it. The
// guide must be right within sorvane's guide reach, and each guide voxel reaches blockdenoise's.
inline int64_t guided_reach(int32_t search_radius, int32_t patch_radius,
                            int32_t guided_search_radius) {
  if (guided_search_radius <= 0) return 0;
  return std::max(
      sorvane_noisy_reach(guided_search_radius),
      sorvane_guide_reach(guided_search_radius) + blockdenoise_reach(search_radius, patch_radius));
}

}  // namespace volnlm
