// MEX entry of the blockwise filter:
//   result = blockdenoise(noisy, search_radius, patch_radius, sigma, smoothing, rician)
// It only checks and converts the arguments, creates the arrays through the host and calls
// the core; every rule of the filter lives in the core. A shortage of memory anywhere in the
// call ends in the "memory" host error.
#include "blockdenoise/blockdenoise.h"
#include "common/scalar.h"
#include "mex.h"
#include "mex/args.h"

namespace {

constexpr const char* kUsage =
    "result = blockdenoise(noisy, search_radius, patch_radius, sigma, smoothing, rician)";

void filter_call(const volnlm::mex::Gateway& gate, int nlhs, mxArray* plhs[], int nrhs,
                 const mxArray* prhs[]) {
  using namespace volnlm;
  gate.check_counts(nlhs, nrhs, 6, kUsage);

  const mex::VolumeArg noisy =
      gate.volume(prhs[0], mxSINGLE_CLASS, "the noisy volume (argument 1)", "noisy");
  blockdenoise::Params params;
  params.search_radius = gate.int_scalar(prhs[1], "the search radius (argument 2)", "searchRadius");
  params.patch_radius = gate.int_scalar(prhs[2], "the patch radius (argument 3)", "patchRadius");
  params.sigma = round_to_float(gate.finite_scalar(prhs[3], "sigma (argument 4)", "sigma"));
  params.smoothing =
      round_to_float(gate.finite_scalar(prhs[4], "the smoothing factor (argument 5)", "smoothing"));
  params.rician = gate.int_scalar(prhs[5], "the Rician flag (argument 6)", "rician") > 0;
  if (const auto error = blockdenoise::check_params(noisy.extents, params)) gate.fail(*error);

  const mxClassID class_id = mxGetClassID(prhs[0]);
  plhs[0] = gate.create(noisy, class_id);
  if (noisy.count == 0) return;
  mxArray* scratch[4];
  for (mxArray*& array : scratch) array = gate.create(noisy, class_id);

  const auto floats = [](const mxArray* a) { return static_cast<float*>(mxGetData(a)); };
  const blockdenoise::Buffers buffers{floats(plhs[0]), floats(scratch[0]), floats(scratch[1]),
                                      floats(scratch[2]), floats(scratch[3])};
  gate.report(blockdenoise::filter(floats(prhs[0]), noisy.extents, params, buffers));
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  const volnlm::mex::Gateway gate("blockdenoise");
  gate.run([&] { filter_call(gate, nlhs, plhs, nrhs, prhs); });
}
