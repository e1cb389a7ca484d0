// The one call a user wants: noise estimation and denoising with sensible defaults, on top of
// the two filters. Shared by the Python module and the command-line tool.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/stage_times.h"
#include "common/status.h"
#include "common/thread_runner.h"
#include "common/volume.h"

namespace volnlm::pipeline {

enum class Method {
  guided,  // blockdenoise makes the guide, then sorvane filters the input on it
  block,   // blockdenoise alone
};

// The methods' names, as every front end spells them, and the phrase that lists them.
inline constexpr const char* kMethodChoices = "\"guided\" or \"block\"";
inline constexpr const char* method_name(Method method) {
  return method == Method::block ? "block" : "guided";
}
// The method of that name, or nothing (then method_error says what was expected).
std::optional<Method> method_from_name(std::string_view name);
ArgError method_error(std::string_view name);

struct Options {
  Method method = Method::guided;
  std::optional<double> sigma;  // noise standard deviation; estimated from the volume when empty
  bool rician = true;           // magnitude MRI: Rician noise
  // Empty fields take the defaults chosen by measurement (pipeline/defaults.h).
  std::optional<int32_t> search_radius;         // blockdenoise's search radius, at least 1
  std::optional<int32_t> patch_radius;          // blockdenoise's patch radius, at least 0
  std::optional<float> smoothing;               // blockdenoise's smoothing factor, above 0
  std::atomic<int32_t>* slices_done = nullptr;  // progress, as in the filters' parameters
  std::optional<int32_t> guided_search_radius;  // sorvane's search radius (guided), at least 1
  // Optional mask, one byte per voxel (x fastest), nonzero = inside; null: the whole volume.
  // Inside it the result has the same bits as without it (same sigma and parameters); outside it
  // the result is the input. An estimated sigma comes from the voxels inside it.
  const uint8_t* mask = nullptr;
  // Make the mask from the volume itself with head_mask() (when `mask` is null).
  bool auto_mask = false;
  // For a chunk of a larger volume: the whole volume's maximum (volume_maximum() of it, or the
  // largest of volume_maximum() over its parts), which the blockwise step's preselection reads in
  // place of the chunk's own. Empty: the volume's own. Not NaN.
  std::optional<double> maximum;
  // For a chunk of a larger volume: the whole volume's peak_magnitude(), against which a given
  // sigma is checked (and an estimate compared) in place of the chunk's own. Empty: the volume's.
  std::optional<double> peak;
  // Worker threads of each filter; 0 takes the default (see thread_count). The result does not
  // depend on it.
  int32_t threads = 0;
  // Asked on the calling thread while the filters' workers run; a stop ends the call with
  // Status::stopped and `out` holding no result.
  Interrupt interrupt;
  // When set, receives the wall time of each stage of the call ("noise estimate", "block filter",
  // "conversions", ...); the result does not depend on it.
  StageTimes* timings = nullptr;
};

// The largest value of `count` voxels as the blockwise filter's preselection reads it: NaN left
// out, 0 when no value is positive. The largest of the values of a volume's parts is the value
// of the whole volume.
double volume_maximum(const double* volume, int64_t count);

// Voxels added on every side of the automatic head mask.
inline constexpr int32_t kHeadMaskMargin = 2;

// A head mask made from the noisy volume itself: a threshold between background and tissue,
// the largest connected component, holes filled, dilated by kHeadMaskMargin (head_mask.cpp says
// how). `threads` as the filters take it (0: the default count); the mask is the same for every
// count. Throws std::bad_alloc when memory is short.
std::vector<uint8_t> head_mask(const double* volume, const Extents& extents, int32_t threads = 0);

// The voxels whose blockdenoise result the guided method needs exactly so that sorvane, run
// with `mask` and `guided_search_radius`, gives inside the mask the same bits as without it: the
// mask dilated by 2 Rs + 1 along lines and slices and Rs + 1 across slices. sorvane's window
// reaches Rs, its guide mean one more; and a centre working the pairs into a mask voxel decides
// about all the pairs of its own window (reaching Rs further along x and y, and only later slices
// along z), in an order that fixes how its additions interleave with its neighbour centre's.
// Throws std::bad_alloc when memory is short.
std::vector<uint8_t> guide_mask(const uint8_t* mask, const Extents& extents,
                                int32_t guided_search_radius);

// Robust estimate of the noise standard deviation of `volume` (voxel_count(extents) doubles),
// for Rician magnitude data or for Gaussian noise; the method is described in noise.cpp. 0 for
// a volume without noise or without two voxels along any axis.
// With a mask, only the 2x2x2 blocks that lie wholly inside it are used (all blocks touching it
// when none does); an empty mask gives 0.
// The blocks are made on `threads` worker threads (0: the default, thread_count); the estimate
// is the same for every count.
double estimate_sigma(const double* volume, const Extents& extents, bool rician,
                      const uint8_t* mask = nullptr, int32_t threads = 0);

// The signal level that the noise is measured against when a default depends on the noise: the
// 99th percentile of the means of the same 2x2x2 blocks as the noise estimate (finite blocks
// whose values are not all equal, so zero-filled background does not count). Block means hold
// an eighth of the noise variance, so the level barely grows with the noise. 0 for a volume
// without such blocks.
double signal_level(const double* volume, const Extents& extents, int32_t threads = 0);

// The same estimate with what it rests on: the number of 2x2x2 blocks whose median it is, and
// whether Rician data held too few bright blocks, so that the estimate is the one over all blocks
// divided by the Rayleigh factor (less certain where the signal is low but not zero).
struct SigmaEstimate {
  double sigma = 0.0;
  int64_t blocks = 0;
  bool rayleigh = false;
};
SigmaEstimate estimate_sigma_detail(const double* volume, const Extents& extents, bool rician,
                                    const uint8_t* mask = nullptr, int32_t threads = 0);

// estimate_sigma_detail() without a mask and signal_level() from one pass over the blocks they
// share: the same values as the two calls.
struct NoiseAndSignal {
  SigmaEstimate estimate;
  double signal = 0.0;
};
NoiseAndSignal estimate_noise_and_signal(const double* volume, const Extents& extents, bool rician,
                                         int32_t threads = 0);

// The block filter's patch radius and smoothing for these options on a volume of `extents` with
// this sigma and signal_level(): the options' own values where given, else the defaults of
// defaults.h for the noise ratio (default_patch_radius for the method, then default_smoothing for
// the patch radius used; a volume without signal level takes the rules' high-noise values). A
// chunk of a larger volume is given the values chosen from the whole volume's sigma and signal
// level, so that no chunk chooses for itself.
struct BlockChoice {
  int32_t patch_radius = 0;
  float smoothing = 0.0f;
};
BlockChoice block_defaults(const Options& options, const Extents& extents, double sigma,
                           double signal);

// Parameters after defaults are filled in, for reporting.
struct Resolved {
  double sigma = 0.0;
  int32_t search_radius = 0;
  int32_t patch_radius = 0;
  float smoothing = 0.0f;
  int32_t guided_search_radius = 0;  // used by the guided method only
  // Power of two that the volume was multiplied by for filtering, and the result divided by
  // afterwards: it brings sigma into [64, 128) so that the result does not depend on the units.
  double scale = 1.0;
  // The mask used, when there was one: whether it was made automatically, and how many voxels
  // it holds (0: the output is the input).
  bool masked = false;
  bool mask_auto = false;
  int64_t mask_voxels = 0;
};

// The options with their defaults filled in; sigma is options.sigma or 0 and scale 1 (a call
// settles both once it knows the volume).
Resolved resolve_options(const Options& options);

// Checks options against the extents before anything is computed: sigma finite and not
// negative, the radii and smoothing in range, and the filters' own checks (the thread count
// among them).
std::optional<ArgError> check_options(const Extents& extents, const Options& options);

// The sigmas a given volume can be denoised with. denoise() filters the volume multiplied by the
// power of two that brings sigma into [64, 128) (exact, so the result does not depend on the
// units), and the block filter works on those values in single precision, squaring them in
// patch distances, local variances and Rician sums. With `peak` the volume's largest finite
// magnitude, a sigma of at least peak * 2^-40 keeps the scaled peak at most 2^47, so those
// squares and their sums stay finite (up to 2^30 terms); a sigma of at most peak * 2^66 keeps the
// scaled peak at least 2^-60, so the data keep their precision in single precision. The scale
// itself must be a finite double: sigma at least 2^-1017 whatever the volume. 0 (no noise) is
// always accepted, and a volume with no finite non-zero voxel takes any sigma from 2^-1017 on.
struct SigmaRange {
  double low = 0.0;
  double high = 0.0;  // infinite when peak * 2^66 exceeds the doubles
};
SigmaRange sigma_range(double peak);

// The largest finite magnitude among `count` values; 0 when there is none.
double peak_magnitude(const double* values, int64_t count);

// A given sigma checked against the volume's range (reason "sigma"; the message names the range
// and why). denoise() gives Status::invalid for a sigma this refuses; an estimated sigma below the
// range is taken as no noise (the volume comes back unchanged).
std::optional<ArgError> check_sigma(double sigma, const double* volume, int64_t count);
// The same for a volume whose peak_magnitude() is `peak` (a whole volume checked once for its
// chunks: the largest of its chunks' peaks).
std::optional<ArgError> check_sigma_for_peak(double sigma, double peak);

// Denoises `volume` into `out` (both voxel_count(extents) doubles, x fastest). `resolved`, when
// given, receives the parameters actually used. Options that fail check_options give
// Status::invalid and touch nothing (front ends call check_options first for its message), and
// so does a given sigma that check_sigma refuses. A sigma of 0 (given or estimated) copies the
// volume unchanged.
Status denoise(const double* volume, const Extents& extents, const Options& options, double* out,
               Resolved* resolved = nullptr);

// Voxels below 0 among `count` values (NaN and -0 are not). Rician mode treats voxels as
// magnitudes, which are never negative: the guided method takes a negative voxel as 0, the block
// method as its absolute value. Front ends warn with negative_voxels_warning() when this is not 0.
int64_t count_negative(const double* values, int64_t count);

// The warning for `negatives` negative voxels in `what` under Rician mode; `gaussian_choice` is
// the front end's way to ask for Gaussian noise (e.g. "--noise gaussian" or "rician=False").
std::string negative_voxels_warning(int64_t negatives, const std::string& what,
                                    const std::string& gaussian_choice);

// How far a denoise call with these options reaches from an output voxel (common/reach.h, with
// the defaults filled in; where the default patch radius follows the noise, the largest it can
// take, so the reach holds for any volume): a chunk of a larger volume carrying this many voxels of
// the volume around it on every side (fewer only where the volume ends), and given the whole
// volume's sigma and maximum, comes out in its interior as the whole volume does.
int64_t reach(const Options& options);

// The number of slice steps a denoise call reports through slices_done, for a progress bar.
int64_t progress_steps(const Extents& extents, const Options& options);

// The guided method's second step alone, on a guide the caller made (a pre-filtered volume of
// the same extents, e.g. the block method's result): sorvane filters `volume` judged on `guide`
// with options.guided_search_radius, sigma given or estimated from `volume`, and the same unit
// scaling as denoise(), so a guide equal to the block method's result with the patch radius and
// smoothing the guided method used (its record's) gives exactly the guided method's result. The
// block filter's options are checked but not used. Reports extents.d2 slice steps through
// slices_done. Options that fail check_options give Status::invalid.
Status denoise_on_guide(const double* volume, const double* guide, const Extents& extents,
                        const Options& options, double* out, Resolved* resolved = nullptr);

}  // namespace volnlm::pipeline
