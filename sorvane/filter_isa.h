// The filter with the instruction set of its four-lane pair loop named by the caller. The public
// `filter` passes best_isa(); tests pass each supported one in turn. Every choice gives the
// same bits; one this processor does not run falls back to the widest narrower one it does.
#pragma once

#include "common/isa.h"
#include "sorvane/sorvane.h"

namespace volnlm::sorvane {

Status filter_with(Isa isa, const double* noisy, const double* guide, const Extents& extents,
                   const Params& params, const Buffers& buffers);

Status filter_with(Isa isa, const double* noisy, const double* guide, const Extents& extents,
                   const Params& params, double* out);

}  // namespace volnlm::sorvane
