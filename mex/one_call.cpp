#include "mex/one_call.h"

#include <utility>

namespace volnlm::mex {

namespace {

// The noise models' names, as the record and the command line spell them.
constexpr const char* kRicianName = "rician";
constexpr const char* kGaussianName = "gaussian";

// The option each reason of the pipeline's checks concerns.
constexpr std::pair<const char*, const char*> kOptionOfReason[] = {
    {"sigma", "Sigma"},
    {"sigmaCount", "Sigma"},
    {"sharedSigma", "SharedSigma"},
    {"method", "Method"},
    {"searchRadius", "SearchRadius"},
    {"patchRadius", "PatchRadius"},
    {"smoothing", "Smoothing"},
    {"guidedSearchRadius", "GuidedSearchRadius"},
};

}  // namespace

std::vector<NameValueOption> noise_and_mask_options(const Gateway& gate, const SeriesArg& series,
                                                    NoiseChoice& noise, MaskChoice& mask) {
  return {
      {"Noise",
       [&gate, &noise](const mxArray* a) {
         const std::string name = lower_text_value(gate, a, "option 'Noise'", "noise");
         if (name != kRicianName && name != kGaussianName) {
           gate.fail("noise", std::string("option 'Noise' must be '") + kRicianName + "' or '" +
                                  kGaussianName + "'; got '" + name + "'");
         }
         noise.noise = name == kRicianName;
       }},
      {"Rician",
       [&gate, &noise](const mxArray* a) {
         noise.rician = flag_value(gate, a, "option 'Rician'", "noise");
       }},
      {"Mask",
       [&gate, &series, &mask](const mxArray* a) {
         mask = MaskChoice{};
         if (text_of(a)) {
           const std::string text = lower_text_value(gate, a, "option 'Mask'", "mask");
           if (text != "auto") {
             gate.fail("mask",
                       "option 'Mask' must be an array of the volume's shape or 'auto'; "
                       "got '" +
                           text + "'");
           }
           mask.automatic = true;
         } else if (mxGetNumberOfElements(a) > 0 || !is_real_numeric(a)) {
           mask.voxels = mask_voxels(gate, a, series, "option 'Mask'");
         }
       }},
  };
}

bool rician_of(const Gateway& gate, const NoiseChoice& noise) {
  if (noise.noise && noise.rician && *noise.noise != *noise.rician) {
    gate.fail("noise", std::string("options 'Noise' and 'Rician' disagree: 'Noise' is '") +
                           (*noise.noise ? kRicianName : kGaussianName) + "' but 'Rician' is " +
                           (*noise.rician ? "true" : "false") + "; give one of them");
  }
  if (noise.noise) return *noise.noise;
  if (noise.rician) return *noise.rician;
  return pipeline::Options{}.rician;
}

void warn_empty_mask(bool automatic, bool estimate) {
  mexWarnMsgIdAndTxt(
      "volnlm:emptyMask", "%s holds no voxel: %s",
      automatic ? "the automatic mask ('Mask', 'auto'), made from the volume," : "the mask",
      estimate ? "the estimate is 0" : "nothing is filtered and the output is the input");
}

void fail_option(const Gateway& gate, const ArgError& error) {
  for (const auto& [reason, option] : kOptionOfReason) {
    if (error.reason == reason) {
      gate.fail(error.reason, std::string("option '") + option + "': " + error.message);
    }
  }
  gate.fail(error);
}

}  // namespace volnlm::mex
