#include "sorvane/worker.h"

#include "common/volume.h"
#include "sorvane/kernel.h"
#include "sorvane/pair_weight.h"

namespace volnlm::sorvane {
namespace {

inline int32_t min32(int32_t a, int32_t b) {
  return a < b ? a : b;
}
inline int32_t max32(int32_t a, int32_t b) {
  return a > b ? a : b;
}

// Pairs centre (x, y, z) with every voxel of the forward half of its window that lies inside
// the volume. The window is clipped to the volume before the loops, so a huge radius costs
// nothing more than one reaching every border; the offsets still ascend (dz, then dy, then dx)
// and the skipped ones would add nothing, so the sums are those of the full window.
template <bool Rician>
void pair_centre(const SlabTask& task, const WeightScale& scale, int32_t x, int32_t y, int32_t z) {
  const int32_t d0 = task.d0;
  const int32_t d1 = task.d1;
  const int32_t r = task.search_radius;
  const int32_t ic = linear_index(x, y, z, d0, d1);
  const double value_c = task.noisy[ic];
  if (value_c == 0.0) return;  // a NaN is processed

  const double mean_c = task.guide_mean[ic];
  const double guide_c = task.guide[ic];
  const double h = task.bandwidth;
  const int32_t dz_last = min32(r, task.d2 - 1 - z);
  const int32_t dy_first = r < y ? -r : -y;
  const int32_t dy_last = min32(r, d1 - 1 - y);
  const int32_t dx_first = r < x ? -r : -x;
  const int32_t dx_last = min32(r, d0 - 1 - x);

  // No neighbour is the centre itself, so its sums can be carried in registers: each still
  // receives its additions one at a time in the same order.
  double accum_c = task.accum[ic];
  double weight_c = task.weight_sum[ic];
  for (int32_t dz = 0; dz <= dz_last; ++dz) {
    const int32_t zn = z + dz;
    const SliceSums to = slice_sums(task, zn);
    for (int32_t dy = dz == 0 ? max32(dy_first, 0) : dy_first; dy <= dy_last; ++dy) {
      const int32_t row = linear_index(x, y + dy, zn, d0, d1);
      for (int32_t dx = dz == 0 && dy == 0 ? max32(dx_first, 1) : dx_first; dx <= dx_last; ++dx) {
        const int32_t in = row + dx;
        const std::optional<double> d = mean_distance(mean_c - task.guide_mean[in]);
        if (!d || *d > h) continue;
        const double w = pair_weight(*d, guide_c - task.guide[in], scale);
        const double value_n = task.noisy[in];
        accum_c += Rician ? value_n * (value_n * w) : w * value_n;
        weight_c += w;
        to.accum[in - to.base] += Rician ? value_c * (value_c * w) : w * value_c;
        to.weight[in - to.base] += w;
      }
    }
  }
  task.accum[ic] = accum_c;
  task.weight_sum[ic] = weight_c;
}

// Centres x_first .. x_end - 1 of line (y, z) through the direct loop, in scan order.
template <bool Rician>
void direct_run(const SlabTask& task, const WeightScale& scale, int32_t y, int32_t z,
                int32_t x_first, int32_t x_end, bool forward) {
  if (forward) {
    for (int32_t x = x_first; x < x_end; ++x) pair_centre<Rician>(task, scale, x, y, z);
  } else {
    for (int32_t x = x_end - 1; x >= x_first; --x) pair_centre<Rician>(task, scale, x, y, z);
  }
}

// Calls work(first, end) for every run of set flags of a line (`line` holds its d0 flags), each
// widened to whole pairs (0, 1), (2, 3), ... of the four-lane loop; the runs ascend when
// `forward`, else descend. Widened runs never overlap.
template <class Work>
void for_each_centre_run(const uint8_t* line, int32_t d0, bool forward, Work&& work) {
  const auto widened_end = [d0](int32_t end) { return end % 2 == 0 ? end : min32(end + 1, d0); };
  if (forward) {
    for (int32_t x = 0; x < d0; ++x) {
      if (line[x] == 0) continue;
      int32_t end = x + 1;
      while (end < d0 && line[end] != 0) ++end;
      work(x - x % 2, widened_end(end));
      x = end;
    }
  } else {
    for (int32_t x = d0 - 1; x >= 0; --x) {
      if (line[x] == 0) continue;
      int32_t first = x;
      while (first > 0 && line[first - 1] != 0) --first;
      work(first - first % 2, widened_end(x + 1));
      x = first;
    }
  }
}

// Lines of at least four voxels go through the four-lane loop, when the bandwidth allows it;
// the others through the direct one. Either way the centres are visited in scan order.
template <bool Rician>
void work_slab(const SlabTask& task) {
  const WeightScale scale = weight_scale(task.bandwidth);
  const bool forward = task.direction == 1;
  // A window reaching past every border pairs as one that just reaches them, so the four-lane
  // loop takes the radius clipped to the largest extent: a huge radius gives the same blocks,
  // and so the same bits, as the volume-sized one.
  int32_t reach = task.d0 > task.d1 ? task.d0 : task.d1;
  reach = (reach > task.d2 ? reach : task.d2) - 1;
  KernelConstants k;
  const bool four_lanes =
      task.d0 >= 4 &&
      kernel_constants(task.bandwidth, task.search_radius < reach ? task.search_radius : reach, &k);
  const LinePairs line_pairs = line_pairs_for(task.isa);
  for (int32_t z = task.first_slice; z < task.end_slice; ++z) {
    if (task.search_radius >= 0) {
      for (int32_t j = 0; j < task.d1; ++j) {
        // A line takes at most milliseconds, so a stop is seen at once.
        if (task.stop != nullptr && task.stop->load(std::memory_order_relaxed)) return;
        const int32_t y = forward ? j : task.d1 - 1 - j;
        if (!task.centres) {
          if (four_lanes) {
            line_pairs(task, k, y, z, 0, task.d0, forward);
          } else {
            direct_run<Rician>(task, scale, y, z, 0, task.d0, forward);
          }
          continue;
        }
        const uint8_t* line = task.centres + linear_index(0, y, z, task.d0, task.d1);
        for_each_centre_run(line, task.d0, forward, [&](int32_t first, int32_t end) {
          if (four_lanes) {
            line_pairs(task, k, y, z, first, end, forward);
            return;
          }
          for (int32_t n = 0; n < end - first; ++n) {
            const int32_t x = forward ? first + n : end - 1 - n;
            if (line[x] != 0) pair_centre<Rician>(task, scale, x, y, z);
          }
        });
      }
    }
    if (task.slices_done != nullptr) task.slices_done->fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace

void ThreadFunc(SlabTask* task) {
  if (task->rician) {
    work_slab<true>(*task);
  } else {
    work_slab<false>(*task);
  }
}

}  // namespace volnlm::sorvane
