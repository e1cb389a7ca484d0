// MEX entry of the voxelwise guided filter:
//   result = sorvane(noisy, search_radius, second_radius, sigma, guide, rician)
// It only checks and converts the arguments, creates the arrays through the host and calls
// the core; every rule of the filter lives in the core. A shortage of memory anywhere in the
// call ends in the "memory" host error.
#include "mex.h"
#include "mex/args.h"
#include "sorvane/sorvane.h"

namespace {

constexpr const char* kUsage =
    "result = sorvane(noisy, search_radius, second_radius, sigma, guide, rician)";

void filter_call(const volnlm::mex::Gateway& gate, int nlhs, mxArray* plhs[], int nrhs,
                 const mxArray* prhs[]) {
  using namespace volnlm;
  gate.check_counts(nlhs, nrhs, 6, kUsage);

  const mex::VolumeArg noisy =
      gate.volume(prhs[0], mxDOUBLE_CLASS, "the noisy volume (argument 1)", "noisy");
  sorvane::Params params;
  params.search_radius = gate.int_scalar(prhs[1], "the search radius (argument 2)", "searchRadius");
  params.second_radius =
      gate.lenient_int_scalar(prhs[2], "the second radius (argument 3)", "secondRadius");
  params.sigma = gate.finite_scalar(prhs[3], "sigma (argument 4)", "sigma");
  const mex::VolumeArg guide =
      gate.volume(prhs[4], mxDOUBLE_CLASS, "the guide (argument 5)", "guide");
  params.rician = gate.int_scalar(prhs[5], "the Rician flag (argument 6)", "rician") != 0;

  const Extents& n = noisy.extents;
  if (const auto error =
          sorvane::check_guide(n, guide.extents, "the guide (argument 5)", "the noisy volume"))
    gate.fail(*error);
  if (const auto error = sorvane::check_params(params)) gate.fail(*error);

  plhs[0] = gate.create(noisy, mxDOUBLE_CLASS);
  if (noisy.count == 0) return;
  mxArray* guide_mean = gate.create(noisy, mxDOUBLE_CLASS);
  mxArray* weight_sum = gate.create(noisy, mxDOUBLE_CLASS);

  const sorvane::Buffers buffers{static_cast<double*>(mxGetData(plhs[0])),
                                 static_cast<double*>(mxGetData(guide_mean)),
                                 static_cast<double*>(mxGetData(weight_sum))};
  const Status status =
      sorvane::filter(static_cast<const double*>(mxGetData(prhs[0])),
                      static_cast<const double*>(mxGetData(prhs[4])), n, params, buffers);
  gate.report(status);
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  const volnlm::mex::Gateway gate("sorvane");
  gate.run([&] { filter_call(gate, nlhs, plhs, nrhs, prhs); });
}
