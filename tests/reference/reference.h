// Reference renderings of both filters: direct, single-threaded, unoptimised loops that follow
// the filter rules step by step. They are slow on purpose and exist only to check the fast
// cores (tests) and to measure them (bench). Nothing here is linked into a front end.
//
// Both renderings ignore threads and slabs: every centre is visited in one pass in plain
// order (z, then y, then x, all ascending), so every addition happens in one fixed order.
#pragma once

#include <cstdint>

#include "blockdenoise/blockdenoise.h"
#include "common/volume.h"
#include "sorvane/sorvane.h"

namespace volnlm::reference {

// ---- voxelwise guided filter (doubles) ----

// 8-term cross-shaped local mean of the guide (own value twice, six face neighbours, mirrored
// borders), times 0.125.
void guide_local_mean(const double* guide, double* guide_mean, const Extents& extents);

// The weight of one pair from the whole-number guide-mean difference d, the guide difference g
// and the two denominators (h * 0.5) * h and (h + h) * h. A denominator of 0 takes the limit of
// its term as the bandwidth goes to 0: the term vanishes for a zero difference and is infinite
// (weight 0) for any other, so 0/0 never reaches the weight.
double pair_weight(double d, double g, double mean_denominator, double guide_denominator);

// Filters `noisy` on `guide` into `out` (voxel_count(extents) doubles each). When `magnitude` is
// given it receives, per voxel, the sum of the magnitudes of every term added into the voxel's
// accumulator (seed included) divided by its weight sum: the scale against which rounding
// differences of a reordered sum are measured.
void sorvane(const double* noisy, const double* guide, const Extents& extents,
             const ::volnlm::sorvane::Params& params, double* out, double* magnitude = nullptr);

// ---- blockwise filter (floats) ----

// Largest voxel value, never below 0; NaNs never win.
float global_max(const float* noisy, const Extents& extents);

// 27-sample local mean with mirrored borders.
void local_mean(const float* noisy, float* mean, const Extents& extents);

// Sample variance of the in-volume 3x3x3 neighbours around the centre's local mean.
void local_variance(const float* noisy, const float* mean, float* variance, const Extents& extents);

// Mean squared difference of the two (2p+1)^3 patches around (x, y, z) and (cx, cy, cz), with
// mirrored borders; 0 for p < 0.
float distance(const float* noisy, int32_t x, int32_t y, int32_t z, int32_t cx, int32_t cy,
               int32_t cz, int32_t p, const Extents& extents);

// Filters `noisy` into `out` (voxel_count(extents) floats each). The patch radius must be one
// that check_params accepts for these extents. When `bound` is given it receives, per voxel,
// an upper bound on how far a rendering that makes the same decisions but adds in another
// order and whose weights differ in their last bits can land from `out`; 0 where the voxel
// keeps its noisy value. The derivation heads blockdenoise_reference.cpp.
void blockdenoise(const float* noisy, const Extents& extents,
                  const ::volnlm::blockdenoise::Params& params, float* out, float* bound = nullptr);

}  // namespace volnlm::reference
