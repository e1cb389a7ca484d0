// 4-D series [x, y, z, volume]: the volumes lie one after another, each x fastest. Sigma per
// volume (given, estimated per volume, or one shared estimate for the series) and denoising
// volume by volume, each volume exactly as a 3-D call would do it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/status.h"
#include "pipeline/pipeline.h"

namespace volnlm::pipeline {

// Where each volume's sigma comes from.
struct SeriesSigma {
  // Empty: estimated. One value: every volume. Otherwise exactly one value per volume.
  std::vector<double> given;
  // With an estimated sigma: one sigma for the whole series, shared_sigma() of the per-volume
  // estimates, instead of each volume's own.
  bool shared = false;
};

enum class SigmaSource {
  given,
  estimated,         // each volume's own estimate
  estimated_shared,  // one estimate for the series
};

// What sigma_source() calls each choice in reports: "given", "estimated", "estimated-shared".
const char* sigma_source_name(SigmaSource source);
SigmaSource sigma_source(const SeriesSigma& sigma);

// Checks the choice against the number of volumes: every given value finite and not negative,
// one value or one per volume, and shared only with an estimated sigma.
std::optional<ArgError> check_series_sigma(const SeriesSigma& sigma, int64_t volumes);

// The one sigma for a series from its volumes' estimates: their median weighted by the number of
// blocks each estimate rests on, so that the volumes with the most evidence (bright volumes,
// whose estimate rests on many bright blocks) count most and a dim volume's uncertain estimate
// counts little. Rician estimates that fell back to the Rayleigh factor count only when no
// volume has a better one; then, as for volumes without any usable block, the plain median of
// the nonzero estimates is taken. 0 when no volume has noise or there are no volumes.
double shared_sigma(const std::vector<SigmaEstimate>& estimates);

// The one mask every volume of a series is worked with: options.mask when given, else with
// options.auto_mask the head_mask() of the first volume (`first_volume`, kept in `own`), else
// null (also for a series without volumes or voxels). Throws std::bad_alloc when memory is short.
const uint8_t* series_mask(const double* first_volume, const Extents& extents, int64_t volumes,
                           const Options& options, std::vector<uint8_t>& own);

// Each volume's own estimate, estimate_sigma() of volume k read in place (no copy), from the
// voxels inside `mask` (one 3-D mask for every volume) when one is given.
std::vector<SigmaEstimate> estimate_sigma_series(const double* series, const Extents& extents,
                                                 int64_t volumes, bool rician,
                                                 const uint8_t* mask = nullptr);

// The sigma of every volume as the choice says, estimating from `series` where needed. When
// `estimates` is given it receives the per-volume estimates the choice rested on (empty when
// sigma was given). The choice must have passed check_series_sigma().
std::vector<double> series_sigmas(const double* series, const Extents& extents, int64_t volumes,
                                  bool rician, const SeriesSigma& sigma,
                                  std::vector<double>* estimates = nullptr,
                                  const uint8_t* mask = nullptr);

// The same from estimates the caller made (for a reader that sees one volume at a time).
std::vector<double> series_sigmas(const SeriesSigma& sigma, int64_t volumes,
                                  const std::vector<SigmaEstimate>& estimates);

// What a series run used: the filter parameters (Resolved's sigma and scale of the last
// volume), and sigma and the unit scale per volume.
struct SeriesResolved {
  Resolved params;
  std::vector<double> sigma;
  std::vector<double> scale;
  std::vector<double> estimates;  // per-volume estimates behind a shared sigma, else empty
  // The block filter's patch radius and smoothing per volume: their defaults follow each volume's
  // noise, so a series whose volumes differ in noise (a diffusion series' b0 and weighted
  // volumes) is filtered with each volume's own, as a 3-D call on that volume would be.
  std::vector<int32_t> patch_radius;
  std::vector<double> smoothing;
};

// Denoises every volume of `series` into `out` (volumes * voxel_count(extents) doubles each):
// volume k is denoise() of volume k with options.sigma set to its sigma, so its bits equal a
// 3-D call's on that volume with that sigma. options.sigma must be empty (the sigma comes from
// `sigma`). Memory beyond the input and output: one volume's working buffers. Options that fail
// check_options or check_series_sigma, or a sigma in `options`, give Status::invalid and touch
// nothing.
Status denoise_series(const double* series, const Extents& extents, int64_t volumes,
                      const Options& options, const SeriesSigma& sigma, double* out,
                      SeriesResolved* resolved = nullptr);

}  // namespace volnlm::pipeline
