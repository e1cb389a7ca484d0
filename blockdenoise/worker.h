// The block worker: for every voxel of its slab it preselects candidates of the search window by
// their local statistics, weighs them by patch distance, and spreads the weighted block
// estimate over every voxel of the centre's block.
#pragma once

#include <atomic>
#include <cstdint>

#include "blockdenoise/search.h"

namespace volnlm::blockdenoise {

// One worker's record, filled by the driver before the worker starts; the worker writes only
// into the buffers it names. All volumes have extents d0, d1, d2, x fastest.
struct BlockTask {
  int32_t d1 = 0;  // lines per slice
  int32_t d0 = 0;  // voxels per line
  int32_t d2 = 0;  // slices
  const float* noisy = nullptr;
  const float* local_mean = nullptr;
  const float* local_variance = nullptr;
  float* estimate_sum = nullptr;  // sums of block estimates; this slab's slices are added in place
  float* estimate_count = nullptr;  // numbers of block estimates, likewise
  int32_t first_slice = 0;          // first slice of the slab
  int32_t end_slice = 0;            // slice just past the slab
  int32_t search_radius = 0;        // half-width of the search window; negative: no candidates
  int32_t patch_radius = 0;         // half-width p of patch and block; negative: no blocks
  float sigma = 0.0f;               // noise standard deviation
  bool rician = false;              // average squares and remove the Rician bias
  // Private sums and counts for the slices this worker's blocks reach outside its slab: the
  // `before_slices` slices below first_slice and the `after_slices` slices from end_slice on,
  // each buffer laid out as consecutive slices starting with the lowest; zeroed by the driver.
  int32_t before_slices = 0;
  float* before_sum = nullptr;
  float* before_count = nullptr;
  int32_t after_slices = 0;
  float* after_sum = nullptr;
  float* after_count = nullptr;
  // The line search, its buffers and the form that runs it, made by the driver (see
  // make_line_search). Not used when patch_radius is negative.
  LineSearch search;
  SearchLine search_line = nullptr;
  std::atomic<int32_t>* slices_done = nullptr;  // when set, 1 is added per finished slice
  const std::atomic<bool>* stop = nullptr;      // when set, checked before each line
  // When set, only the voxels where it is nonzero are centres (one byte per voxel); the others
  // build no block estimate at all.
  const uint8_t* centres = nullptr;
};

// Number of workers a call starts: d2 / search_radius, truncated, clamped to 1..8; 1 when the
// radius is not positive.
int32_t worker_count(int32_t d2, int32_t search_radius);

// The weight's denominator, (sigma * smoothing) * sigma in single precision.
float weight_denominator(float sigma, float smoothing);

// Weight of a candidate at patch distance d: exp(-d / denominator) by weight_exp. A denominator of
// 0 takes the limit instead of 0/0: 1 at distance 0 and 0 at any other.
float candidate_weight(float d, float denominator);

// Body of one worker thread: builds the block estimates of every voxel of the task's slab;
// returns when done or when *stop is set.
void ThreadFunc(BlockTask* task);

}  // namespace volnlm::blockdenoise
