// Operations on the cubic neighbourhood of side 2p + 1 around a voxel: the weighted
// accumulation of a block and the write-back of a finished block estimate (the patch distances
// are made by the line search, see box_distances). The accumulator holds (2p + 1)^3 floats,
// offset (dx, dy, dz) at (dz + p) * (2p + 1)^2 + (dy + p) * (2p + 1) + (dx + p).
#pragma once

#include <cstdint>

namespace volnlm::blockdenoise {

// Number of elements of a block of radius p: (2p + 1)^3, or 0 for a negative p.
// The caller keeps (2p + 1)^3 within int32 range.
int32_t block_elements(int32_t p);

// Adds weight times the block around (x, y, z) into block_accum (the squares of the values in
// Rician mode). Offsets that fall outside the volume take the value at (x, y, z) itself.
void Average_block(const float* noisy, int32_t x, int32_t y, int32_t z, int32_t p,
                   float* block_accum, float weight, int32_t d0, int32_t d1, int32_t d2,
                   bool rician);

// Where one worker's block estimates go. Slices first_slice .. end_slice - 1 of the whole-volume
// arrays `sum` and `count` are added to in place; the `before_slices` slices just below
// first_slice and the `after_slices` slices from end_slice on go to private buffers, each laid
// out like consecutive slices of the volume, starting with the lowest slice.
struct EstimateSink {
  float* sum = nullptr;
  float* count = nullptr;
  int32_t first_slice = 0;
  int32_t end_slice = 0;
  float* before_sum = nullptr;
  float* before_count = nullptr;
  int32_t before_slices = 0;
  float* after_sum = nullptr;
  float* after_count = nullptr;
  int32_t after_slices = 0;
};

// Adds the block estimate block_accum / total_weight into every voxel of the block around the
// centre (x, y, z) that lies inside the volume, and 1 into its count. In Rician mode each value
// is sqrt(block_accum / total_weight - rician_bias), or 0 where that is not positive; the count
// grows all the same. Every slice the block reaches must be covered by the sink.
void Value_block(const EstimateSink& sink, int32_t x, int32_t y, int32_t z, int32_t p,
                 float total_weight, float rician_bias, const float* block_accum, int32_t d0,
                 int32_t d1, int32_t d2, bool rician);

// The last steps of a line of centres (fixed y and z), all centres x of the line at once:
// accum holds (2p + 1)^3 rows of d0 floats, element e of centre x at e * d0 + x. Adds each
// centre's own block with its centre weight as Average_block does, then writes each centre's
// block estimate with its total weight as Value_block does, skipping the centres whose byte
// in `centres` is 0 when that is given. Every voxel receives the same additions in the same
// order as those two calls made centre after centre in x would give it. Only the centres
// x_lo .. x_hi - 1 are worked (the rest of accum is not read): with `centres`, a span that holds
// all of the line's centres; without, 0 .. d0.
void finish_line(const EstimateSink& sink, const float* noisy, int32_t y, int32_t z, int32_t p,
                 const float* centre_weight, const float* total_weight, float rician_bias,
                 float* accum, const uint8_t* centres, int32_t d0, int32_t d1, int32_t d2,
                 bool rician, int32_t x_lo, int32_t x_hi);

}  // namespace volnlm::blockdenoise
