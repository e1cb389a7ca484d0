// MEX entry of the one call, the pipeline the Python module and the command line run:
//   out = volnlm_denoise(noisy, Name, Value, ...)
//   [out, info] = volnlm_denoise(...)
// noisy is a 3-D volume or a 4-D series of any real numeric class; out is double; info is the
// record of the run. The gateway reads and checks the options, converts the input and calls
// the pipeline; the defaults and every rule live there.
#include <chrono>
#include <vector>

#include "common/scalar.h"
#include "mex.h"
#include "mex/args.h"
#include "mex/name_value.h"
#include "mex/one_call.h"
#include "mex/record_struct.h"
#include "mex/series_arg.h"
#include "pipeline/pipeline.h"
#include "pipeline/record.h"
#include "pipeline/series.h"

namespace {

using namespace volnlm;

constexpr const char* kUsage =
    "out = volnlm_denoise(noisy, Name, Value, ...) or [out, info] = volnlm_denoise(...)";

// The options of a call, with the defaults of the pipeline where none is given.
struct Choice {
  pipeline::Options options;
  pipeline::SeriesSigma sigma;
  mex::NoiseChoice noise;
  mex::MaskChoice mask;
};

std::vector<mex::NameValueOption> denoise_options(const mex::Gateway& gate,
                                                  const mex::SeriesArg& series, Choice& c) {
  pipeline::Options& o = c.options;
  const auto radius = [&gate](std::optional<int32_t>& field, const char* name, const char* reason) {
    return [&gate, &field, name, reason](const mxArray* a) {
      field = mex::whole_value(gate, a, std::string("option '") + name + "'", reason);
    };
  };
  std::vector<mex::NameValueOption> options = {
      {"Sigma",
       [&gate, &c](const mxArray* a) {
         c.sigma.given = mex::numbers_value(gate, a, "option 'Sigma'", "sigma");
       }},
      {"Method",
       [&gate, &o](const mxArray* a) {
         const std::string name = mex::lower_text_value(gate, a, "option 'Method'", "method");
         const auto method = pipeline::method_from_name(name);
         if (!method) mex::fail_option(gate, pipeline::method_error(name));
         o.method = *method;
       }},
      {"SearchRadius", radius(o.search_radius, "SearchRadius", "searchRadius")},
      {"PatchRadius", radius(o.patch_radius, "PatchRadius", "patchRadius")},
      {"Smoothing",
       [&gate, &o](const mxArray* a) {
         // Rounded to single precision by the rule the Python module uses, for the same bits.
         o.smoothing =
             round_to_float(mex::number_value(gate, a, "option 'Smoothing'", "smoothing"));
       }},
      {"GuidedSearchRadius",
       radius(o.guided_search_radius, "GuidedSearchRadius", "guidedSearchRadius")},
      {"SharedSigma",
       [&gate, &c](const mxArray* a) {
         c.sigma.shared = mex::flag_value(gate, a, "option 'SharedSigma'", "sharedSigma");
       }},
      {"Threads",
       [&gate, &o](const mxArray* a) {
         // [] keeps the default; VOLNLM_NUM_THREADS, else the CPUs the process may use.
         o.threads = 0;
         if (mex::is_real_numeric(a) && mxGetNumberOfElements(a) == 0) return;
         const int32_t n = mex::whole_value(gate, a, "option 'Threads'", "numThreads");
         if (n < 1) {
           gate.fail("numThreads",
                     "option 'Threads' must be a positive whole number; got " + std::to_string(n));
         }
         o.threads = n;
       }},
  };
  for (mex::NameValueOption& option : mex::noise_and_mask_options(gate, series, c.noise, c.mask)) {
    options.push_back(std::move(option));
  }
  return options;
}

void denoise_call(const mex::Gateway& gate, int nlhs, mxArray* plhs[], int nrhs,
                  const mxArray* prhs[]) {
  const auto start = std::chrono::steady_clock::now();
  if (nrhs < 1) gate.fail("nargin", std::string("expected the noisy volume; usage: ") + kUsage);
  if (nlhs > 2) {
    gate.fail("nargout", "returns at most two outputs, but " + std::to_string(nlhs) +
                             " were requested; usage: " + kUsage);
  }
  const mex::SeriesArg series = mex::series_arg(gate, prhs[0], "the noisy volume (input 1)");
  Choice c;
  const std::vector<mex::NameValueOption> accepted = denoise_options(gate, series, c);
  mex::read_name_values(gate, prhs + 1, nrhs - 1, 2, accepted);
  pipeline::Options& options = c.options;
  options.rician = mex::rician_of(gate, c.noise);
  options.auto_mask = c.mask.automatic;
  if (!c.mask.voxels.empty()) options.mask = c.mask.voxels.data();

  // The checks the Python module makes, in its order: one sigma as a 3-D call checks it, then
  // the sigma choice against the series.
  if (c.sigma.given.size() == 1) options.sigma = c.sigma.given[0];
  if (const auto error = pipeline::check_options(series.extents, options)) {
    mex::fail_option(gate, *error);
  }
  options.sigma.reset();
  if (const auto error = pipeline::check_series_sigma(c.sigma, series.volumes)) {
    mex::fail_option(gate, *error);
  }
  std::vector<double> converted;
  const double* values = mex::series_values(series, converted);
  // A given sigma must suit each volume's values (see pipeline::sigma_range).
  for (int64_t k = 0; k < series.volumes && !c.sigma.given.empty(); ++k) {
    const double given = c.sigma.given[c.sigma.given.size() == 1 ? 0 : k];
    auto error = pipeline::check_sigma(given, values + k * series.per_volume, series.per_volume);
    if (error) {
      if (series.volumes > 1) error->message += " (volume " + std::to_string(k + 1) + ")";
      mex::fail_option(gate, *error);
    }
  }

  plhs[0] = mex::create_result(series);
  pipeline::RunRecord record;
  record.method = options.method;
  record.rician = options.rician;
  record.sigma_source = pipeline::sigma_source(c.sigma);
  gate.report(pipeline::denoise_series(values, series.extents, series.volumes, options, c.sigma,
                                       static_cast<double*>(mxGetData(plhs[0])), &record.used));

  const int64_t count = series.per_volume * series.volumes;
  if (options.rician) {
    if (const int64_t negatives = pipeline::count_negative(values, count)) {
      const std::string text =
          pipeline::negative_voxels_warning(negatives, "the noisy volume", "'Noise', 'gaussian'");
      mexWarnMsgIdAndTxt("volnlm:negativeVoxels", "%s", text.c_str());
    }
  }
  const pipeline::Resolved& used = record.used.params;
  if (used.masked && used.mask_voxels == 0) mex::warn_empty_mask(used.mask_auto, false);
  if (nlhs > 1) {
    record.mask = pipeline::mask_record(record.used.params, series.extents, "array");
    record.elapsed_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    plhs[1] = mex::to_mx(pipeline::record_value(record));
  }
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  const volnlm::mex::Gateway gate(volnlm::mex::kErrorPrefix);
  gate.run([&] { denoise_call(gate, nlhs, plhs, nrhs, prhs); });
}
