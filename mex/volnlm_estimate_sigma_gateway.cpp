// MEX entry of the noise estimate the one call makes when no sigma is given:
//   sigma = volnlm_estimate_sigma(noisy, Name, Value, ...)
// noisy is a 3-D volume (sigma a scalar) or a 4-D series (sigma a column, one value per
// volume) of any real numeric class. The estimate itself lives in the pipeline.
#include <vector>

#include "common/mask.h"
#include "mex.h"
#include "mex/args.h"
#include "mex/name_value.h"
#include "mex/one_call.h"
#include "mex/series_arg.h"
#include "pipeline/pipeline.h"
#include "pipeline/series.h"

namespace {

using namespace volnlm;

constexpr const char* kUsage = "sigma = volnlm_estimate_sigma(noisy, Name, Value, ...)";

void estimate_call(const mex::Gateway& gate, int nlhs, mxArray* plhs[], int nrhs,
                   const mxArray* prhs[]) {
  if (nrhs < 1) gate.fail("nargin", std::string("expected the noisy volume; usage: ") + kUsage);
  if (nlhs > 1) {
    gate.fail("nargout", "returns one output, but " + std::to_string(nlhs) +
                             " were requested; usage: " + kUsage);
  }
  const mex::SeriesArg series = mex::series_arg(gate, prhs[0], "the noisy volume (input 1)");
  mex::NoiseChoice noise;
  mex::MaskChoice mask;
  mex::read_name_values(gate, prhs + 1, nrhs - 1, 2,
                        mex::noise_and_mask_options(gate, series, noise, mask));
  const bool rician = mex::rician_of(gate, noise);

  std::vector<double> converted;
  const double* values = mex::series_values(series, converted);
  // The automatic mask is made from the first volume and serves all, as in a denoising run.
  pipeline::Options options;
  options.auto_mask = mask.automatic;
  if (!mask.voxels.empty()) options.mask = mask.voxels.data();
  std::vector<uint8_t> own;
  const uint8_t* used = pipeline::series_mask(values, series.extents, series.volumes, options, own);
  if (used && mask_count(used, series.per_volume) == 0) mex::warn_empty_mask(mask.automatic, true);
  const std::vector<pipeline::SigmaEstimate> estimates =
      pipeline::estimate_sigma_series(values, series.extents, series.volumes, rician, used);
  mxArray* out = mxCreateDoubleMatrix(static_cast<mwSize>(estimates.size()), 1, mxREAL);
  double* sigma = static_cast<double*>(mxGetData(out));
  for (size_t k = 0; k < estimates.size(); ++k) sigma[k] = estimates[k].sigma;
  plhs[0] = out;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  const volnlm::mex::Gateway gate(volnlm::mex::kErrorPrefix);
  gate.run([&] { estimate_call(gate, nlhs, plhs, nrhs, prhs); });
}
