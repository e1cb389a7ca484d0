// One-call denoising: fills in the defaults, estimates sigma when it is not given, and runs
// the filters in the order the method names.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "blockdenoise/blockdenoise.h"
#include "common/mask.h"
#include "common/reach.h"
#include "common/scalar.h"
#include "common/slabs.h"
#include "common/text.h"
#include "common/thread_count.h"
#include "common/thread_runner.h"
#include "pipeline/defaults.h"
#include "pipeline/pipeline.h"
#include "sorvane/sorvane.h"

namespace volnlm::pipeline {

namespace {

// sorvane compares the guide's local means in whole units (their difference is truncated), so
// its result depends on the units of the volume: with sigma below a few units the comparison
// degrades (on the crop described in defaults.h, guided at R = 4 loses 0.6 dB at 9% when the volume
// is scaled to [0, 1]). The volume is therefore filtered multiplied by the power of two that brings
// sigma into [64, 128), where the truncation no longer matters (scaled by 16 instead of 1, the
// guided results above change by at most 0.07 dB), and the result is divided by it. Multiplying by
// a power of two is exact, so nothing else changes.
double scale_for(double sigma) {
  int exponent = 0;
  std::frexp(sigma, &exponent);  // sigma = m * 2^exponent, m in [0.5, 1)
  return std::ldexp(1.0, 7 - exponent);
}

blockdenoise::Params block_params(const Resolved& r, const Options& o,
                                  std::atomic<int32_t>* progress) {
  blockdenoise::Params p;
  const bool rician = o.rician;
  p.threads = o.threads;
  p.interrupt = o.interrupt;
  // The filter's own maximum is that of the scaled float volume; the scale is a power of two and
  // rounding to float keeps order, so scaling and rounding the whole volume's maximum gives the
  // value the filter would have found on the whole volume.
  if (o.maximum) p.maximum = round_to_float(*o.maximum * r.scale);
  p.search_radius = r.search_radius;
  p.patch_radius = r.patch_radius;
  p.sigma = round_to_float(r.sigma);
  p.smoothing = r.smoothing;
  p.rician = rician;
  p.slices_done = progress;
  return p;
}

sorvane::Params guided_params(const Resolved& r, const Options& o, std::atomic<int32_t>* progress) {
  sorvane::Params p;
  const bool rician = o.rician;
  p.threads = o.threads;
  p.interrupt = o.interrupt;
  p.search_radius = r.guided_search_radius;
  p.sigma = r.sigma;
  p.rician = rician;
  p.slices_done = progress;
  return p;
}

// Defaults filled in; sigma is left at 0 when it is to be estimated, and a default smoothing at
// the value for the least noise until the volume's noise ratio is known.
Resolved resolve_fixed(const Options& o) {
  Resolved r;
  r.sigma = o.sigma.value_or(0.0);
  r.search_radius = o.search_radius.value_or(kDefaultSearchRadius);
  r.patch_radius = o.patch_radius.value_or(kDefaultPatchRadius);
  r.smoothing = o.smoothing.value_or(default_smoothing(0.0));
  r.guided_search_radius = o.guided_search_radius.value_or(kDefaultGuidedSearchRadius);
  return r;
}

}  // namespace

double volume_maximum(const double* volume, int64_t count) {
  double max = 0.0;
  for (int64_t i = 0; i < count; ++i) {
    if (volume[i] > max) max = volume[i];
  }
  return max;
}

Resolved resolve_options(const Options& options) {
  return resolve_fixed(options);
}

std::optional<ArgError> check_options(const Extents& extents, const Options& options) {
  if (options.method != Method::guided && options.method != Method::block) {
    return ArgError{"method", "method must be " + std::string(kMethodChoices)};
  }
  if (options.sigma && !(std::isfinite(*options.sigma) && *options.sigma >= 0.0)) {
    return ArgError{
        "sigma", "sigma must be a finite number of 0 or more; got " + number_text(*options.sigma)};
  }
  if (options.search_radius && *options.search_radius < 1) {
    return ArgError{"searchRadius", "search_radius must be at least 1; got " +
                                        std::to_string(*options.search_radius)};
  }
  if (options.guided_search_radius && *options.guided_search_radius < 1) {
    return ArgError{"guidedSearchRadius", "guided_search_radius must be at least 1; got " +
                                              std::to_string(*options.guided_search_radius)};
  }
  if (options.patch_radius && *options.patch_radius < 0) {
    return ArgError{"patchRadius",
                    "patch_radius must be 0 or more; got " + std::to_string(*options.patch_radius)};
  }
  if (options.maximum && std::isnan(*options.maximum)) {
    return ArgError{"maximum", "maximum must be a number, not NaN"};
  }
  if (options.smoothing && !(std::isfinite(*options.smoothing) && *options.smoothing > 0.0f)) {
    return ArgError{"smoothing", "smoothing must be a finite number above 0; got " +
                                     number_text(*options.smoothing)};
  }
  // The filters' own checks, with a stand-in sigma (the estimate is always finite and >= 0).
  Resolved r = resolve_fixed(options);
  if (!options.sigma) r.sigma = 1.0;
  if (auto error = blockdenoise::check_params(extents, block_params(r, options, nullptr)))
    return error;
  if (options.method == Method::guided) {
    if (auto error = sorvane::check_params(guided_params(r, options, nullptr))) return error;
  }
  return std::nullopt;
}

std::optional<Method> method_from_name(std::string_view name) {
  if (name == method_name(Method::guided)) return Method::guided;
  if (name == method_name(Method::block)) return Method::block;
  return std::nullopt;
}

ArgError method_error(std::string_view name) {
  return ArgError{"method", "method must be " + std::string(kMethodChoices) + "; got \"" +
                                std::string(name) + "\""};
}

SigmaRange sigma_range(double peak) {
  const double floor = std::ldexp(1.0, -1017);  // a smaller sigma makes the scale overflow
  if (!(peak > 0.0)) return SigmaRange{floor, INFINITY};
  return SigmaRange{std::max(std::ldexp(peak, -40), floor), std::ldexp(peak, 66)};
}

double peak_magnitude(const double* values, int64_t count) {
  double peak = 0.0;
  for (int64_t i = 0; i < count; ++i) {
    const double a = std::fabs(values[i]);
    if (a > peak && a <= DBL_MAX) peak = a;
  }
  return peak;
}

std::optional<ArgError> check_sigma(double sigma, const double* volume, int64_t count) {
  if (sigma == 0.0 || count == 0) return std::nullopt;
  return check_sigma_for_peak(sigma, peak_magnitude(volume, count));
}

std::optional<ArgError> check_sigma_for_peak(double sigma, double peak) {
  if (sigma == 0.0) return std::nullopt;
  const SigmaRange range = sigma_range(peak);
  if (sigma >= range.low && sigma <= range.high) return std::nullopt;
  std::string message = "sigma must be 0 or from " + number_text(range.low, 6) + " to " +
                        number_text(range.high, 6) + " for this volume";
  if (peak > 0.0) {
    message += " (2^-40 to 2^66 times its largest magnitude, " + number_text(peak, 6) +
               ", so that the single-precision filter neither overflows nor loses the data)";
  } else {
    message += " (a smaller sigma makes the unit scale overflow)";
  }
  return ArgError{"sigma", message + "; got " + number_text(sigma)};
}

int64_t count_negative(const double* values, int64_t count) {
  int64_t negatives = 0;
  for (int64_t i = 0; i < count; ++i) negatives += values[i] < 0.0 ? 1 : 0;
  return negatives;
}

std::string negative_voxels_warning(int64_t negatives, const std::string& what,
                                    const std::string& gaussian_choice) {
  return what + " holds " + std::to_string(negatives) + " negative voxel" +
         (negatives == 1 ? "" : "s") +
         "; Rician noise is for magnitude images, which are never negative, so the guided method "
         "takes them as 0 and the block method as their absolute value. For signed data use " +
         gaussian_choice;
}

BlockChoice block_defaults(const Options& options, const Extents& extents, double sigma,
                           double signal) {
  const double ratio = noise_ratio(sigma, signal);
  const int32_t smallest = std::min({extents.d0, extents.d1, extents.d2});
  BlockChoice choice;
  choice.patch_radius = options.patch_radius.value_or(
      default_patch_radius(options.method == Method::guided, ratio, smallest));
  choice.smoothing = options.smoothing.value_or(default_smoothing(ratio, choice.patch_radius));
  return choice;
}

int64_t reach(const Options& options) {
  Resolved r = resolve_fixed(options);
  if (!options.patch_radius && options.method == Method::guided) {
    r.patch_radius = std::max(kDefaultPatchRadius, kWidePatchRadius);
  }
  if (options.method == Method::block) return blockdenoise_reach(r.search_radius, r.patch_radius);
  return guided_reach(r.search_radius, r.patch_radius, r.guided_search_radius);
}

int64_t progress_steps(const Extents& extents, const Options& options) {
  if (voxel_count(extents.d0, extents.d1, extents.d2).value_or(0) == 0) return 0;
  return static_cast<int64_t>(extents.d2) * (options.method == Method::guided ? 2 : 1);
}

namespace {

bool given_sigma_refused(const double* volume, const Extents& extents, const Options& options) {
  if (!options.sigma) return false;
  const int64_t count = voxel_count(extents.d0, extents.d1, extents.d2).value_or(0);
  if (count == 0) return false;
  if (options.peak) return check_sigma_for_peak(*options.sigma, *options.peak).has_value();
  return check_sigma(*options.sigma, volume, count).has_value();
}

// What both entry points do first: check the options, fill in the defaults, estimate sigma when
// it is not given, choose the unit scale and, when the block filter runs (`block_filter`), the
// default patch radius and smoothing for the volume's noise ratio where the options leave them.
// Returns false when there is nothing to filter: an empty volume, or a sigma of 0 (no noise to
// remove), where the input is copied to `out` as it stands and the progress counter is advanced by
// `steps`. Options check_options rejects are left to the caller (nothing is touched).
bool prepare(const double* volume, const Extents& extents, const Options& options, double* out,
             int64_t steps, bool block_filter, Resolved& r, Resolved* resolved,
             std::vector<uint8_t>& own_mask, const uint8_t*& mask) {
  StageClock clock(options.timings);
  r = resolve_fixed(options);
  const int32_t n = voxel_count(extents.d0, extents.d1, extents.d2).value_or(0);
  mask = options.mask;
  if (n > 0 && !mask && options.auto_mask) {
    own_mask = head_mask(volume, extents, options.threads);
    mask = own_mask.data();
    r.mask_auto = true;
    clock.mark("head mask");
  }
  if (mask) {
    r.masked = true;
    r.mask_voxels = mask_count(mask, n);
  }
  // Nothing to filter: no voxels, none inside the mask, or no noise.
  bool nothing = n == 0 || (mask && r.mask_voxels == 0);
  // The default patch radius and smoothing weigh sigma against the signal level; without a mask
  // the estimate and the level come from the same blocks, made once.
  const bool wants_signal =
      block_filter &&
      (!options.smoothing || (!options.patch_radius && options.method == Method::guided));
  std::optional<double> signal;
  if (!nothing && !options.sigma) {
    if (!mask && wants_signal) {
      const NoiseAndSignal both =
          estimate_noise_and_signal(volume, extents, options.rician, options.threads);
      r.sigma = both.estimate.sigma;
      signal = both.signal;
    } else {
      r.sigma = estimate_sigma(volume, extents, options.rician, mask, options.threads);
    }
  }
  // An estimate below the sigma range is noise the single-precision filter cannot resolve next to
  // the volume's peak: taken as none, as an estimate of 0 is.
  nothing = nothing || r.sigma == 0.0 ||
            (!options.sigma &&
             r.sigma < sigma_range(options.peak.value_or(peak_magnitude(volume, n))).low);
  clock.mark("noise estimate");
  if (nothing) {
    std::copy(volume, volume + n, out);
    if (options.slices_done) options.slices_done->fetch_add(static_cast<int32_t>(steps));
  } else {
    r.scale = scale_for(r.sigma);
    if (wants_signal) {
      if (!signal) {
        signal = signal_level(volume, extents, options.threads);
        clock.mark("signal level");
      }
      const BlockChoice choice = block_defaults(options, extents, r.sigma, *signal);
      r.patch_radius = choice.patch_radius;
      r.smoothing = choice.smoothing;
    }
  }
  if (resolved) *resolved = r;
  return !nothing;
}

// Voxels from which the passes over a whole volume below are shared among the call's threads.
constexpr int32_t kParallelVoxels = int32_t{1} << 17;

// Runs pass(begin, end) over the voxels 0 .. n - 1 in ranges on the call's threads. Each voxel's
// value depends on that voxel alone, so the result is the same for every thread count.
template <class Pass>
void over_voxels(int32_t n, int32_t threads, Pass&& pass) {
  const ThreadCount count = thread_count(threads);
  const int32_t workers = count.error || n < kParallelVoxels ? 1 : clamp_workers(count.count);
  run_parts(workers, workers, [&](int32_t part) {
    const Slab range = slab_of(n, part, workers);
    pass(range.first_slice, range.end_slice);
  });
}

// Outside the mask the result is the input as it stands (voxels begin .. end - 1, in the pass
// that writes them last).
void keep_outside(const double* volume, const uint8_t* mask, int32_t begin, int32_t end,
                  double* out) {
  if (!mask) return;
  for (int32_t i = begin; i < end; ++i) {
    if (mask[i] == 0) out[i] = volume[i];
  }
}

}  // namespace

std::vector<uint8_t> guide_mask(const uint8_t* mask, const Extents& extents,
                                int32_t guided_search_radius) {
  const int64_t along = 2 * int64_t{guided_search_radius} + 1;
  const int64_t across = int64_t{guided_search_radius} + 1;
  const auto clip = [](int64_t v) { return static_cast<int32_t>(std::min<int64_t>(v, INT32_MAX)); };
  const int32_t lo[3] = {-clip(along), -clip(along), -clip(across)};
  const int32_t hi[3] = {clip(along), clip(along), clip(across)};
  std::vector<uint8_t> out(static_cast<size_t>(voxel_count(extents)));
  dilate_box(mask, extents, lo, hi, out.data());
  return out;
}

Status denoise(const double* volume, const Extents& extents, const Options& options, double* out,
               Resolved* resolved) {
  if (check_options(extents, options) || given_sigma_refused(volume, extents, options))
    return Status::invalid;
  Resolved r;
  std::vector<uint8_t> own_mask;
  const uint8_t* mask = nullptr;
  try {  // the noise estimate, the signal level and the mask take working memory of their own
    if (!prepare(volume, extents, options, out, progress_steps(extents, options), true, r, resolved,
                 own_mask, mask)) {
      return Status::ok;
    }
  } catch (const std::bad_alloc&) {
    return Status::memory;
  }
  const int32_t n = voxel_count(extents);
  Resolved scaled = r;
  scaled.sigma = r.sigma * r.scale;
  const double unscale = 1.0 / r.scale;
  StageClock clock(options.timings);
  try {
    // Buffers are left uninitialised: the passes that fill them touch them first, on every thread.
    auto smoothed = std::make_unique_for_overwrite<float[]>(static_cast<size_t>(n));
    {
      // The guided method needs the guide exact wherever sorvane's work for the mask reads it.
      std::vector<uint8_t> block_mask;
      if (mask && options.method == Method::guided) {
        block_mask = guide_mask(mask, extents, r.guided_search_radius);
      }
      auto noisy = std::make_unique_for_overwrite<float[]>(static_cast<size_t>(n));
      over_voxels(n, options.threads, [&](int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) noisy[i] = round_to_float(volume[i] * r.scale);
      });
      clock.mark("conversions");
      blockdenoise::Params params = block_params(scaled, options, options.slices_done);
      params.mask = block_mask.empty() ? mask : block_mask.data();
      const Status status = blockdenoise::filter(noisy.get(), extents, params, smoothed.get());
      if (status != Status::ok) return status;
      clock.mark("block filter");
    }
    if (options.method == Method::block) {
      over_voxels(n, options.threads, [&](int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) out[i] = smoothed[i] * unscale;
        keep_outside(volume, mask, begin, end, out);
      });
      clock.mark("conversions");
      return Status::ok;
    }
    auto guide = std::make_unique_for_overwrite<double[]>(static_cast<size_t>(n));
    over_voxels(n, options.threads, [&](int32_t begin, int32_t end) {
      for (int32_t i = begin; i < end; ++i) guide[i] = smoothed[i];
    });
    smoothed.reset();
    auto noisy = std::make_unique_for_overwrite<double[]>(static_cast<size_t>(n));
    over_voxels(n, options.threads, [&](int32_t begin, int32_t end) {
      for (int32_t i = begin; i < end; ++i) noisy[i] = volume[i] * r.scale;
    });
    clock.mark("conversions");
    sorvane::Params params = guided_params(scaled, options, options.slices_done);
    params.mask = mask;
    const Status status = sorvane::filter(noisy.get(), guide.get(), extents, params, out);
    if (status != Status::ok) return status;
    clock.mark("guided filter");
    over_voxels(n, options.threads, [&](int32_t begin, int32_t end) {
      for (int32_t i = begin; i < end; ++i) out[i] *= unscale;
      keep_outside(volume, mask, begin, end, out);
    });
    clock.mark("conversions");
    return Status::ok;
  } catch (const std::bad_alloc&) {
    return Status::memory;
  }
}

Status denoise_on_guide(const double* volume, const double* guide, const Extents& extents,
                        const Options& options, double* out, Resolved* resolved) {
  if (check_options(extents, options) || given_sigma_refused(volume, extents, options))
    return Status::invalid;
  Resolved r;
  std::vector<uint8_t> own_mask;
  const uint8_t* mask = nullptr;
  try {
    if (!prepare(volume, extents, options, out, extents.d2, false, r, resolved, own_mask, mask)) {
      return Status::ok;
    }
  } catch (const std::bad_alloc&) {
    return Status::memory;
  }
  const int32_t n = voxel_count(extents);
  Resolved scaled = r;
  scaled.sigma = r.sigma * r.scale;
  StageClock clock(options.timings);
  try {
    auto noisy = std::make_unique_for_overwrite<double[]>(static_cast<size_t>(n));
    auto scaled_guide = std::make_unique_for_overwrite<double[]>(static_cast<size_t>(n));
    over_voxels(n, options.threads, [&](int32_t begin, int32_t end) {
      for (int32_t i = begin; i < end; ++i) {
        noisy[i] = volume[i] * r.scale;
        scaled_guide[i] = guide[i] * r.scale;
      }
    });
    clock.mark("conversions");
    sorvane::Params params = guided_params(scaled, options, options.slices_done);
    params.mask = mask;
    const Status status = sorvane::filter(noisy.get(), scaled_guide.get(), extents, params, out);
    if (status != Status::ok) return status;
    clock.mark("guided filter");
    const double unscale = 1.0 / r.scale;
    over_voxels(n, options.threads, [&](int32_t begin, int32_t end) {
      for (int32_t i = begin; i < end; ++i) out[i] *= unscale;
      keep_outside(volume, mask, begin, end, out);
    });
    clock.mark("conversions");
    return Status::ok;
  } catch (const std::bad_alloc&) {
    return Status::memory;
  }
}

}  // namespace volnlm::pipeline
