#include "blockdenoise/search_buffers.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace volnlm::blockdenoise {

std::vector<Span> plane_spans_for(const std::vector<Span>& centres, int32_t d0, int32_t d1,
                                  int32_t d2, int32_t p, int32_t search_radius,
                                  int32_t pair_depth) {
  const auto hull = [](Span& into, int32_t lo, int32_t hi) {
    if (lo >= hi) return;
    if (into.lo >= into.hi) {
      into = Span{lo, hi};
    } else {
      into.lo = std::min(into.lo, lo);
      into.hi = std::max(into.hi, hi);
    }
  };
  const int64_t r = std::max(search_radius, 0);
  const auto line = [&](int64_t y, int64_t z) { return centres[z * d1 + y]; };
  // What each line u needs: its own span and its partners' spans widened by R.
  std::vector<Span> needs(centres.size(), Span{d0, d0});
  for (int64_t z = 0; z < d2; ++z) {
    for (int64_t u = 0; u < d1; ++u) {
      Span& need = needs[z * d1 + u];
      hull(need, line(u, z).lo, line(u, z).hi);
      const auto widened = [&](const Span& w) {
        if (w.lo < w.hi) hull(need, static_cast<int32_t>(w.lo - r), static_cast<int32_t>(w.hi + r));
      };
      for (int64_t v = u + 1; v <= std::min<int64_t>(d1 - 1, u + r); ++v) widened(line(v, z));
      for (int64_t k = 1; k <= pair_depth && z + k < d2; ++k) {
        for (int64_t v = std::max<int64_t>(0, u - r); v <= std::min<int64_t>(d1 - 1, u + r); ++v) {
          widened(line(v, z + k));
        }
      }
    }
  }
  const int64_t lines = int64_t{d1} + 2 * p;
  std::vector<Span> out(static_cast<size_t>(lines * d2), Span{d0, d0});
  for (int64_t z = 0; z < d2; ++z) {
    for (int64_t y = -p; y < d1 + p; ++y) {
      Span& to = out[z * lines + y + p];
      for (int64_t u = std::max<int64_t>(0, y - p); u <= std::min<int64_t>(d1 - 1, y + p); ++u) {
        hull(to, needs[z * d1 + u].lo, needs[z * d1 + u].hi);
      }
      if (to.lo < to.hi) {
        to.lo = std::max(to.lo, 0);
        to.hi = std::min(to.hi, d0);
      }
    }
  }
  return out;
}

PairRings plan_pair_rings(int32_t d0, int32_t d1, int32_t d2, int32_t search_radius,
                          int32_t wanted) {
  PairRings plan;
  if (search_radius < 1 || search_radius > kPairMaxRadius || wanted < 1) return plan;
  const double voxels = static_cast<double>(d0) * d1 * d2;
  const double budget = std::max(kPairRingShare * voxels, kPairRingFloor);
  const int32_t deepest = std::max(1, std::min(search_radius, d2 - 1));
  for (int32_t depth = deepest; depth >= 1; --depth) {
    const int64_t lines = pair_ring_lines(d1, search_radius, depth);
    const double floats = static_cast<double>(lines) *
                          static_cast<double>(pair_backward_offsets(search_radius, depth)) * d0;
    const double fit = std::floor(budget / floats);
    if (fit >= wanted || depth == 1) {
      plan.depth = depth;
      plan.lines = lines;
      plan.floats = floats;
      plan.count = static_cast<int32_t>(std::min(fit, static_cast<double>(wanted)));
      return plan;
    }
  }
  return plan;
}

void make_search_shared(const SearchSetup& setup, SearchShared& shared) {
  const int32_t p = setup.p, side = 2 * p + 1;
  const ptrdiff_t pd0 = setup.d0 + 2 * static_cast<ptrdiff_t>(p);
  const ptrdiff_t pd1 = setup.d1 + 2 * static_cast<ptrdiff_t>(p);
  shared.row_offsets.resize(static_cast<size_t>(side) * side);
  for (int32_t ez = -p; ez <= p; ++ez) {
    for (int32_t ey = -p; ey <= p; ++ey) {
      shared.row_offsets[(ez + p) * side + (ey + p)] = pd0 * (ey + pd1 * ez);
    }
  }
  shared.offset_shifts.clear();
  shared.offset_dx.clear();
  shared.offset_dy.clear();
  shared.offset_dz.clear();
  if (!setup.block_values) return;
  const int32_t r = setup.search_radius;
  for (int32_t dz = -r; dz <= r; ++dz) {
    for (int32_t dy = -r; dy <= r; ++dy) {
      for (int32_t dx = -r; dx <= r; ++dx) {
        if (dx == 0 && dy == 0 && dz == 0) continue;
        shared.offset_shifts.push_back(dx + pd0 * (dy + pd1 * static_cast<ptrdiff_t>(dz)));
        shared.offset_dx.push_back(dx);
        shared.offset_dy.push_back(dy);
        shared.offset_dz.push_back(dz);
      }
    }
  }
}

LineSearch make_line_search(const SearchSetup& setup, const SearchShared& shared,
                            SearchScratch& scratch) {
  const int32_t d0 = setup.d0, p = setup.p, side = 2 * p + 1;
  const size_t n = static_cast<size_t>(d0);
  const size_t elements = static_cast<size_t>(side) * side * side;
  LineSearch s;
  s.padded = setup.padded;
  s.local_mean = setup.local_mean;
  s.local_variance = setup.local_variance;
  s.d0 = d0;
  s.d1 = setup.d1;
  s.d2 = setup.d2;
  s.p = p;
  s.pd0 = d0 + 2 * static_cast<ptrdiff_t>(p);
  s.pd1 = setup.d1 + 2 * static_cast<ptrdiff_t>(p);
  s.row_offsets = shared.row_offsets.data();
  s.search_radius = setup.search_radius;
  s.max = setup.max;
  s.denominator = setup.denominator;
  s.rician = setup.rician;
  s.centre_spans = setup.centre_spans;

  scratch.active.assign(n, 0);
  scratch.centre_weight.assign(n, 0.0f);
  scratch.total_weight.assign(n, 0.0f);
  scratch.accum.assign(elements * n, 0.0f);
  scratch.distances.assign(n, 0.0f);
  scratch.plane_rows.assign(static_cast<size_t>(side) * n, 0.0f);
  scratch.sum_rows.assign(static_cast<size_t>(side), nullptr);
  s.active = scratch.active.data();
  s.centre_weight = scratch.centre_weight.data();
  s.total_weight = scratch.total_weight.data();
  s.accum = scratch.accum.data();
  s.distances = scratch.distances.data();
  s.plane_rows = scratch.plane_rows.data();
  s.sum_rows = scratch.sum_rows.data();

  // The cache of plane sums saves work between neighbouring lines; it changes no sum, so
  // without it (too large, or not to be had) the search goes on making them afresh.
  const int32_t r = setup.search_radius;
  if (r > 0 && r <= kDeferredMaxRadius && p > 0) {
    const int64_t window = 2 * int64_t{r} + 1;
    const double voxels = static_cast<double>(d0) * setup.d1 * setup.d2;
    const double share = kPlaneCacheShare * voxels / setup.workers;
    const size_t budget = std::min(kPlaneCacheMaxFloats, static_cast<size_t>(share));
    const size_t per_offset = 2 * static_cast<size_t>(p) * n;
    const int64_t count =
        std::min<int64_t>(window * window * window - 1, static_cast<int64_t>(budget / per_offset));
    if (count > 0) {
      try {
        scratch.row_cache.resize(static_cast<size_t>(count) * per_offset);
        scratch.row_tags.assign(static_cast<size_t>(count) * 2 * p, int64_t{-1});
        if (setup.centre_spans) {
          scratch.row_spans.assign(static_cast<size_t>(count) * 4 * p, 0);
          s.row_spans = scratch.row_spans.data();
          s.plane_spans = setup.plane_spans;
        }
        s.row_cache = scratch.row_cache.data();
        s.row_tags = scratch.row_tags.data();
        s.cache_window = static_cast<int32_t>(window);
        s.cache_offsets = count;
      } catch (const std::bad_alloc&) {
        scratch.row_cache = {};
        scratch.row_tags = {};
        scratch.row_spans = {};
        s.row_spans = nullptr;
        s.plane_spans = nullptr;
      }
    }
  }

  // The deferred block sums only change how fast the same sums are made, so when their
  // buffers cannot be had the search adds every block at once.
  if (setup.block_values) {
    const int32_t count = static_cast<int32_t>(shared.offset_shifts.size());
    const size_t chunks = static_cast<size_t>((d0 + 7) / 8);
    try {
      scratch.deferred_weights.resize(chunks * count * 8);
      scratch.deferred_offsets.resize(chunks * count);
      scratch.deferred_count.resize(chunks);
      s.block_values = setup.block_values;
      s.offset_count = count;
      s.offset_shifts = shared.offset_shifts.data();
      s.offset_dx = shared.offset_dx.data();
      s.offset_dy = shared.offset_dy.data();
      s.offset_dz = shared.offset_dz.data();
      s.deferred_weights = scratch.deferred_weights.data();
      s.deferred_offsets = scratch.deferred_offsets.data();
      s.deferred_count = scratch.deferred_count.data();
    } catch (const std::bad_alloc&) {
      scratch.deferred_weights = {};
      scratch.deferred_offsets = {};
      scratch.deferred_count = {};
    }
  }
  return s;
}

}  // namespace volnlm::blockdenoise
