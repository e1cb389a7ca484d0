// The one call a user wants: noise estimation and denoising with sensible defaults, on top of
// the two filters. Shared by the Python module and the command-line tool.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "common/status.h"
#include "common/volume.h"

namespace volnlm::pipeline {

enum class Method {
  guided,  // blockdenoise makes the guide, then sorvane filters the input on it
  block,   // blockdenoise alone
};

struct Options {
  Method method = Method::guided;
  std::optional<double> sigma;  // noise standard deviation; estimated from the volume when empty
  bool rician = true;           // magnitude MRI: Rician noise
  std::optional<int32_t> search_radius;  // defaults chosen by measurement (see pipeline.cpp)
  std::optional<int32_t> patch_radius;
  std::optional<float> smoothing;
  std::atomic<int32_t>* slices_done = nullptr;  // progress, as in the filters' parameters
};

// Robust estimate of the noise standard deviation of `volume` (voxel_count(extents) doubles).
double estimate_sigma(const double* volume, const Extents& extents, bool rician);

// Parameters after defaults are filled in, for reporting.
struct Resolved {
  double sigma = 0.0;
  int32_t search_radius = 0;
  int32_t patch_radius = 0;
  float smoothing = 0.0f;
};

// Checks options against the extents before anything is computed.
std::optional<ArgError> check_options(const Extents& extents, const Options& options);

// Denoises `volume` into `out` (both voxel_count(extents) doubles, x fastest). `resolved`, when
// given, receives the parameters actually used.
Status denoise(const double* volume, const Extents& extents, const Options& options, double* out,
               Resolved* resolved = nullptr);

// The number of slice steps a denoise call reports through slices_done, for a progress bar.
int64_t progress_steps(const Extents& extents, const Options& options);

}  // namespace volnlm::pipeline
