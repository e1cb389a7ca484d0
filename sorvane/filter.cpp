// The driver: guide mean, seeding, one worker per slab, merge of the spilled additions, and
// the final pass that turns the sums into the result.
#include <algorithm>
#include <cmath>
#include <memory>
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
#include "sorvane/placement.h"
#include "sorvane/sorvane.h"
#include "sorvane/worker.h"

namespace volnlm::sorvane {
namespace {

// Everything a call's passes over the volume share. Each pass works slab by slab on the worker
// threads; every element is written by the one slab that holds it, with the operations of a
// single pass over the volume, so the bits do not depend on the number of threads.
struct Call {
  const double* noisy = nullptr;
  const double* guide = nullptr;
  Extents e;
  const Params* params = nullptr;
  Buffers buffers;
  SlabTask* tasks = nullptr;
  int32_t slabs = 0;
  // With a mask: per line (y, z), at z * d1 + y, the span of voxels that pairs can touch (the
  // centres' and their windows'); the passes work only these, and the rest of the guide mean,
  // the sums and the weights is never touched. Null without a mask.
  const Span* spans = nullptr;
};

// Before the workers, for the slices of task t: the guide mean, the seeded accumulators, and
// the slab's spill buffers cleared.
void prepare(const Call& call, int32_t t) {
  const SlabTask& task = call.tasks[t];
  const Extents& e = call.e;
  const int64_t plane = int64_t{e.d0} * e.d1;
  const bool rician = call.params->rician;
  const auto seed = [&](int64_t first, int64_t end) {
    for (int64_t i = first; i < end; ++i) {
      const double v = call.noisy[i];
      call.buffers.accum[i] = rician ? v * v : v;
      call.buffers.weight_sum[i] = 1.0;
    }
  };
  if (!call.spans) {
    guide_local_mean_slices(call.guide, call.buffers.guide_mean, e.d0, e.d1, e.d2, task.first_slice,
                            task.end_slice);
    seed(plane * task.first_slice, plane * task.end_slice);
  } else {
    for (int32_t z = task.first_slice; z < task.end_slice; ++z) {
      for (int32_t y = 0; y < e.d1; ++y) {
        const Span span = call.spans[int64_t{z} * e.d1 + y];
        if (span.lo >= span.hi) continue;
        guide_local_mean_line(call.guide, call.buffers.guide_mean, e.d0, e.d1, e.d2, y, z, span.lo,
                              span.hi);
        const int64_t line = z * plane + int64_t{y} * e.d0;
        seed(line + span.lo, line + span.hi);
      }
    }
  }
  const int64_t spill = plane * task.spill_slices;
  std::fill(task.spill_accum, task.spill_accum + spill, 0.0);
  std::fill(task.spill_weight, task.spill_weight + spill, 0.0);
}

// After the workers, for the slices of task t: the spilled sums of every slab that reaches them,
// added in slab order, then the final pass that turns the sums into the result.
void finish(const Call& call, int32_t t) {
  const SlabTask& own = call.tasks[t];
  const int64_t plane = int64_t{call.e.d0} * call.e.d1;
  const int64_t first = plane * own.first_slice;
  const int64_t end = plane * own.end_slice;
  double* const accum = call.buffers.accum;
  double* const weight_sum = call.buffers.weight_sum;
  const int32_t d0 = call.e.d0;
  // Calls run(first, end) for the voxels first .. end - 1 of the slices [lo, hi) (elements
  // lo * plane .. hi * plane), with a mask only those in the lines' spans.
  const auto over = [&](int64_t lo, int64_t hi, auto&& run) {
    if (!call.spans) {
      run(lo, hi);
      return;
    }
    for (int64_t line = lo / d0; line < hi / d0; ++line) {
      const Span span = call.spans[line];
      if (span.lo < span.hi) run(line * d0 + span.lo, line * d0 + span.hi);
    }
  };
  for (int32_t s = 0; s < call.slabs; ++s) {
    const SlabTask& task = call.tasks[s];
    const int64_t from = plane * task.end_slice;
    const int64_t to = from + plane * task.spill_slices;
    const int64_t lo = from > first ? from : first;
    const int64_t hi = to < end ? to : end;
    if (lo >= hi) continue;
    over(lo, hi, [&](int64_t a, int64_t b) {
      for (int64_t i = a; i < b; ++i) {
        accum[i] += task.spill_accum[i - from];
        weight_sum[i] += task.spill_weight[i - from];
      }
    });
  }
  const double* const noisy = call.noisy;
  const uint8_t* const mask = call.params->mask;
  if (mask) {
    // Outside the mask the noisy value; inside, which lies in the spans, the result below.
    for (int64_t line = first / d0; line < end / d0; ++line) {
      const Span span = call.spans[line];
      const int64_t a = line * d0, b = a + d0;
      const int64_t lo = span.lo < span.hi ? a + span.lo : b,
                    hi = span.lo < span.hi ? a + span.hi : b;
      for (int64_t i = a; i < lo; ++i) accum[i] = noisy[i];
      for (int64_t i = lo; i < hi; ++i) {
        if (mask[i] == 0) accum[i] = noisy[i];
      }
      for (int64_t i = hi; i < b; ++i) accum[i] = noisy[i];
    }
  }
  const auto inside = [&](int64_t i) { return !mask || mask[i] != 0; };
  if (!call.params->rician) {
    over(first, end, [&](int64_t a, int64_t b) {
      for (int64_t i = a; i < b; ++i) {
        if (inside(i)) accum[i] = accum[i] / weight_sum[i];
      }
    });
  } else {
    const double sigma = call.params->sigma;
    const double rician_bias = (sigma + sigma) * sigma;
    over(first, end, [&](int64_t a, int64_t b) {
      for (int64_t i = a; i < b; ++i) {
        if (!inside(i)) continue;
        const double v = accum[i] / weight_sum[i] - rician_bias;
        accum[i] = v < 0.0 ? 0.0 : std::sqrt(v);  // a NaN stays NaN
        if (noisy[i] <= 0.0) accum[i] = 0.0;
      }
    });
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
  std::vector<Span> spans;
  if (params.mask) {
    if (mask_count(params.mask, *count) == 0) {
      std::copy(noisy, noisy + *count, buffers.accum);
      if (params.slices_done) params.slices_done->fetch_add(d2, std::memory_order_relaxed);
      return Status::ok;
    }
    try {
      centres = pairing_centres(params.mask, extents, radius);
      // A pair joins a centre and a voxel of its window: the spans of the centres widened by the
      // radius hold every voxel a pair touches, and one voxel more, for the neighbour a centre
      // is worked together with (see SlabTask::centres).
      std::vector<Span> own(static_cast<size_t>(d1) * d2);
      for (size_t line = 0; line < own.size(); ++line) {
        own[line] = nonzero_span(centres.data() + line * d0, d0);
      }
      spans = widened_spans(own, d0, d1, d2, radius < 0 ? 1 : radius + 1);
    } catch (const std::bad_alloc&) {
      return Status::memory;
    }
  }

  // The slabs are fixed by the extents; any number of threads works through them. Each slab's
  // spill covers the slices past it that its window can reach.
  const int32_t slabs = clamp_workers(d2);
  std::atomic<bool> stop{false};
  SlabTask tasks[kMaxWorkers];
  std::unique_ptr<double[]> spills[kMaxWorkers];
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
    spills[t].reset(new (std::nothrow) double[static_cast<size_t>(2 * size)]);
    if (!spills[t]) return Status::memory;
    task.spill_accum = spills[t].get();
    task.spill_weight = spills[t].get() + size;
  }

  const Call call{noisy,   guide, extents, &params,
                  buffers, tasks, slabs,   params.mask ? spans.data() : nullptr};
  const int32_t threads = thread_count(params.threads).count;
  Status run = run_slabs(slabs, threads, stop, params.interrupt,
                         [&](int32_t t, int32_t) { prepare(call, t); });
  if (run != Status::ok) return run;
  run = run_slabs(slabs, threads, stop, params.interrupt,
                  [&](int32_t slab, int32_t) { ThreadFunc(&tasks[slab]); });
  if (run != Status::ok) return run;
  run = run_slabs(slabs, threads, stop, params.interrupt,
                  [&](int32_t t, int32_t) { finish(call, t); });
  if (run != Status::ok) return run;
  return Status::ok;
}

Status filter_with(Isa isa, const double* noisy, const double* guide, const Extents& extents,
                   const Params& params, double* out) {
  const std::optional<int32_t> count = voxel_count(extents.d0, extents.d1, extents.d2);
  if (!count) return Status::invalid;
  if (*count == 0) return Status::ok;
  // Both are filled slab by slab by the workers before they are read.
  PlacedVolume guide_mean, weight_sum;
  try {
    std::vector<const void*> taken = {out};
    const size_t n = static_cast<size_t>(*count);
    if (!place_volume(guide_mean, n, &taken) || !place_volume(weight_sum, n, &taken)) {
      return Status::memory;
    }
  } catch (const std::bad_alloc&) {
    return Status::memory;
  }
  return filter_with(isa, noisy, guide, extents, params,
                     Buffers{out, guide_mean.data, weight_sum.data});
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
