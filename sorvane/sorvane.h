// Public entry of the voxelwise guided filter: the one call every front end makes.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "common/status.h"
#include "common/thread_runner.h"
#include "common/volume.h"

namespace volnlm::sorvane {

struct Params {
  int32_t search_radius = 0;  // half-width of the cubic search window
  int32_t second_radius = 0;  // carried along; has no effect on the result
  double sigma = 0.0;         // noise standard deviation
  bool rician = false;        // average squares and remove the Rician bias
  // When set, each worker adds 1 here after every slice of its slab it has finished, so a front
  // end can show progress from another thread. Never read by the filter.
  std::atomic<int32_t>* slices_done = nullptr;
  // Optional mask, one byte per voxel of the volume's extents (x fastest), nonzero = inside; null:
  // the whole volume. Inside the mask the result has the same bits as without it: every pair
  // that touches a mask voxel is made, from whichever of its voxels comes first, by the same
  // steps in the same order. Outside the mask the result is the noisy value.
  const uint8_t* mask = nullptr;
  // Worker threads; 0 takes the default (see thread_count). The result does not depend on it.
  int32_t threads = 0;
  // Asked on the calling thread while workers run; a stop ends the call with Status::stopped.
  Interrupt interrupt;
};

// Caller-owned volumes of voxel_count(extents) doubles each.
struct Buffers {
  double* accum = nullptr;       // receives the result
  double* guide_mean = nullptr;  // scratch
  double* weight_sum = nullptr;  // scratch
};

// Value checks that every front end applies before filtering: sigma must be finite, and the
// thread count (with VOLNLM_NUM_THREADS when it is 0) valid.
std::optional<ArgError> check_params(const Params& params);

// The guide must have the volume's extents (reason "guideSize"); the names are the front end's
// words for the two arrays, e.g. "the guide (argument 5)" and "the noisy volume".
std::optional<ArgError> check_guide(const Extents& volume, const Extents& guide,
                                    const std::string& guide_name, const std::string& volume_name);

// Filters `noisy` on `guide` (both voxel_count(extents) doubles, x fastest) into buffers.accum.
// Extents with a zero count do nothing. Returns Status::threads when workers could not be
// started, Status::memory when the per-slab buffers or a worker's stack could not be had, and
// Status::stopped when params.interrupt asked to stop (buffers.accum then holds no result).
// The buffers must not overlap `noisy` or `guide`. Extents that are negative or hold more
// voxels than signed 32-bit indices reach give Status::invalid (front ends reject them first). The
// result depends on the input alone: the same bits on every run and machine.
Status filter(const double* noisy, const double* guide, const Extents& extents,
              const Params& params, const Buffers& buffers);

// The same, taking the scratch volumes itself; `out` receives the result.
Status filter(const double* noisy, const double* guide, const Extents& extents,
              const Params& params, double* out);

}  // namespace volnlm::sorvane
