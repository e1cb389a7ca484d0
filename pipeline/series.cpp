// Series of volumes: sigma per volume and volume-by-volume denoising.
#include "pipeline/series.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <utility>

#include "common/text.h"

namespace volnlm::pipeline {

namespace {

size_t volume_offset(const Extents& extents, int64_t k) {
  return static_cast<size_t>(voxel_count(extents)) * static_cast<size_t>(k);
}

}  // namespace

const char* sigma_source_name(SigmaSource source) {
  switch (source) {
    case SigmaSource::given:
      return "given";
    case SigmaSource::estimated:
      return "estimated";
    case SigmaSource::estimated_shared:
      return "estimated-shared";
  }
  return "";
}

SigmaSource sigma_source(const SeriesSigma& sigma) {
  if (!sigma.given.empty()) return SigmaSource::given;
  return sigma.shared ? SigmaSource::estimated_shared : SigmaSource::estimated;
}

std::optional<ArgError> check_series_sigma(const SeriesSigma& sigma, int64_t volumes) {
  for (size_t k = 0; k < sigma.given.size(); ++k) {
    const double v = sigma.given[k];
    if (!(std::isfinite(v) && v >= 0.0)) {
      const std::string which =
          sigma.given.size() > 1 ? " (value " + std::to_string(k + 1) + ")" : "";
      return ArgError{"sigma",
                      "sigma must be a finite number of 0 or more; got " + number_text(v) + which};
    }
  }
  if (sigma.given.size() > 1 && static_cast<int64_t>(sigma.given.size()) != volumes) {
    return ArgError{"sigmaCount", "sigma has " + std::to_string(sigma.given.size()) +
                                      " values but the series has " + std::to_string(volumes) +
                                      " volumes; give one value, or one per volume"};
  }
  if (sigma.shared && !sigma.given.empty()) {
    return ArgError{"sharedSigma",
                    "a shared sigma is estimated from the series; it cannot be combined with a "
                    "given sigma"};
  }
  return std::nullopt;
}

namespace {

// Median of `values` (the mean of the two middle ones for an even count); 0 when empty.
double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

}  // namespace

double shared_sigma(const std::vector<SigmaEstimate>& estimates) {
  std::vector<std::pair<double, int64_t>> weighted;
  std::vector<double> plain;
  for (const SigmaEstimate& e : estimates) {
    if (!(e.sigma > 0.0)) continue;
    plain.push_back(e.sigma);
    if (!e.rayleigh && e.blocks > 0) weighted.emplace_back(e.sigma, e.blocks);
  }
  if (weighted.empty()) return median(std::move(plain));
  std::sort(weighted.begin(), weighted.end());
  int64_t total = 0;
  for (const auto& w : weighted) total += w.second;
  // The value at which the weight below and above are both at most half; when the weight
  // below reaches exactly half, the mean of it and the next, as for an even count.
  int64_t below = 0;
  for (size_t k = 0; k < weighted.size(); ++k) {
    below += weighted[k].second;
    if (2 * below > total) return weighted[k].first;
    if (2 * below == total) return 0.5 * (weighted[k].first + weighted[k + 1].first);
  }
  return weighted.back().first;
}

const uint8_t* series_mask(const double* first_volume, const Extents& extents, int64_t volumes,
                           const Options& options, std::vector<uint8_t>& own) {
  if (options.mask) return options.mask;
  if (!options.auto_mask || volumes <= 0 || voxel_count(extents) <= 0) return nullptr;
  own = head_mask(first_volume, extents, options.threads);
  return own.data();
}

std::vector<SigmaEstimate> estimate_sigma_series(const double* series, const Extents& extents,
                                                 int64_t volumes, bool rician,
                                                 const uint8_t* mask) {
  std::vector<SigmaEstimate> estimates(static_cast<size_t>(std::max<int64_t>(volumes, 0)));
  for (int64_t k = 0; k < volumes; ++k) {
    estimates[k] = estimate_sigma_detail(series + volume_offset(extents, k), extents, rician, mask);
  }
  return estimates;
}

std::vector<double> series_sigmas(const SeriesSigma& sigma, int64_t volumes,
                                  const std::vector<SigmaEstimate>& estimates) {
  const auto count = static_cast<size_t>(std::max<int64_t>(volumes, 0));
  if (sigma.given.size() == 1) return std::vector<double>(count, sigma.given[0]);
  if (!sigma.given.empty()) return sigma.given;
  if (sigma.shared) return std::vector<double>(count, shared_sigma(estimates));
  std::vector<double> own;
  for (const SigmaEstimate& e : estimates) own.push_back(e.sigma);
  return own;
}

std::vector<double> series_sigmas(const double* series, const Extents& extents, int64_t volumes,
                                  bool rician, const SeriesSigma& sigma,
                                  std::vector<double>* estimates, const uint8_t* mask) {
  std::vector<SigmaEstimate> made;
  if (sigma.given.empty()) made = estimate_sigma_series(series, extents, volumes, rician, mask);
  std::vector<double> sigmas = series_sigmas(sigma, volumes, made);
  if (estimates) {
    estimates->clear();
    for (const SigmaEstimate& e : made) estimates->push_back(e.sigma);
  }
  return sigmas;
}

Status denoise_series(const double* series, const Extents& extents, int64_t volumes,
                      const Options& options, const SeriesSigma& sigma, double* out,
                      SeriesResolved* resolved) {
  // options.sigma must be empty: the sigma comes from `sigma`.
  if (options.sigma || check_options(extents, options) || check_series_sigma(sigma, volumes))
    return Status::invalid;
  SeriesResolved used;
  Options run = options;
  // One mask serves every volume; the automatic one is made from the first volume.
  std::vector<uint8_t> own_mask;
  try {
    run.mask = series_mask(series, extents, volumes, options, own_mask);
  } catch (const std::bad_alloc&) {
    return Status::memory;
  }
  // A shared estimate needs every volume's estimate first; a per-volume one is made by each
  // volume's own call, as a 3-D call would make it.
  if (sigma.given.empty() && sigma.shared) {
    used.sigma =
        series_sigmas(series, extents, volumes, options.rician, sigma, &used.estimates, run.mask);
  } else if (!sigma.given.empty()) {
    used.sigma = series_sigmas(sigma, volumes, {});
  }
  const bool per_volume_estimate = used.sigma.empty();
  used.sigma.resize(static_cast<size_t>(std::max<int64_t>(volumes, 0)));
  used.scale.resize(used.sigma.size());
  for (int64_t k = 0; k < volumes; ++k) {
    if (!per_volume_estimate) run.sigma = used.sigma[k];
    Resolved r;
    const size_t offset = volume_offset(extents, k);
    const Status status = denoise(series + offset, extents, run, out + offset, &r);
    if (status != Status::ok) return status;
    used.sigma[k] = r.sigma;
    used.scale[k] = r.scale;
    used.patch_radius.push_back(r.patch_radius);
    used.smoothing.push_back(static_cast<double>(r.smoothing));
    used.params = r;
    used.params.mask_auto = !options.mask && options.auto_mask;
  }
  if (volumes <= 0) used.params = resolve_options(options);
  if (resolved) *resolved = std::move(used);
  return Status::ok;
}

}  // namespace volnlm::pipeline
