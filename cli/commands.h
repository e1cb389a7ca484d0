// The subcommands of the volnlm tool. Each returns the process exit status or throws
// UsageError / RunError, which main turns into a message and status 2 or 1.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/gzip_members.h"
#include "common/volume.h"
#include "pipeline/pipeline.h"

namespace volnlm::cli {

struct DenoiseArgs {
  std::string in;
  std::string out;
  std::string method = pipeline::method_name(pipeline::Options{}.method);
  std::string sigma = "auto";
  std::string noise = "rician";
  std::optional<int32_t> search_radius;
  std::optional<int32_t> patch_radius;
  std::optional<int32_t> guided_search_radius;
  std::optional<double> smoothing;
  std::string guide;  // empty: the guided method makes its own guide
  std::string mask;   // empty: the whole volume; "auto": the head mask; else a NIfTI file
  std::string output_type = "float32";
  bool shared_sigma = false;           // one estimated sigma for every volume of a series
  bool sidecar = true;                 // write the JSON record next to OUT
  std::string residual;                // empty: none; else a NIfTI file for IN minus OUT (float32)
  std::optional<std::string> threads;  // --threads; none: VOLNLM_NUM_THREADS or the usable CPUs
  bool quiet = false;
  bool timings = false;                // print the wall time of each stage of the run to stderr
  int gzip_level = kGzipDefaultLevel;  // compression of .nii.gz outputs
  bool force = false;  // replace OUT even when it is the input, write-protected, or a link
};
int run_denoise(const DenoiseArgs& args);

struct EstimateArgs {
  std::string in;
  std::string mask;  // as DenoiseArgs::mask
  std::string noise = "rician";
};
int run_estimate_sigma(const EstimateArgs& args);

// "auto" gives nothing (estimate from the data); otherwise a finite number of 0 or more.
// Throws UsageError for anything else.
std::optional<double> parse_sigma(const std::string& text);

// A positive whole number of threads; throws UsageError for anything else.
int32_t parse_threads(const std::string& text);

}  // namespace volnlm::cli
