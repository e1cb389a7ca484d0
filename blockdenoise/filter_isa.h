// The filter with the instruction set of its candidate search named by the caller. The public
// `filter` passes best_isa(); tests pass each supported one in turn. Every choice gives the
// same bits; one this processor does not run falls back to the widest narrower one it does.
#pragma once

#include "blockdenoise/blockdenoise.h"
#include "common/isa.h"

namespace volnlm::blockdenoise {

// `pair_rings` false makes every centre search alone, without the weights shared by pairs of
// centres (see LineSearch): the same bits, more work; tests compare the two.
Status filter_with(Isa isa, const float* noisy, const Extents& extents, const Params& params,
                   const Buffers& buffers, bool pair_rings = true);

Status filter_with(Isa isa, const float* noisy, const Extents& extents, const Params& params,
                   float* out, bool pair_rings = true);

}  // namespace volnlm::blockdenoise
