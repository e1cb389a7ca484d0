// The defaults of the one-call denoising: the single place every front end takes them from
// (the command line's help, the Python module's DEFAULTS and the docs cite these values).
#pragma once

#include <cstdint>
#include <iterator>
#include <limits>
#include <string>

#include "common/text.h"

namespace volnlm::pipeline {

// Defaults, chosen by measurement on the whole 1 mm T1 template ch2 (181x217x181, maximum 254)
// with seeded Rician noise of 1 to 15% of the maximum, sigma estimated, PSNR over the brain
// voxels (ch2bet > 0): python/tools/measure_defaults.py, whose table and plot are
// python/tools/defaults_study.md and .png. Guided method, blockdenoise patch radius 1, sorvane
// search radius 4 (dB at 1% / 3% / 9% / 15%; noisy 40.0 / 30.5 / 21.0 / 16.8):
//   blockdenoise R = 2, smoothing 0.6   44.92 / 39.79 / 33.95 / 30.57
//                       smoothing 0.8   44.94 / 39.70 / 34.16 / 31.12
//                       smoothing 1.0   44.88 / 39.49 / 34.17 / 31.29
//                       smoothing 1.6   44.55 / 38.89 / 34.05 / 31.39
//   blockdenoise R = 3, smoothing 1.0   44.79 / 39.09 / 33.83 / 31.27  (the previous defaults)
// Search radius 2 is better than 3 at every level, at half the cost; sorvane's radius 3 loses
// up to 0.2 dB against 4, radius 5 gains at most 0.1 dB at twice the cost. The guide's patch
// radius follows the noise (default_patch_radius below); scaling the guide against sigma (by 0.7
// to 1.5) gains at most 0.06 dB. On the 0.5 mm template ch2better the same noise ratio wants
// more smoothing and search radius 3 (0.4 dB each at 9%), which cost 0.15 to 0.35 dB here: finer
// voxels, not a noise or signal measure, make the difference, and neither sigma nor the signal
// level sees them.
inline constexpr int32_t kDefaultSearchRadius = 2;
// The patch radius outside the noise band below, and always for the block method.
inline constexpr int32_t kDefaultPatchRadius = 1;
inline constexpr int32_t kDefaultGuidedSearchRadius = 4;

// The noise ratio every noise-following default reads: sigma (given or estimated) over the
// volume's signal level, the 99th percentile of the means of its 2x2x2 blocks (signal_level() in
// pipeline.h; on the T1 template with Rician noise of 1 / 2 / 3 / 5 / 7 / 9 / 15% of its maximum
// the ratio is about 0.017 / 0.033 / 0.049 / 0.082 / 0.11 / 0.14 / 0.22). Infinite without a
// signal level.
inline double noise_ratio(double sigma, double signal) {
  return signal > 0.0 ? sigma / signal : std::numeric_limits<double>::infinity();
}

// The guide's patch radius follows the noise. For the guided method, where blockdenoise only
// makes the guide, a noise ratio in [kWidePatchNoise.low, kWidePatchNoise.high) takes patch
// radius kWidePatchRadius with smoothing kWidePatchSmoothing. On the T1 template this gains
// 0.05 / 0.22 / 0.31 / 0.27 dB at 2 / 3 / 5 / 7% of the maximum over patch radius 1 (the
// margin over the best peer then passes 1 dB at every level); patch radius 2 loses 0.15 dB at
// 1% and gains nothing from 9% on, and the guided call takes about 1.6 times as long. On the
// 0.5 mm template it changes 3 / 5 / 9% by -0.12 / +0.11 / +0.15 dB. The larger patch needs
// edges spread over a voxel or more, as every acquisition's point-spread function spreads them:
// on the demo's piecewise-constant phantom, whose edges are sharp to the voxel, it loses 1.5 /
// 0.6 / 0.5 dB at 3 / 5 / 7%, and gains 0.4 to 0.9 dB once the phantom is blurred by 0.7 voxel.
// The block method, whose result keeps the noisy blocks that straddle such an edge, would lose
// 0.7 to 3.7 dB there with patch radius 2, so it keeps kDefaultPatchRadius at every noise level.
struct NoiseBand {
  double low;
  double high;
};
inline constexpr NoiseBand kWidePatchNoise = {0.025, 0.12};
inline constexpr int32_t kWidePatchRadius = 2;
inline constexpr float kWidePatchSmoothing = 0.35f;

inline bool in_wide_patch_band(double noise_ratio) {
  return noise_ratio >= kWidePatchNoise.low && noise_ratio < kWidePatchNoise.high;
}

// The default patch radius for the method (true: guided) and noise ratio. A volume whose smallest
// extent is below the wide radius (the border rule could not serve it) keeps kDefaultPatchRadius.
inline int32_t default_patch_radius(bool guided, double noise_ratio, int32_t smallest_extent) {
  if (guided && in_wide_patch_band(noise_ratio) && smallest_extent >= kWidePatchRadius) {
    return kWidePatchRadius;
  }
  return kDefaultPatchRadius;
}

// The default smoothing follows the noise: the best smoothing grows with the noise relative to
// the signal, from about 0.6 at a few percent to over 1 at 15% of the maximum, and no single
// value is within 0.2 dB of the best at every level. The noise ratio is sigma (given or
// estimated) over signal_level(); the smoothing is interpolated linearly between these points,
// and held at the end points' values outside them.
struct SmoothingPoint {
  double noise_ratio;
  float smoothing;
};
inline constexpr SmoothingPoint kSmoothingByNoise[] = {{0.05, 0.6f}, {0.14, 0.9f}, {0.22, 1.6f}};

// The default smoothing for a noise ratio (sigma over signal_level()) with patch radius 1; a
// ratio that is not a finite number (no signal level) takes the last point's value.
inline float default_smoothing(double noise_ratio) {
  const auto& p = kSmoothingByNoise;
  constexpr size_t n = std::size(kSmoothingByNoise);
  if (!(noise_ratio < p[n - 1].noise_ratio)) return p[n - 1].smoothing;
  if (noise_ratio <= p[0].noise_ratio) return p[0].smoothing;
  size_t i = 1;
  while (noise_ratio > p[i].noise_ratio) ++i;
  const double t = (noise_ratio - p[i - 1].noise_ratio) / (p[i].noise_ratio - p[i - 1].noise_ratio);
  return static_cast<float>(p[i - 1].smoothing + t * (p[i].smoothing - p[i - 1].smoothing));
}

// The default smoothing for the patch radius used: kWidePatchSmoothing for kWidePatchRadius in
// its noise band (chosen by the rule or given), else the curve above.
inline float default_smoothing(double noise_ratio, int32_t patch_radius) {
  if (patch_radius == kWidePatchRadius && in_wide_patch_band(noise_ratio)) {
    return kWidePatchSmoothing;
  }
  return default_smoothing(noise_ratio);
}

// The rules in words, for help texts and documentation.
inline std::string noise_ratio_text() {
  return "sigma over the signal level, the 99th percentile of the means of the volume's 2x2x2 "
         "blocks";
}

inline std::string wide_patch_band_text() {
  return "from " + number_text(kWidePatchNoise.low, 6) + " up to " +
         number_text(kWidePatchNoise.high, 6);
}

inline std::string default_patch_radius_text() {
  return std::to_string(kDefaultPatchRadius) + "; with the guided method " +
         std::to_string(kWidePatchRadius) + " when the noise ratio (" + noise_ratio_text() +
         ") is " + wide_patch_band_text();
}

inline std::string default_smoothing_text() {
  const auto& p = kSmoothingByNoise;
  constexpr size_t n = std::size(kSmoothingByNoise);
  const auto value = [](float v) { return number_text(static_cast<double>(v), 6); };
  std::string text = "chosen from the noise ratio (" + noise_ratio_text() +
                     "): " + value(p[0].smoothing) + " up to " + number_text(p[0].noise_ratio, 6) +
                     ", linear";
  for (size_t i = 1; i + 1 < n; ++i) {
    text += " through " + value(p[i].smoothing) + " at " + number_text(p[i].noise_ratio, 6);
  }
  return text + " to " + value(p[n - 1].smoothing) + " at " + number_text(p[n - 1].noise_ratio, 6) +
         " and above; with patch radius " + std::to_string(kWidePatchRadius) +
         " and a noise ratio " + wide_patch_band_text() + ", " + value(kWidePatchSmoothing);
}

}  // namespace volnlm::pipeline
