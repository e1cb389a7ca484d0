// The driver: checks, local statistics, slab workers, merge of the workers' border slices, and
// the final averaging of the block estimates.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "blockdenoise/blockdenoise.h"
#include "blockdenoise/filter_isa.h"
#include "blockdenoise/local_stats.h"
#include "blockdenoise/search.h"
#include "blockdenoise/search_buffers.h"
#include "blockdenoise/worker.h"
#include "common/mask.h"
#include "common/slabs.h"
#include "common/thread_count.h"
#include "common/thread_runner.h"

namespace volnlm::blockdenoise {

namespace {

// Largest patch radius whose block of (2p + 1)^3 elements signed 32-bit indexing can count.
constexpr int32_t largest_block_radius() {
  int64_t p = 0;
  while ((2 * p + 3) * (2 * p + 3) * (2 * p + 3) <= INT32_MAX) ++p;
  return static_cast<int32_t>(p);
}

// Adds slices lo .. hi - 1 of a worker's private sums and counts, which hold the slices from
// `first` on, into the volume; with `spans` (one per line), only the voxels of each line's span.
void merge(float* sum, float* count, int32_t first, int32_t slices, int32_t lo, int32_t hi,
           int32_t d0, int32_t d1, const float* part_sum, const float* part_count,
           const Span* spans) {
  const ptrdiff_t plane = static_cast<ptrdiff_t>(d0) * d1;
  const int32_t from = std::max(first, lo), to = std::min(first + slices, hi);
  if (from >= to) return;
  const auto add = [&](ptrdiff_t at, ptrdiff_t part_at, ptrdiff_t n) {
    for (ptrdiff_t i = 0; i < n; ++i) {
      sum[at + i] = sum[at + i] + part_sum[part_at + i];
      count[at + i] = count[at + i] + part_count[part_at + i];
    }
  };
  if (!spans) {
    add(from * plane, (from - first) * plane, (to - from) * plane);
    return;
  }
  for (int32_t z = from; z < to; ++z) {
    for (int32_t y = 0; y < d1; ++y) {
      const Span span = spans[static_cast<ptrdiff_t>(z) * d1 + y];
      if (span.lo >= span.hi) continue;
      const ptrdiff_t line = static_cast<ptrdiff_t>(y) * d0 + span.lo;
      add(z * plane + line, (z - first) * plane + line, span.hi - span.lo);
    }
  }
}

// Parts of a pass over the volume that the call's threads share: fixed by the volume alone.
constexpr int32_t kPassParts = kMaxWorkers;

// Runs pass(part, first, end) for the kPassParts parts [first, end) of 0 .. count - 1: on the
// call's threads for a volume of at least kSharedPassVoxels voxels, on the calling thread for
// a smaller one, where starting threads would cost more than the pass. Each part writes only
// its own elements, and what it writes does not depend on the other parts, so the result is
// the same for every thread count.
template <class Pass>
Status share_pass(int32_t voxels, int32_t threads, int32_t count, Pass&& pass) {
  const auto part = [&](int32_t k, int32_t) {
    const Slab s = slab_of(count, k, kPassParts);
    pass(k, s.first_slice, s.end_slice);
  };
  if (voxels < kSharedPassVoxels || threads <= 1) {
    for (int32_t k = 0; k < kPassParts; ++k) part(k, 0);
    return Status::ok;
  }
  std::atomic<bool> stop{false};
  return run_slabs(kPassParts, threads, stop, Interrupt{}, part);
}

// Float buffer without the zero fill of a vector, which would be one more pass on one thread.
std::unique_ptr<float[]> floats(size_t n) {
  return std::unique_ptr<float[]>(new (std::nothrow) float[n]);
}

}  // namespace

std::optional<ArgError> check_params(const Extents& extents, const Params& params) {
  if (!std::isfinite(params.sigma)) {
    return ArgError{"sigma", "sigma must be finite as a single-precision number"};
  }
  if (!std::isfinite(params.smoothing)) {
    return ArgError{"smoothing",
                    "the smoothing factor must be finite as a single-precision number"};
  }
  if (params.smoothing < 0.0f) {
    return ArgError{"smoothing", "the smoothing factor must not be negative"};
  }
  if (params.maximum && std::isnan(*params.maximum)) {
    return ArgError{"maximum", "the volume's maximum must be a number, not NaN"};
  }
  const std::optional<int32_t> count = voxel_count(extents.d0, extents.d1, extents.d2);
  if (!count) {
    return ArgError{"noisy",
                    "the volume's extents must be non-negative and its voxel count "
                    "below 2^31"};
  }
  if (params.patch_radius >= 0) {
    int32_t limit = largest_block_radius();
    std::string why = "its block of (2p + 1)^3 voxels must be countable in a signed 32-bit integer";
    const int32_t smallest = std::min({extents.d0, extents.d1, extents.d2});
    if (*count > 0 && smallest < limit) {
      limit = smallest;
      why = "the smallest extent of the volume, beyond which the mirrored border leaves it";
    }
    if (params.patch_radius > limit) {
      return ArgError{"patchRadius", "the patch radius " + std::to_string(params.patch_radius) +
                                         " is too large: the largest radius that works is " +
                                         std::to_string(limit) + " (" + why + ")"};
    }
  }
  return check_threads(params.threads);
}

Status filter(const float* noisy, const Extents& extents, const Params& params,
              const Buffers& buffers) {
  return filter_with(best_isa(), noisy, extents, params, buffers);
}

Status filter_with(Isa isa, const float* noisy, const Extents& extents, const Params& params,
                   const Buffers& buffers, bool pair_rings) {
  const std::optional<int32_t> count = voxel_count(extents.d0, extents.d1, extents.d2);
  if (!count) return Status::invalid;  // check_params rejects such extents
  const int32_t n = *count;
  if (n == 0) return Status::ok;
  const int32_t d0 = extents.d0, d1 = extents.d1, d2 = extents.d2;
  const ptrdiff_t plane = static_cast<ptrdiff_t>(d0) * d1;
  const int32_t p = params.patch_radius < 0 ? -1 : params.patch_radius;
  // The slabs are fixed by the extents and the search radius; any number of threads works
  // through them.
  const int32_t workers = worker_count(d2, params.search_radius);
  const int32_t threads = thread_count(params.threads).count;
  std::atomic<bool> stop{false};
  // The pair rings' depth decides how far the plane spans of a mask reach.
  const PairRings pairs = pair_rings && p >= 0 ? plan_pair_rings(d0, d1, d2, params.search_radius,
                                                                 std::min(threads, workers))
                                               : PairRings{};

  // With a mask, the centres are the voxels within p of it, whose blocks cover a mask voxel;
  // without one inside the mask, or without blocks, every voxel keeps its noisy value.
  // Each line's centres lie within its span (see LineSearch::centre_spans).
  // Each line's centres lie within its span (see LineSearch::centre_spans), and the centres and
  // their candidates, whose local statistics the search reads, within its `stat_spans`.
  std::vector<uint8_t> centres;
  std::vector<Span> spans, stat_spans, plane_spans, block_spans;
  if (params.mask) {
    if (p < 0 || mask_count(params.mask, n) == 0) {
      std::copy(noisy, noisy + n, buffers.out);
      if (params.slices_done) params.slices_done->fetch_add(d2, std::memory_order_relaxed);
      return Status::ok;
    }
    try {
      centres.resize(static_cast<size_t>(n));
      dilate(params.mask, extents, p, centres.data());
      spans.resize(static_cast<size_t>(d1) * d2);
      for (size_t line = 0; line < spans.size(); ++line) {
        spans[line] = nonzero_span(centres.data() + line * d0, d0);
      }
      stat_spans = widened_spans(spans, d0, d1, d2, params.search_radius);
      block_spans = widened_spans(spans, d0, d1, d2, p);
      if (p > 0 && params.search_radius >= 1 && params.search_radius <= kDeferredMaxRadius) {
        plane_spans = plane_spans_for(spans, d0, d1, d2, p, params.search_radius, pairs.depth);
      }
    } catch (const std::bad_alloc&) {
      return Status::memory;
    }
  }

  // Each worker adds its estimates for its own slab's slices in place, and those for slices of
  // other slabs into private buffers that are merged in slab order after the join: no two
  // threads touch the same element, and the sums do not depend on thread timing.
  // One copy of the volume padded by the patch distance's border rule, shared by all workers,
  // so that the distance reads both patches without index arithmetic.
  std::unique_ptr<float[]> padded;
  size_t padded_size = 0;
  if (p >= 0) {
    const size_t side = 2 * static_cast<size_t>(p);
    padded_size = (d0 + side) * (d1 + side) * (d2 + side);
    padded = floats(padded_size);
    if (!padded) return Status::memory;
    const Status made =
        share_pass(n, threads, d2 + 2 * p, [&](int32_t, int32_t first, int32_t end) {
          pad_slices(noisy, d0, d1, d2, p, padded.get(), first, end);
        });
    if (made != Status::ok) return made;
  }
  // The form of the search, chosen once for the call.
  const SearchLine search_line = search_form_for(isa).line;
  // The values the deferred block sums read, shared too: the padded copy, or its squares in
  // Rician mode; all finite, or the blocks are added at once.
  std::unique_ptr<float[]> squares;
  const float* block_values = nullptr;
  if (deferred_blocks_apply(d0, d1, d2, p, params.search_radius)) {
    if (params.rician) {
      squares = floats(padded_size);
      if (!squares) return Status::memory;
    }
    // The padded volume in parts of whole padded slices; every part tells whether its values
    // are finite.
    const ptrdiff_t slice = static_cast<ptrdiff_t>(d0 + 2 * p) * (d1 + 2 * p);
    std::array<bool, kPassParts> finite{};
    const Status made =
        share_pass(n, threads, d2 + 2 * p, [&](int32_t part, int32_t first, int32_t end) {
          const ptrdiff_t from = first * slice;
          finite[part] =
              prepare_block_values(padded.get() + from, static_cast<size_t>((end - first) * slice),
                                   squares ? squares.get() + from : nullptr);
        });
    if (made != Status::ok) return made;
    if (std::all_of(finite.begin(), finite.end(), [](bool f) { return f; })) {
      block_values = params.rician ? squares.get() : padded.get();
    }
  }

  // The buffers of the line search: shared ones once, and each worker's own.
  SearchSetup setup;
  setup.padded = padded.get();
  setup.local_mean = buffers.local_mean;
  setup.local_variance = buffers.local_variance;
  setup.block_values = block_values;
  setup.centre_spans = params.mask ? spans.data() : nullptr;
  setup.plane_spans = plane_spans.empty() ? nullptr : plane_spans.data();
  setup.d0 = d0;
  setup.d1 = d1;
  setup.d2 = d2;
  setup.p = p;
  setup.search_radius = params.search_radius;
  setup.workers = workers;
  setup.denominator = weight_denominator(params.sigma, params.smoothing);
  setup.rician = params.rician;
  SearchShared shared;
  std::array<SearchScratch, kMaxWorkers> scratch;

  std::array<BlockTask, kMaxWorkers> tasks{};
  std::array<std::vector<float>, kMaxWorkers> halos;
  for (int32_t t = 0; t < workers; ++t) {
    const Slab slab = slab_of(d2, t, workers);
    BlockTask& task = tasks[t];
    task.d1 = d1;
    task.d0 = d0;
    task.d2 = d2;
    task.noisy = noisy;
    task.local_mean = buffers.local_mean;
    task.local_variance = buffers.local_variance;
    task.estimate_sum = buffers.estimate_sum;
    task.estimate_count = buffers.estimate_count;
    task.first_slice = slab.first_slice;
    task.end_slice = slab.end_slice;
    task.search_radius = params.search_radius;
    task.patch_radius = p;
    task.sigma = params.sigma;
    task.rician = params.rician;
    task.slices_done = params.slices_done;
    task.search_line = search_line;
    task.centres = params.mask ? centres.data() : nullptr;
    task.stop = &stop;
    if (p >= 0 && slab.first_slice < slab.end_slice) {
      try {
        if (shared.row_offsets.empty()) make_search_shared(setup, shared);
        task.search = make_line_search(setup, shared, scratch[t]);
      } catch (const std::bad_alloc&) {
        return Status::memory;
      }
    }
    if (slab.first_slice < slab.end_slice && p > 0) {
      task.before_slices = std::min(p, slab.first_slice);
      task.after_slices = std::min(p, d2 - slab.end_slice);
    }
    const ptrdiff_t before = task.before_slices * plane;
    const ptrdiff_t after = task.after_slices * plane;
    try {
      halos[t].assign(static_cast<size_t>(2 * (before + after)), 0.0f);
    } catch (const std::bad_alloc&) {
      return Status::memory;
    }
    float* halo = halos[t].data();
    task.before_sum = halo;
    task.before_count = halo + before;
    task.after_sum = halo + 2 * before;
    task.after_count = halo + 2 * before + after;
  }

  // The passes over the whole volume are shared by the threads, slice by slice (the maximum
  // part by part, the parts' maxima combined by the same rule); the interrupt is asked between
  // them, as the workers ask it.
  std::array<float, kPassParts> part_max{};
  // The sums and counts start at zero wherever a block can reach (with a mask, the span of each
  // line that the centres' blocks reach; nothing else of them is touched).
  Status pass = share_pass(n, threads, d2, [&](int32_t, int32_t first, int32_t end) {
    const ptrdiff_t from = first * plane, count = (end - first) * plane;
    if (!params.mask) {
      std::fill(buffers.out + from, buffers.out + from + count, 0.0f);
      std::fill(buffers.estimate_sum + from, buffers.estimate_sum + from + count, 0.0f);
      std::fill(buffers.estimate_count + from, buffers.estimate_count + from + count, 0.0f);
      return;
    }
    for (ptrdiff_t line = static_cast<ptrdiff_t>(first) * d1; line < end * d1; ++line) {
      const Span span = block_spans[line];
      std::fill(buffers.estimate_sum + line * d0 + span.lo,
                buffers.estimate_sum + line * d0 + std::max(span.lo, span.hi), 0.0f);
      std::fill(buffers.estimate_count + line * d0 + span.lo,
                buffers.estimate_count + line * d0 + std::max(span.lo, span.hi), 0.0f);
    }
  });
  if (pass != Status::ok) return pass;
  if (stop_requested(params.interrupt)) return Status::stopped;
  // With a mask, the statistics only where the search reads them, each voxel's variance from
  // its own mean, made just before it; the maximum is the whole volume's all the same.
  pass = share_pass(n, threads, d2, [&](int32_t part, int32_t first, int32_t end) {
    if (params.mask) {
      for (int32_t z = first; z < end; ++z) {
        for (int32_t y = 0; y < d1; ++y) {
          const Span span = stat_spans[static_cast<size_t>(z) * d1 + y];
          if (span.lo >= span.hi) continue;
          local_mean_line(noisy, buffers.local_mean, d0, d1, d2, y, z, span.lo, span.hi);
          local_variance_line(noisy, buffers.local_mean, buffers.local_variance, d0, d1, d2, y, z,
                              span.lo, span.hi);
        }
      }
    } else {
      local_mean_slices(noisy, buffers.local_mean, d0, d1, d2, first, end);
    }
    part_max[part] =
        larger_max(0.0f, noisy + first * plane, static_cast<int32_t>((end - first) * plane));
  });
  if (pass != Status::ok) return pass;
  float own_max = 0.0f;
  for (const float m : part_max) own_max = larger_max(own_max, &m, 1);
  const float max = params.maximum.value_or(own_max);
  if (stop_requested(params.interrupt)) return Status::stopped;
  if (!params.mask) {
    pass = share_pass(n, threads, d2, [&](int32_t, int32_t first, int32_t end) {
      local_variance_slices(noisy, buffers.local_mean, buffers.local_variance, d0, d1, d2, first,
                            end);
    });
    if (pass != Status::ok) return pass;
  }
  for (int32_t t = 0; t < workers; ++t) tasks[t].search.max = max;

  // Rings of weights shared by the pairs of centres (see LineSearch), one for each thread that
  // runs workers while the budget lasts. The rings only save work: without them the bits are
  // the same.
  std::array<std::unique_ptr<float[]>, kMaxWorkers> rings;
  std::array<std::unique_ptr<uint8_t[]>, kMaxWorkers> searched;
  const int32_t pair_lines = static_cast<int32_t>(pairs.lines);
  for (int32_t k = 0; k < pairs.count; ++k) {
    rings[k] = floats(static_cast<size_t>(pairs.floats));
    searched[k] = std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[pair_lines]);
    if (!rings[k] || !searched[k]) {
      rings[k] = nullptr;  // the threads without a ring search alone
      break;
    }
  }
  const Status run =
      run_slabs(workers, threads, stop, params.interrupt, [&](int32_t slab, int32_t thread) {
        LineSearch& s = tasks[slab].search;
        s.pair_rows = rings[thread].get();
        s.pair_searched = searched[thread].get();
        s.pair_lines = pair_lines;
        s.pair_depth = pairs.depth;
        s.pair_first_slice = tasks[slab].first_slice;
        ThreadFunc(&tasks[slab]);
      });
  if (run != Status::ok) return run;

  // The workers' border slices, added slice by slice in slab order (each slice gets its
  // additions in the same order whichever thread makes them), then the averages: a voxel that
  // no block reached keeps its noisy value, and so does one outside the mask.
  const Span* merged = params.mask ? block_spans.data() : nullptr;
  return share_pass(n, threads, d2, [&](int32_t, int32_t first, int32_t end) {
    for (int32_t t = 0; t < workers; ++t) {
      const BlockTask& task = tasks[t];
      merge(buffers.estimate_sum, buffers.estimate_count, task.first_slice - task.before_slices,
            task.before_slices, first, end, d0, d1, task.before_sum, task.before_count, merged);
      merge(buffers.estimate_sum, buffers.estimate_count, task.end_slice, task.after_slices, first,
            end, d0, d1, task.after_sum, task.after_count, merged);
    }
    const ptrdiff_t from = first * plane, to = end * plane;
    if (!params.mask) {
      for (ptrdiff_t i = from; i < to; ++i) {
        const float c = buffers.estimate_count[i];
        buffers.out[i] = c != 0.0f ? buffers.estimate_sum[i] / c : noisy[i];
      }
      return;
    }
    // Every mask voxel lies in its line's block span; the others keep their noisy value.
    std::copy(noisy + from, noisy + to, buffers.out + from);
    for (ptrdiff_t line = static_cast<ptrdiff_t>(first) * d1; line < end * d1; ++line) {
      const Span span = block_spans[line];
      for (ptrdiff_t i = line * d0 + span.lo; i < line * d0 + span.hi; ++i) {
        const float c = buffers.estimate_count[i];
        if (params.mask[i] != 0 && c != 0.0f) buffers.out[i] = buffers.estimate_sum[i] / c;
      }
    }
  });
}

Status filter(const float* noisy, const Extents& extents, const Params& params, float* out) {
  return filter_with(best_isa(), noisy, extents, params, out);
}

Status filter_with(Isa isa, const float* noisy, const Extents& extents, const Params& params,
                   float* out, bool pair_rings) {
  const std::optional<int32_t> count = voxel_count(extents.d0, extents.d1, extents.d2);
  if (!count) return Status::invalid;
  const size_t n = static_cast<size_t>(*count);
  if (n == 0) return Status::ok;
  // Not zeroed: every pass writes the elements it reads first (with a mask, the local statistics
  // are neither written nor read far from it, and their pages are never touched).
  const std::unique_ptr<float[]> scratch = floats(4 * n);
  if (!scratch) return Status::memory;
  float* s = scratch.get();
  return filter_with(isa, noisy, extents, params, Buffers{out, s, s + n, s + 2 * n, s + 3 * n},
                     pair_rings);
}

}  // namespace volnlm::blockdenoise
