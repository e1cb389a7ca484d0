// Public entry of the blockwise filter: the one call every front end makes.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "common/status.h"
#include "common/thread_runner.h"
#include "common/volume.h"

namespace volnlm::blockdenoise {

// Volumes of at least this many voxels have the driver's passes over the whole volume (local
// statistics, padding, the final averages) shared by the call's threads; smaller ones run them
// on the calling thread. Either way the results are the same bits.
inline constexpr int32_t kSharedPassVoxels = int32_t{1} << 17;

struct Params {
  int32_t search_radius = 0;  // half-width of the cubic search window
  int32_t patch_radius = 0;   // half-width of the cubic patch and block; negative: no blocks
  float sigma = 0.0f;         // noise standard deviation
  float smoothing = 0.0f;     // factor on sigma^2 in the weight's denominator
  bool rician = false;        // average squares and remove the Rician bias
  // When set, each worker adds 1 here after every slice of its slab it has finished, so a front
  // end can show progress from another thread. Never read by the filter.
  std::atomic<int32_t>* slices_done = nullptr;
  // Optional mask, one byte per voxel of the volume's extents (x fastest), nonzero = inside; null:
  // the whole volume. Inside the mask the result has the same bits as without it: every centre
  // within the patch radius of the mask builds its block estimate against all its candidates.
  // Outside the mask the result is the noisy value; no other centre is worked.
  const uint8_t* mask = nullptr;
  // The largest value of the whole volume this one is a part of (a chunk of a larger volume, cut
  // with the reach as its halo), read by the preselection in place of this volume's own largest
  // value, so that a chunk decides as the whole volume does. Empty: this volume's own (its largest
  // value, NaN ignored, 0 when none is positive). Must not be NaN.
  std::optional<float> maximum;
  // Worker threads; 0 takes the default (see thread_count). The result does not depend on it.
  int32_t threads = 0;
  // Asked on the calling thread while workers run; a stop ends the call with Status::stopped.
  Interrupt interrupt;
};

// Caller-owned volumes of voxel_count(extents) floats each.
struct Buffers {
  float* out = nullptr;             // receives the result
  float* local_mean = nullptr;      // scratch
  float* local_variance = nullptr;  // scratch
  float* estimate_sum = nullptr;    // scratch
  float* estimate_count = nullptr;  // scratch
};

// Value checks that every front end applies before filtering: finite sigma and smoothing,
// smoothing not negative, a patch radius that the border rule can serve on these extents and
// whose block size fits the indexing, a valid thread count (with VOLNLM_NUM_THREADS when 0).
std::optional<ArgError> check_params(const Extents& extents, const Params& params);

// Filters `noisy` (voxel_count(extents) floats, x fastest) into buffers.out. Extents with a zero
// count do nothing. Expects extents and params that check_params accepts (a larger patch radius
// would read outside the volume; extents the indexing cannot hold give Status::invalid), and
// output and scratch volumes that do not overlap `noisy` or each other. The result depends only
// on the input and the params: the same bits on every run and on any number of cores.
// Returns Status::threads when workers could not be started, Status::memory when the workers'
// buffers, stacks or the per-slab buffers could not be had, and Status::stopped when
// params.interrupt asked to stop (buffers.out then holds no result).
Status filter(const float* noisy, const Extents& extents, const Params& params,
              const Buffers& buffers);

// The same, taking the scratch volumes itself; `out` receives the result.
Status filter(const float* noisy, const Extents& extents, const Params& params, float* out);

}  // namespace volnlm::blockdenoise
