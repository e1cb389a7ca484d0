// Local mean of the guide: the similarity feature that the pair weights compare.
#pragma once

#include <cstdint>

namespace volnlm::sorvane {

// Fills guide_mean (d0 * d1 * d2 doubles, x fastest) with, for every voxel, one eighth of the
// sum of its own value, counted twice, and its six face neighbours. Neighbours past a border
// follow mirror_index: below the volume the border voxel is not repeated, above it it is.
void guide_local_mean(const double* guide, double* guide_mean, int32_t d0, int32_t d1, int32_t d2);

}  // namespace volnlm::sorvane
