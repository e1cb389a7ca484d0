// What the one-call plug-ins (volnlm_denoise, volnlm_estimate_sigma) share: the options of the
// noise model and the mask, and the host errors of the pipeline's checks under the options'
// own names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/status.h"
#include "mex/args.h"
#include "mex/name_value.h"
#include "mex/series_arg.h"
#include "pipeline/pipeline.h"

namespace volnlm::mex {

// The plug-ins' error identifiers all begin "volnlm:".
inline constexpr const char* kErrorPrefix = "volnlm";

// The noise model as 'Noise' ('rician' or 'gaussian') and 'Rician' (true or false, as Python's
// rician=) give it; both may be given when they agree.
struct NoiseChoice {
  std::optional<bool> noise;
  std::optional<bool> rician;
};

// The mask as 'Mask' gives it: an array (its voxels), 'auto', or nothing ([] or absent).
struct MaskChoice {
  bool automatic = false;
  std::vector<uint8_t> voxels;  // empty: no mask array
};

// The 'Noise', 'Rician' and 'Mask' options, storing into `noise` and `mask`.
std::vector<NameValueOption> noise_and_mask_options(const Gateway& gate, const SeriesArg& series,
                                                    NoiseChoice& noise, MaskChoice& mask);

// Whether the noise is Rician: the pipeline's default when neither option was given; "noise"
// when the two options disagree.
bool rician_of(const Gateway& gate, const NoiseChoice& noise);

// Warns "volnlm:emptyMask" that the mask (given, or the automatic one) holds no voxel, and what
// follows: the result is the input, or the estimate is 0.
void warn_empty_mask(bool automatic, bool estimate);

// Raises a pipeline check's error, its message led by the option it concerns.
[[noreturn]] void fail_option(const Gateway& gate, const ArgError& error);

}  // namespace volnlm::mex
