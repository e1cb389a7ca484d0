// Local mean of the guide: the similarity feature that the pair weights compare.
#pragma once

#include <cstdint>

namespace volnlm::sorvane {

// Fills guide_mean (d0 * d1 * d2 doubles, x fastest) with, for every voxel, one eighth of the
// sum of its own value, counted twice, and its six face neighbours. Neighbours past a border
// follow mirror_index: below the volume the border voxel is not repeated, above it it is.
void guide_local_mean(const double* guide, double* guide_mean, int32_t d0, int32_t d1, int32_t d2);

// The same for the slices z_first .. z_end - 1 of guide_mean alone (their neighbours in the
// guide are read wherever they lie), so that slabs can be filled on separate threads.
void guide_local_mean_slices(const double* guide, double* guide_mean, int32_t d0, int32_t d1,
                             int32_t d2, int32_t z_first, int32_t z_end);

// The same for voxels x_lo .. x_hi - 1 of line (y, z) alone.
void guide_local_mean_line(const double* guide, double* guide_mean, int32_t d0, int32_t d1,
                           int32_t d2, int32_t y, int32_t z, int32_t x_lo, int32_t x_hi);

}  // namespace volnlm::sorvane
