// Partition of a volume's slices into the slabs that the worker threads take.
#pragma once

#include <cstdint>

namespace volnlm {

// At most this many workers run in one call.
inline constexpr int32_t kMaxWorkers = 8;

struct Slab {
  int32_t first_slice = 0;  // first slice of the slab
  int32_t end_slice = 0;    // slice just past the slab
};

// Clamps a wanted worker count to 1..kMaxWorkers.
inline int32_t clamp_workers(int32_t wanted) {
  if (wanted > kMaxWorkers) wanted = kMaxWorkers;
  return wanted < 1 ? 1 : wanted;
}

// Slab t of T over d2 slices: [d2 * t / T, d2 * (t + 1) / T), divisions truncating.
// The products are formed in 64 bits so that very deep volumes cannot overflow; wherever the
// 32-bit product fits, the result is the same.
inline Slab slab_of(int32_t d2, int32_t t, int32_t workers) {
  const int64_t n = d2;
  return Slab{static_cast<int32_t>(n * t / workers), static_cast<int32_t>(n * (t + 1) / workers)};
}

}  // namespace volnlm
