// The defaults of the one-call denoising: the single place every front end takes them from
// (the command line's help, the Python module's DEFAULTS and the docs cite these values).
#pragma once

#include <cstdint>

namespace volnlm::pipeline {

// Defaults, chosen by measurement: PSNR (peak 254) over the brain voxels (ch2bet > 0) of a
// central 48^3 crop of the 1 mm T1 template ch2 (maximum 254), with seeded Rician noise of 3%
// and 9% of the maximum and the true sigma (python/tools/measure_defaults.py). Noisy input:
// 30.49 and 21.03 dB.
//   blockdenoise, patch radius 1 (dB at 3% / 9%):
//     smoothing     0.5            1.0            2.0            4.0
//     R = 2     39.09 / 31.60  39.81 / 33.20  39.45 / 33.57  38.68 / 33.55
//     R = 3     39.37 / 32.35  39.71 / 33.56  38.97 / 33.63  37.89 / 33.46
//     R = 4     39.42 / 32.59  39.50 / 33.47  38.54 / 33.37  37.32 / 33.11
//   At R = 3, patch radius 0 is far worse (at best 34.90 / 25.70) and patch radius 2 no better
//   (at best 39.57 / 33.55, smoothing 0.5) at 8 times the cost. R = 3 with smoothing 1 is within
//   0.1 dB of the best at both levels; R = 4 doubles the time.
//   guided, guide from blockdenoise R = 3, patch radius 1, smoothing 1 (smoothing 0.5 and 2 for
//   the guide are worse by 0.1-0.6 dB), then sorvane with search radius:
//     R = 1  38.31 / 31.57   R = 2  39.57 / 33.80   R = 3  39.72 / 34.15
//     R = 4  39.78 / 34.30   R = 5  39.76 / 34.33
//   sorvane's cost grows with (2R + 1)^3; R = 4 is within 0.03 dB of R = 5 at half its pairs.
inline constexpr int32_t kDefaultSearchRadius = 3;
inline constexpr int32_t kDefaultPatchRadius = 1;
inline constexpr float kDefaultSmoothing = 1.0f;
inline constexpr int32_t kDefaultGuidedSearchRadius = 4;

}  // namespace volnlm::pipeline
