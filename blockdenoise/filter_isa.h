// The filter with the instruction set of its candidate search chosen by the caller: the public
// entry takes the widest one this processor runs; tests take each in turn. Every instruction
// set gives the same bits.
#pragma once

#include "blockdenoise/blockdenoise.h"
#include "common/isa.h"

namespace volnlm::blockdenoise {

// As filter(); an instruction set this processor does not run falls back to the portable code.
Status filter_with_isa(const float* noisy, const Extents& extents, const Params& params,
                       const Buffers& buffers, Isa isa);

// The same, taking the scratch volumes itself.
Status filter_with_isa(const float* noisy, const Extents& extents, const Params& params, float* out,
                       Isa isa);

}  // namespace volnlm::blockdenoise
