// Per-voxel statistics of the noisy volume that the block workers use to skip dark or flat
// centres and to preselect candidates before spending a patch distance on them.
#pragma once

#include <cstdint>

namespace volnlm::blockdenoise {

// Largest value of the `count` voxels, never below 0: only a value strictly above the running
// maximum replaces it, so NaNs are ignored and a volume without a positive value gives 0.
float global_max(const float* noisy, int32_t count);

// The larger of `max` and the largest of the `count` values, by the same rule: so the maximum
// of a volume taken part by part, each part's maximum carried into the next or the parts'
// maxima combined in any order, is the same float as the one of global_max.
float larger_max(float max, const float* values, int32_t count);

// Fills `local_mean` with the mean of the 27 voxels of each voxel's 3x3x3 neighbourhood, the
// borders mirrored on every axis; returns the global maximum, computed in the same sweep.
// Sums are single precision, y offset outermost, then x, then z innermost.
float compute_local_mean(const float* noisy, float* local_mean, int32_t d0, int32_t d1, int32_t d2);

// compute_local_mean's means of slices first .. end - 1 alone (no maximum): the same values,
// so that slices can be shared among threads.
void local_mean_slices(const float* noisy, float* local_mean, int32_t d0, int32_t d1, int32_t d2,
                       int32_t first, int32_t end);

// local_mean_slices's means of voxels x_lo .. x_hi - 1 of line (y, z) alone.
void local_mean_line(const float* noisy, float* local_mean, int32_t d0, int32_t d1, int32_t d2,
                     int32_t y, int32_t z, int32_t x_lo, int32_t x_hi);

// Fills `local_variance` with the sample variance of each voxel's 3x3x3 neighbourhood around its
// local mean: neighbours outside the volume are left out (not mirrored) and the sum of squared
// deviations is divided by one less than the number taken. Needs the complete `local_mean`.
void compute_local_variance(const float* noisy, const float* local_mean, float* local_variance,
                            int32_t d0, int32_t d1, int32_t d2);

// compute_local_variance for slices first .. end - 1 alone; reads the means of those slices.
void local_variance_slices(const float* noisy, const float* local_mean, float* local_variance,
                           int32_t d0, int32_t d1, int32_t d2, int32_t first, int32_t end);

// The variances of voxels x_lo .. x_hi - 1 of line (y, z) alone; reads their means.
void local_variance_line(const float* noisy, const float* local_mean, float* local_variance,
                         int32_t d0, int32_t d1, int32_t d2, int32_t y, int32_t z, int32_t x_lo,
                         int32_t x_hi);

}  // namespace volnlm::blockdenoise
