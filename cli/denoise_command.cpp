// `volnlm denoise` and `volnlm estimate-sigma`: NIfTI files through the shared pipeline.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/mask_file.h"
#include "cli/nifti_io.h"
#include "cli/output_path.h"
#include "cli/progress.h"
#include "cli/run_record.h"
#include "common/mask.h"
#include "common/scalar.h"
#include "common/stage_times.h"
#include "common/text.h"
#include "common/thread_count.h"
#include "pipeline/pipeline.h"
#include "pipeline/record.h"
#include "pipeline/series.h"
#include "sorvane/sorvane.h"

namespace volnlm::cli {
namespace {

using Clock = std::chrono::steady_clock;

// Six significant digits: enough for a summary line.
std::string number(double v) {
  return number_text(v, 6);
}

bool parse_rician(const std::string& noise) {
  if (noise == "rician") return true;
  if (noise == "gaussian") return false;
  throw UsageError("--noise must be rician or gaussian; got \"" + noise + "\"");
}

// The command-line name of an option that the pipeline's checks refer to by reason.
std::string option_of(const std::string& reason) {
  if (reason == "searchRadius") return "--search-radius";
  if (reason == "guidedSearchRadius") return "--guided-search-radius";
  if (reason == "patchRadius") return "--patch-radius";
  if (reason == "smoothing") return "--smoothing";
  if (reason == "sigma" || reason == "sigmaCount") return "--sigma";
  if (reason == "sharedSigma") return "--shared-sigma";
  if (reason == "method") return "--method";
  return "";
}

[[noreturn]] void throw_arg_error(const ArgError& error) {
  const std::string option = option_of(error.reason);
  throw UsageError(option.empty() ? error.message : option + ": " + error.message);
}

void throw_for(Status status, const std::string& what) {
  switch (status) {
    case Status::ok:
      return;
    case Status::threads:
      throw RunError(what + ": worker threads cannot be created");
    case Status::memory:
      throw RunError(what + ": not enough memory");
    case Status::invalid:
      break;  // the options were checked first; a missed check still fails the run
    case Status::stopped:
      throw RunError(what + ": interrupted");
  }
  throw RunError(what + ": the filter failed");
}

void warn(const std::string& text) {
  // A warning that cannot be shown (stderr closed) does not fail the run.
  std::fprintf(stderr, "volnlm: warning: %s\n", text.c_str());
}

void warn_about(const NiftiReader& reader) {
  for (const std::string& w : reader.warnings()) warn(w);
}

// The mask a run uses, as the pipeline reads it: the file's, or for --mask auto the head mask
// of the input's first volume, made once when that volume has been read (every volume uses it).
class RunMask {
 public:
  // `threads` makes the automatic mask (0: the default count).
  RunMask(const std::string& value, const NiftiReader& input, int32_t threads = 0)
      : choice_(read_mask(value, input)), threads_(threads) {
    for (const std::string& w : choice_.warnings) warn(w);
  }
  const MaskChoice& choice() const { return choice_; }
  bool given() const { return choice_.automatic || !choice_.file.empty(); }
  // The mask for a volume of the input (the first one read makes the automatic mask); null
  // without --mask.
  const uint8_t* for_volume(const std::vector<double>& volume, const Extents& extents) {
    if (choice_.automatic && choice_.voxels.empty()) {
      choice_.voxels = pipeline::head_mask(volume.data(), extents, threads_);
    }
    return given() ? choice_.voxels.data() : nullptr;
  }
  // The fraction of a volume's voxels inside (once for_volume has made the mask).
  double coverage() const {
    return choice_.voxels.empty()
               ? 0.0
               : static_cast<double>(mask_count(choice_.voxels.data(),
                                                static_cast<int64_t>(choice_.voxels.size()))) /
                     static_cast<double>(choice_.voxels.size());
  }
  // Warns, once, when the mask holds no voxel: `outcome` says what comes of it.
  void warn_if_empty(const std::string& outcome) {
    if (warned_ || !given() || coverage() > 0.0) return;
    warned_ = true;
    warn((choice_.automatic
              ? std::string("the automatic mask (--mask auto), made from ") + "the first volume,"
              : "the mask " + choice_.file) +
         " holds no voxel: " + outcome);
  }

 private:
  MaskChoice choice_;
  int32_t threads_ = 0;
  bool warned_ = false;
};

int64_t count_non_finite(const std::vector<double>& v) {
  int64_t n = 0;
  for (double x : v) n += std::isfinite(x) ? 0 : 1;
  return n;
}

// The stages' wall times as a table on stderr, with what they leave of the whole run as "other".
void print_timings(const StageTimes& times, double total) {
  std::string text = "volnlm: wall time by stage (seconds)\n";
  double listed = 0.0;
  char line[96];
  const auto row = [&](const std::string& name, double seconds) {
    std::snprintf(line, sizeof line, "  %-16s %8.3f\n", name.c_str(), seconds);
    text += line;
  };
  for (const StageTimes::Stage& s : times.stages()) {
    row(s.name, s.seconds);
    listed += s.seconds;
  }
  row("other", std::max(0.0, total - listed));
  row("total", total);
  std::fputs(text.c_str(), stderr);
}

}  // namespace

std::optional<double> parse_sigma(const std::string& text) {
  if (text == "auto") return std::nullopt;
  size_t used = 0;
  double v = 0.0;
  try {
    v = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || !std::isfinite(v) || v < 0.0) {
    throw UsageError("--sigma must be auto or a finite number of 0 or more; got \"" + text + "\"");
  }
  return v;
}

int32_t parse_threads(const std::string& text) {
  if (const std::optional<int32_t> n = parse_thread_count(text)) return *n;
  throw UsageError("--threads must be a positive whole number; got \"" + text + "\"");
}

int run_denoise(const DenoiseArgs& args) {
  const auto start = Clock::now();
  StageTimes times;
  StageClock clock(args.timings ? &times : nullptr);
  // Everything the user can get wrong on the command line is checked before any file is read.
  if (!is_writable_nifti_name(args.out)) {
    throw UsageError(
        "OUT must be a file name ending in .nii or .nii.gz (or .NII, .NII.GZ); got \"" + args.out +
        "\"");
  }
  pipeline::Options options;
  const auto method = pipeline::method_from_name(args.method);
  if (!method) throw_arg_error(pipeline::method_error(args.method));
  options.method = *method;
  if (!args.guide.empty()) {
    if (options.method != pipeline::Method::guided) {
      throw UsageError("--guide applies to --method guided only");
    }
    if (args.search_radius || args.patch_radius || args.smoothing) {
      throw UsageError(
          "--search-radius, --patch-radius and --smoothing set the block filter, "
          "which --guide replaces; --guided-search-radius sets the guided filter");
    }
  }
  OutputType type = OutputType::float32;
  if (args.output_type == "float64") {
    type = OutputType::float64;
  } else if (args.output_type != "float32") {
    throw UsageError("--output-type must be float32 or float64; got \"" + args.output_type + "\"");
  }
  pipeline::SeriesSigma sigma_choice;
  sigma_choice.given = parse_sigma_list(args.sigma);
  sigma_choice.shared = args.shared_sigma;
  if (!args.residual.empty()) {
    if (!is_writable_nifti_name(args.residual)) {
      throw UsageError("--residual must be a file name ending in .nii or .nii.gz; got \"" +
                       args.residual + "\"");
    }
    if (args.residual == args.out || args.residual == args.in) {
      throw UsageError("--residual must name a file other than IN and OUT; got \"" + args.residual +
                       "\"");
    }
  }
  const std::string sidecar_name = args.sidecar ? sidecar_path(args.out) : std::string();
  options.rician = parse_rician(args.noise);
  options.search_radius = args.search_radius;
  options.patch_radius = args.patch_radius;
  options.guided_search_radius = args.guided_search_radius;
  if (args.smoothing) options.smoothing = round_to_float(*args.smoothing);
  if (args.threads) options.threads = parse_threads(*args.threads);
  if (args.timings) options.timings = &times;

  clock.restart();
  NiftiReader input(args.in);
  warn_about(input);
  const Extents extents = input.extents();
  // A single sigma goes through the same check as a 3-D call's; each volume gets its own below.
  if (sigma_choice.given.size() == 1) options.sigma = sigma_choice.given[0];
  if (const auto error = pipeline::check_options(extents, options)) throw_arg_error(*error);
  options.sigma.reset();
  if (const auto error = pipeline::check_series_sigma(sigma_choice, input.volumes()))
    throw_arg_error(*error);
  RunMask mask(args.mask, input, options.threads);

  std::unique_ptr<NiftiReader> guide;
  std::vector<double> guide_volume;
  if (!args.guide.empty()) {
    guide = std::make_unique<NiftiReader>(args.guide);
    warn_about(*guide);
    if (const auto error =
            sorvane::check_guide(extents, guide->extents(), "the guide " + args.guide, args.in)) {
      throw RunError(error->message);
    }
    if (!same_place(guide->header(), input.header())) {
      warn("the guide " + args.guide + " lies elsewhere in space than " + args.in +
           " (their affines differ); it is used voxel by voxel as it is");
    }
    if (guide->volumes() != 1 && guide->volumes() != input.volumes()) {
      throw RunError("the guide " + args.guide + " holds " + std::to_string(guide->volumes()) +
                     " volumes; it needs one, or one per volume of " + args.in + " (" +
                     std::to_string(input.volumes()) + ")");
    }
  }

  // The output files are started before any work, so a path that cannot be written fails at
  // once, and each appears only once complete; one that would replace an input, a protected file
  // or a link's target needs --force.
  std::vector<std::string> inputs{args.in, input.data_path()};
  if (guide) inputs.insert(inputs.end(), {args.guide, guide->data_path()});
  if (!mask.choice().file.empty()) {
    inputs.insert(inputs.end(), {mask.choice().file, mask.choice().data_path});
  }
  const Compression compression{args.gzip_level, options.threads};
  NiftiWriter output(checked_output(args.out, inputs, args.force), input.header(), type,
                     compression);
  std::unique_ptr<NiftiWriter> residual;
  if (!args.residual.empty()) {
    residual = std::make_unique<NiftiWriter>(checked_output(args.residual, inputs, args.force),
                                             input.header(), OutputType::float32, compression);
  }
  std::unique_ptr<AtomicFile> sidecar;
  if (args.sidecar) {
    sidecar = std::make_unique<AtomicFile>(checked_output(sidecar_name, inputs, args.force));
  }
  clock.mark("read");

  // A shared sigma needs every volume's estimate first: one pass over the input before the run.
  std::vector<double> sigmas;
  std::vector<double> estimates;
  if (sigma_choice.given.empty() && sigma_choice.shared) {
    NiftiReader first_pass(args.in);
    std::vector<double> volume;
    std::vector<pipeline::SigmaEstimate> detail;
    for (int64_t v = 0; v < first_pass.volumes(); ++v) {
      first_pass.read_volume(volume);
      clock.mark("read");
      detail.push_back(pipeline::estimate_sigma_detail(volume.data(), extents, options.rician,
                                                       mask.for_volume(volume, extents)));
      estimates.push_back(detail.back().sigma);
      clock.mark("noise estimate");
    }
    sigmas = pipeline::series_sigmas(sigma_choice, first_pass.volumes(), detail);
  } else if (!sigma_choice.given.empty()) {
    sigmas = pipeline::series_sigmas(sigma_choice, input.volumes(), {});
  }
  pipeline::RunRecord record;
  record.sources.push_back(args.in);
  if (guide) record.sources.push_back(args.guide);
  if (!mask.choice().file.empty()) record.sources.push_back(mask.choice().file);
  record.method = options.method;
  record.rician = options.rician;
  record.guide_given = guide != nullptr;
  record.sigma_source = pipeline::sigma_source(sigma_choice);
  record.used.estimates = estimates;

  const int64_t volumes = input.volumes();
  const int64_t steps = guide ? extents.d2 : pipeline::progress_steps(extents, options);
  ProgressBar bar(progress_wanted(args.quiet), steps * volumes, "slice steps");
  // The buffers grow with the first volume's data, so a file far shorter than its header claims
  // fails before the whole volume is allocated (a compressed file's length is not known ahead).
  std::vector<double> volume;
  std::vector<double> result;
  std::atomic<int32_t> done{0};
  double sigma_min = INFINITY, sigma_max = -INFINITY;
  pipeline::Resolved used;

  for (int64_t v = 0; v < volumes; ++v) {
    input.read_volume(volume);
    clock.mark("read");
    const std::string which =
        volumes > 1 ? "volume " + std::to_string(v + 1) + " of " + args.in : args.in;
    if (!sigmas.empty()) {
      auto error =
          pipeline::check_sigma(sigmas[v], volume.data(), static_cast<int64_t>(volume.size()));
      if (error) {
        bar.finish();
        error->message += " (" + which + ")";
        throw_arg_error(*error);
      }
    }
    if (options.sigma) {
      auto error =
          pipeline::check_sigma(*options.sigma, volume.data(), static_cast<int64_t>(volume.size()));
      if (error) {
        bar.finish();
        error->message += " (" + which + ")";
        throw_arg_error(*error);
      }
    }
    if (const int64_t bad = count_non_finite(volume); bad > 0) {
      bar.finish();
      warn(which + " holds " + std::to_string(bad) +
           " NaN or infinite voxels; check the result around them");
    }
    if (options.rician) {
      const int64_t negatives =
          pipeline::count_negative(volume.data(), static_cast<int64_t>(volume.size()));
      if (negatives > 0) {
        bar.finish();
        warn(pipeline::negative_voxels_warning(negatives, which, "--noise gaussian"));
      }
    }
    done.store(0);
    Status status = Status::ok;
    pipeline::Options run = options;
    run.slices_done = &done;
    run.mask = mask.for_volume(volume, extents);
    if (run.mask && mask.coverage() == 0.0) {
      bar.finish();
      mask.warn_if_empty("nothing is filtered and " + args.out + " is the input");
    }
    if (!sigmas.empty()) run.sigma = sigmas[v];
    const auto note = [&] {
      return volumes > 1 ? "volume " + std::to_string(v + 1) + "/" + std::to_string(volumes)
                         : std::string();
    };
    clock.mark("input checks");
    if (guide && (guide->volumes() > 1 || v == 0)) guide->read_volume(guide_volume);
    result.resize(volume.size());
    clock.mark("read");
    run_with_progress(
        [&] {
          status = guide ? pipeline::denoise_on_guide(volume.data(), guide_volume.data(), extents,
                                                      run, result.data(), &used)
                         : pipeline::denoise(volume.data(), extents, run, result.data(), &used);
        },
        [&] { return v * steps + done.load(); }, bar, note);
    clock.restart();  // the pipeline timed its own stages
    throw_for(status, "denoising " + which);
    sigma_min = std::min(sigma_min, used.sigma);
    sigma_max = std::max(sigma_max, used.sigma);
    record.used.sigma.push_back(used.sigma);
    record.used.scale.push_back(used.scale);
    record.used.patch_radius.push_back(used.patch_radius);
    record.used.smoothing.push_back(static_cast<double>(used.smoothing));
    output.write_volume(result.data());
    if (residual) {
      for (size_t i = 0; i < result.size(); ++i) result[i] = volume[i] - result[i];
      residual->write_volume(result.data());
    }
    clock.mark("write");
  }
  record.used.params = volumes > 0 ? used : pipeline::resolve_options(options);
  record.mask = pipeline::mask_record(record.used.params, extents, mask.choice().source());
  std::string json;
  if (sidecar) {
    record.elapsed_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    json = pipeline::to_json(pipeline::record_value(record));
    sidecar->write_all(json.data(), json.size());
  }
  output.commit();
  if (residual) residual->commit();
  if (sidecar) sidecar->commit();
  clock.mark("finish files");
  bar.finish();
  if (output.overflowed() > 0) {
    warn(args.out + ": " + std::to_string(output.overflowed()) +
         " voxels of the result lie beyond the float32 range (3.4e38) and were written as "
         "infinite; --output-type float64 keeps them");
  }

  if (!args.quiet) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::string line = "volnlm: wrote " + args.out + " (" + extents_text(extents);
    if (volumes > 1) line += " x " + std::to_string(volumes) + " volumes";
    line +=
        "): " + (guide ? "guided on " + args.guide : args.method) + ", sigma " + number(sigma_min);
    if (sigma_max != sigma_min) line += " to " + number(sigma_max);
    line += !sigma_choice.given.empty() ? " (given)"
            : sigma_choice.shared       ? " (estimated, shared by the series)"
            : volumes > 1               ? " (estimated per volume)"
                                        : " (estimated)";
    if (mask.given()) {
      line += ", mask " + mask.choice().source() + " (" + number_text(100.0 * mask.coverage(), 3) +
              "% of the volume)";
    }
    line += ", " + std::string(options.rician ? "Rician" : "Gaussian") + " noise";
    if (!guide) {
      // The patch radius and smoothing follow each volume's noise: their range over a series.
      const auto& radii = record.used.patch_radius;
      const auto& smoothing = record.used.smoothing;
      const auto [radius_low, radius_high] = std::minmax_element(radii.begin(), radii.end());
      const auto [smooth_low, smooth_high] =
          std::minmax_element(smoothing.begin(), smoothing.end());
      const bool ranged = radius_low != radii.end();
      line += ", search radius " + std::to_string(used.search_radius) + ", patch radius " +
              std::to_string(ranged ? *radius_low : used.patch_radius);
      if (ranged && *radius_high != *radius_low) line += " to " + std::to_string(*radius_high);
      line += ", smoothing " + number(ranged ? *smooth_low : used.smoothing);
      if (ranged && *smooth_high != *smooth_low) line += " to " + number(*smooth_high);
    }
    if (options.method == pipeline::Method::guided) {
      line += ", guided search radius " + std::to_string(used.guided_search_radius);
    }
    char time[32];
    std::snprintf(time, sizeof time, "; %.1f s\n", seconds);
    line += time;
    std::fputs(line.c_str(), stderr);
  }
  if (args.timings) {
    print_timings(times, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return 0;
}

int run_estimate_sigma(const EstimateArgs& args) {
  const bool rician = parse_rician(args.noise);
  NiftiReader input(args.in);
  warn_about(input);
  RunMask mask(args.mask, input);
  std::vector<double> volume;
  for (int64_t v = 0; v < input.volumes(); ++v) {
    input.read_volume(volume);
    const uint8_t* inside = mask.for_volume(volume, input.extents());
    mask.warn_if_empty("the estimate is 0");
    if (std::printf("%.6g\n",
                    pipeline::estimate_sigma(volume.data(), input.extents(), rician, inside)) < 0) {
      throw RunError("cannot write the standard output: " + std::string(std::strerror(errno)));
    }
  }
  // The numbers are the result: a full disk or a closed pipe must not pass for success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    throw RunError("cannot write the standard output: " + std::string(std::strerror(errno)));
  }
  return 0;
}

}  // namespace volnlm::cli
