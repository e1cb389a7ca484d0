// The driver: guide mean, seeding, one worker per slab, merge of the spilled additions, and
// the final pass that turns the sums into the result.
#include <algorithm>
#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "common/mask.h"
#include "common/slabs.h"
#include "common/text.h"
#include "common/thread_count.h"
#include "common/thread_runner.h"
#include "common/volume.h"
#include "sorvane/filter_isa.h"
#include "sorvane/guide_mean.h"
#include "sorvane/sorvane.h"
#include "sorvane/worker.h"

namespace volnlm::sorvane {
namespace {

void seed(const double* noisy, double* accum, double* weight_sum, int32_t count, bool rician) {
  for (int32_t i = 0; i < count; ++i) {
    accum[i] = rician ? noisy[i] * noisy[i] : noisy[i];
    weight_sum[i] = 1.0;
  }
}

// Adds each worker's spilled sums into the volumes, in slab order, so that every voxel
// receives its additions in an order fixed by the input alone.
void merge_spills(const SlabTask* tasks, int32_t workers, double* accum, double* weight_sum) {
  for (int32_t t = 0; t < workers; ++t) {
    const SlabTask& task = tasks[t];
    const int64_t first = int64_t{task.end_slice} * task.d0 * task.d1;
    const int64_t size = int64_t{task.spill_slices} * task.d0 * task.d1;
    for (int64_t j = 0; j < size; ++j) {
      accum[first + j] += task.spill_accum[j];
      weight_sum[first + j] += task.spill_weight[j];
    }
  }
}

void normalise(const double* noisy, double* accum, const double* weight_sum, int32_t count,
               double sigma, bool rician) {
  if (!rician) {
    for (int32_t i = 0; i < count; ++i) accum[i] = accum[i] / weight_sum[i];
    return;
  }
  const double rician_bias = (sigma + sigma) * sigma;
  for (int32_t i = 0; i < count; ++i) {
    const double v = accum[i] / weight_sum[i] - rician_bias;
    accum[i] = v < 0.0 ? 0.0 : std::sqrt(v);  // a NaN stays NaN
    if (noisy[i] <= 0.0) accum[i] = 0.0;
  }
}

}  // namespace

std::vector<uint8_t> pairing_centres(const uint8_t* mask, const Extents& e, int32_t radius) {
  const size_t n = static_cast<size_t>(voxel_count(e));
  std::vector<uint8_t> centres(mask, mask + n);
  if (radius <= 0) return centres;
  // The forward half window as three boxes of offsets from the centre to its later neighbour:
  // later slices; later lines of the same slice; later voxels of the same line.
  const int32_t r = radius;
  const int32_t lo[3][3] = {{-r, -r, 1}, {-r, 1, 0}, {1, 0, 0}};
  const int32_t hi[3][3] = {{r, r, r}, {r, r, 0}, {r, 0, 0}};
  std::vector<uint8_t> reached(n);
  for (int b = 0; b < 3; ++b) {
    dilate_box(mask, e, lo[b], hi[b], reached.data());
    for (size_t i = 0; i < n; ++i) centres[i] = centres[i] | reached[i];
  }
  return centres;
}

std::optional<ArgError> check_params(const Params& params) {
  if (!std::isfinite(params.sigma)) {
    return ArgError{"sigma",
                    "sigma must be a finite number (the noise standard deviation); got " +
                        std::string(std::isnan(params.sigma) ? "NaN" : "an infinite value")};
  }
  return check_threads(params.threads);
}

std::optional<ArgError> check_guide(const Extents& volume, const Extents& guide,
                                    const std::string& guide_name, const std::string& volume_name) {
  if (volume.d0 == guide.d0 && volume.d1 == guide.d1 && volume.d2 == guide.d2) return std::nullopt;
  return ArgError{"guideSize", guide_name + " must have the extents of " + volume_name + ", " +
                                   extents_text(volume) + "; got " + extents_text(guide)};
}

Status filter_with(Isa isa, const double* noisy, const double* guide, const Extents& extents,
                   const Params& params, const Buffers& buffers) {
  const std::optional<int32_t> count = voxel_count(extents.d0, extents.d1, extents.d2);
  if (!count) return Status::invalid;  // no volume the indexing can hold
  if (*count == 0) return Status::ok;
  const int32_t d0 = extents.d0;
  const int32_t d1 = extents.d1;
  const int32_t d2 = extents.d2;
  const int32_t radius = params.search_radius;
  const int64_t plane = int64_t{d0} * d1;

  // With a mask, the centres are its voxels and every voxel that comes before one of them
  // within the forward half of its window; without one inside, the output is the input.
  std::vector<uint8_t> centres;
  if (params.mask) {
    if (mask_count(params.mask, *count) == 0) {
      std::copy(noisy, noisy + *count, buffers.accum);
      if (params.slices_done) params.slices_done->fetch_add(d2, std::memory_order_relaxed);
      return Status::ok;
    }
    try {
      centres = pairing_centres(params.mask, extents, radius);
    } catch (const std::bad_alloc&) {
      return Status::memory;
    }
  }

  guide_local_mean(guide, buffers.guide_mean, d0, d1, d2);
  seed(noisy, buffers.accum, buffers.weight_sum, *count, params.rician);

  // The slabs are fixed by the extents; any number of threads works through them. Each slab's
  // spill covers the slices past it that its window can reach.
  const int32_t slabs = clamp_workers(d2);
  std::atomic<bool> stop{false};
  SlabTask tasks[kMaxWorkers];
  std::vector<double> spills[kMaxWorkers];
  for (int32_t t = 0; t < slabs; ++t) {
    const Slab slab = slab_of(d2, t, slabs);
    SlabTask& task = tasks[t];
    task.d1 = d1;
    task.d0 = d0;
    task.d2 = d2;
    task.noisy = noisy;
    task.accum = buffers.accum;
    task.guide_mean = buffers.guide_mean;
    task.guide = guide;
    task.weight_sum = buffers.weight_sum;
    task.first_slice = slab.first_slice;
    task.end_slice = slab.end_slice;
    task.search_radius = radius;
    task.second_radius = params.second_radius;
    task.bandwidth = params.sigma / 3.0;
    task.direction = t % 2 == 0 ? 1 : -1;
    task.rician = params.rician;
    task.slices_done = params.slices_done;
    task.isa = isa;
    task.centres = params.mask ? centres.data() : nullptr;
    task.stop = &stop;
    const int32_t rest = d2 - slab.end_slice;
    task.spill_slices = radius <= 0 ? 0 : (radius < rest ? radius : rest);
    const int64_t size = plane * task.spill_slices;
    try {
      spills[t].assign(static_cast<size_t>(2 * size), 0.0);
    } catch (const std::bad_alloc&) {
      return Status::memory;
    }
    task.spill_accum = spills[t].data();
    task.spill_weight = spills[t].data() + size;
  }

  const Status run = run_slabs(slabs, thread_count(params.threads).count, stop, params.interrupt,
                               [&](int32_t slab, int32_t) { ThreadFunc(&tasks[slab]); });
  if (run != Status::ok) return run;
  merge_spills(tasks, slabs, buffers.accum, buffers.weight_sum);
  normalise(noisy, buffers.accum, buffers.weight_sum, *count, params.sigma, params.rician);
  if (params.mask) {
    for (int32_t i = 0; i < *count; ++i) {
      if (params.mask[i] == 0) buffers.accum[i] = noisy[i];
    }
  }
  return Status::ok;
}

Status filter_with(Isa isa, const double* noisy, const double* guide, const Extents& extents,
                   const Params& params, double* out) {
  const std::optional<int32_t> count = voxel_count(extents.d0, extents.d1, extents.d2);
  if (!count) return Status::invalid;
  if (*count == 0) return Status::ok;
  std::vector<double> guide_mean;
  std::vector<double> weight_sum;
  try {
    guide_mean.resize(static_cast<size_t>(*count));
    weight_sum.resize(static_cast<size_t>(*count));
  } catch (const std::bad_alloc&) {
    return Status::memory;
  }
  return filter_with(isa, noisy, guide, extents, params,
                     Buffers{out, guide_mean.data(), weight_sum.data()});
}

Status filter(const double* noisy, const double* guide, const Extents& extents,
              const Params& params, const Buffers& buffers) {
  return filter_with(best_isa(), noisy, guide, extents, params, buffers);
}

Status filter(const double* noisy, const double* guide, const Extents& extents,
              const Params& params, double* out) {
  return filter_with(best_isa(), noisy, guide, extents, params, out);
}

}  // namespace volnlm::sorvane
