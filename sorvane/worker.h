// The slab worker: weighs every voxel of its slab against the later voxels of its search
// window and adds each pair into both voxels.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "common/isa.h"
#include "common/volume.h"

namespace volnlm::sorvane {

// One worker's record, filled by the driver and only read by the worker. All volumes have
// extents d0 x d1 x d2, x fastest.
struct SlabTask {
  int32_t d1 = 0;  // lines per slice
  int32_t d0 = 0;  // voxels per line
  int32_t d2 = 0;  // slices
  const double* noisy = nullptr;
  double* accum = nullptr;  // weighted sums of values (of squares in Rician mode)
  const double* guide_mean = nullptr;
  const double* guide = nullptr;
  double* weight_sum = nullptr;
  int32_t first_slice = 0;    // first slice of the slab
  int32_t end_slice = 0;      // slice just past the slab
  int32_t search_radius = 0;  // half-width R of the cubic search window
  int32_t second_radius = 0;  // carried along; not read
  double bandwidth = 0.0;     // h = sigma / 3
  int32_t direction = 1;      // 1 scans lines and voxels upwards, anything else downwards
  bool rician = false;        // add squared values
  // Additions into slices at or past end_slice go here instead of into accum and weight_sum,
  // so that no two workers ever write the same element. Each holds d0 * d1 * spill_slices
  // doubles covering slices [end_slice, end_slice + spill_slices), which must reach
  // min(end_slice + search_radius, d2); the driver merges them after the join.
  double* spill_accum = nullptr;
  double* spill_weight = nullptr;
  int32_t spill_slices = 0;
  std::atomic<int32_t>* slices_done = nullptr;  // if set, 1 is added after each finished slice
  const std::atomic<bool>* stop = nullptr;      // if set, checked before each line
  Isa isa = Isa::portable;  // instruction set of the four-lane loop; every one gives the same bits
  // When set, only the voxels where it is nonzero are taken as centres (one byte per voxel).
  // The four-lane loop works neighbouring centres in pairs (0, 1), (2, 3), ... of each line; a
  // pair with either voxel set is worked whole, so that every centre that is worked is grouped,
  // and adds into its neighbours, exactly as without the mask.
  const uint8_t* centres = nullptr;
};

// Where the additions into slice zn go: the volumes themselves, or the spill buffers for a
// slice at or past end_slice. Element i of the volume is at accum[i - base], weight[i - base].
struct SliceSums {
  double* accum;
  double* weight;
  int32_t base;
};

inline SliceSums slice_sums(const SlabTask& task, int32_t zn) {
  if (zn < task.end_slice) return {task.accum, task.weight_sum, 0};
  return {task.spill_accum, task.spill_weight, task.end_slice * task.d0 * task.d1};
}

// The centres a masked call works: the mask's voxels and every voxel that has one of them in the
// forward half of its window of `radius` (the earlier voxel of each pair that touches the mask).
// Throws std::bad_alloc when memory is short.
std::vector<uint8_t> pairing_centres(const uint8_t* mask, const Extents& e, int32_t radius);

// Works through the slab of *task. Allocates nothing, takes no lock, and returns when done or
// when *stop is set.
void ThreadFunc(SlabTask* task);

}  // namespace volnlm::sorvane
