// The record of a run (pipeline/record.h) as a MATLAB/Octave value, with the keys every front
// end uses: an object becomes a 1x1 struct whose fields are its keys in order, a list of numbers
// a double column vector (a scalar for one value), a list of objects with the same keys a struct
// column, any other list a cell column, text a char row, true/false a logical scalar, an integer
// or number a double scalar, null the empty double [].
#pragma once

#include "mex.h"
#include "pipeline/record.h"

namespace volnlm::mex {

// Creates the value through the host (whose own out-of-memory error may end the call).
mxArray* to_mx(const pipeline::Value& value);

}  // namespace volnlm::mex
