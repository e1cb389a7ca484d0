// The pair loop, four neighbours at a time, in one portable and one
// vector form. Both make the same decisions and the same operations lane by lane, in the same
// order, so they give the same bits; the vector form is chosen at run time where it runs.
#pragma once

#include <cstdint>

#include "common/isa.h"
#include "sorvane/worker.h"

namespace volnlm::sorvane {

// Values derived once per slab from the bandwidth h and the radius R.
struct KernelConstants {
  int32_t radius = 0;
  // |mean difference| < pass_limit exactly when its whole-number magnitude d satisfies d <= h.
  double pass_limit = 0.0;
  // |mean difference| < flat_mean_limit: the mean term of the weight clamps to 0.
  double flat_mean_limit = 0.0;
  double mean_denominator = 0.0;   // 0.5 h^2
  double guide_denominator = 0.0;  // 2 h^2
  // g^2 below flat_guide_limit (a little below 2h^2) proves, without the division, that
  // g^2 / 2h^2 - 1 is not positive, so that the guide term clamps to 0.
  double flat_guide_limit = 0.0;
};

// Fills *k and returns true when the bandwidth and the radius allow the four-lane loop: a
// radius from 1 to 100, |h| below 2^20, and denominators that are normal numbers. Otherwise every
// centre takes the direct loop.
bool kernel_constants(double bandwidth, int32_t radius, KernelConstants* k);

// Pairs the centres x_first .. x_end - 1 of line (y, z), ascending when `forward`, else
// descending, with the forward half of their windows, adding into both sides. The lines must
// hold at least four voxels.
using LinePairs = void (*)(const SlabTask& task, const KernelConstants& k, int32_t y, int32_t z,
                           int32_t x_first, int32_t x_end, bool forward);

void line_pairs_portable(const SlabTask& task, const KernelConstants& k, int32_t y, int32_t z,
                         int32_t x_first, int32_t x_end, bool forward);
void line_pairs_avx2(const SlabTask& task, const KernelConstants& k, int32_t y, int32_t z,
                     int32_t x_first, int32_t x_end, bool forward);
void line_pairs_avx512(const SlabTask& task, const KernelConstants& k, int32_t y, int32_t z,
                       int32_t x_first, int32_t x_end, bool forward);

// The form for `isa`, or the portable one where the processor lacks it.
LinePairs line_pairs_for(Isa isa);

}  // namespace volnlm::sorvane
