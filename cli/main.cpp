// volnlm: non-local-means denoising of NIfTI volumes from the shell.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <string>

#include "cli/atomic_file.h"
#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/run_record.h"
#include "common/text.h"
#include "common/thread_count.h"
#include "pipeline/defaults.h"
#include "pipeline/pipeline.h"

#ifndef VOLNLM_VERSION
#error "VOLNLM_VERSION is set by the build from the project version"
#endif

namespace {

using namespace volnlm;
using namespace volnlm::cli;

constexpr const char* kFooter =
    R"(Exit status: 0 on success, 1 when the run fails (a file that is missing, unreadable or
not NIfTI, an output that cannot be written or that --force must allow, a guide of other
extents, a filter failure),
2 for bad usage (a missing argument, a bad option value, a --mask file on another grid than IN).

Examples:
  volnlm denoise t1.nii.gz t1_denoised.nii.gz
  volnlm denoise dwi.nii.gz dwi_denoised.nii.gz --method block --sigma 12.5
  volnlm denoise t1.nii.gz t1_denoised.nii.gz --mask brain_mask.nii.gz
  volnlm estimate-sigma t1.nii.gz)";

// An empty value (--search-radius "", an unset shell variable) would otherwise leave the option
// at its default without a word.
void reject_empty_values(const CLI::App& command) {
  for (const CLI::Option* option : command.get_options()) {
    for (const std::string& value : option->results()) {
      if (value.empty()) {
        throw UsageError(option->get_name() + " is empty; give it a value or leave it out");
      }
    }
  }
}

int run(int argc, char** argv) {
  CLI::App app{"volnlm " VOLNLM_VERSION
               ": non-local-means denoising of 3-D MRI volumes in NIfTI files (NIfTI-1 and "
               "NIfTI-2, .nii and .nii.gz)",
               "volnlm"};
  app.set_version_flag("--version", "volnlm " VOLNLM_VERSION, "Print the version and exit");
  app.set_help_flag("-h,--help", "Print this help (every command and option) and exit");
  app.require_subcommand(1);
  app.footer(kFooter);

  DenoiseArgs den;
  CLI::App* denoise = app.add_subcommand(
      "denoise",
      "Denoise IN into OUT. Every real voxel type is read with its scaling (scl_slope, "
      "scl_inter); OUT keeps IN's header (affine, qform, sform, voxel sizes, units, "
      "description, intent) with float voxels and no scaling. A 4-D series is denoised volume "
      "by volume. OUT appears only once it is complete.");
  denoise->add_option("IN", den.in, "Input NIfTI file (.nii, .nii.gz, or .hdr/.img)")->required();
  denoise
      ->add_option("OUT", den.out,
                   "Output NIfTI file (.nii or .nii.gz, or .NII, .NII.GZ; .gz compresses)")
      ->required();
  denoise
      ->add_option("--method", den.method,
                   "guided: the block filter makes a guide, then the voxelwise filter averages "
                   "IN judged on it; block: the block filter alone")
      ->check(CLI::Validator(
          [](std::string& s) -> std::string {
            return pipeline::method_from_name(s) ? "" : pipeline::method_error(s).message;
          },
          "guided|block", "method"))
      ->capture_default_str();
  denoise
      ->add_option("--sigma", den.sigma,
                   "Noise standard deviation in IN's units: auto to estimate it (per volume of a "
                   "4-D series), one value for every volume, a comma-separated list with one "
                   "value per volume, or @FILE, a text file with one value per line; a value "
                   "other than 0 must lie between 2^-40 and 2^66 times the largest magnitude in "
                   "its volume (exit status 2 otherwise, naming the range)")
      ->check(CLI::Validator(
          [](std::string& s) -> std::string {
            // The values' form is checked here; a file's content once the run starts.
            if (s.starts_with("@") && s.size() > 1) return "";
            try {
              parse_sigma_list(s);
              return "";
            } catch (const UsageError& e) {
              // The parser puts the option's name in front of the message already.
              std::string message = e.what();
              for (const char* prefix : {"--sigma: ", "--sigma "}) {
                if (message.starts_with(prefix)) message.erase(0, std::string(prefix).size());
              }
              return message;
            }
          },
          "auto|VALUE|V1,V2,...|@FILE", "sigma"))
      ->capture_default_str();
  denoise->add_flag("--shared-sigma", den.shared_sigma,
                    "With --sigma auto: one sigma for the whole series, the median of the "
                    "volumes' estimates weighted by the blocks each rests on (a series shares one "
                    "noise level)");
  denoise
      ->add_option("--noise", den.noise,
                   "rician for magnitude images, gaussian for signed or already corrected data "
                   "(rician takes negative voxels as 0 with the guided method, as their absolute "
                   "value with the block method, and warns how many there are)")
      ->check(CLI::IsMember({"rician", "gaussian"}))
      ->capture_default_str();
  const auto by_default = [](double v) { return " (default " + number_text(v, 6) + ")"; };
  denoise->add_option("--search-radius", den.search_radius,
                      "Half-width of the block filter's cubic search window, in voxels" +
                          by_default(pipeline::kDefaultSearchRadius));
  denoise->add_option("--patch-radius", den.patch_radius,
                      "Half-width of the block filter's cubic patch, in voxels (default: " +
                          pipeline::default_patch_radius_text() + ")");
  denoise->add_option("--smoothing", den.smoothing,
                      std::string("Factor on sigma^2 in the block filter's weights; larger "
                                  "smooths more (default: ") +
                          pipeline::default_smoothing_text() + ")");
  denoise->add_option("--guided-search-radius", den.guided_search_radius,
                      "Half-width of the guided (voxelwise) filter's search window, in voxels" +
                          by_default(pipeline::kDefaultGuidedSearchRadius));
  denoise->add_option("--guide", den.guide,
                      "A pre-filtered guide (NIfTI of IN's extents, one volume or one per volume "
                      "of IN, e.g. the result of --method block) in place of the block filter's: "
                      "the voxelwise filter judges IN on it");
  denoise->add_option(
      "--mask", den.mask,
      "Denoise only inside a mask: a NIfTI file on IN's grid (same extents, same "
      "affine) whose nonzero voxels are inside (NaN is outside), or auto for a head "
      "mask made from IN's first volume. One mask serves every volume. Inside it "
      "OUT has the values a run without it gives (with the same sigma), outside it "
      "OUT is IN; an estimated sigma comes from the voxels inside it. A file on "
      "another grid: exit status 2");
  denoise
      ->add_option("--output-type", den.output_type,
                   "Voxel type of OUT; float64 keeps the guided filter's double result exactly")
      ->check(CLI::IsMember({"float32", "float64"}))
      ->capture_default_str();
  denoise->add_option("--residual", den.residual,
                      "Also write IN minus OUT (float32) to this NIfTI file: what was removed");
  bool no_sidecar = false;
  denoise->add_flag("--no-sidecar", no_sidecar,
                    "Do not write the JSON record of the run (OUT without .nii/.nii.gz, plus "
                    ".json: sources, method, noise model, parameters, sigma per volume, time)");
  denoise->add_option("--threads", den.threads,
                      std::string("Worker threads (default: the ") + volnlm::kThreadsEnv +
                          " environment variable, else the CPUs this process may use); the "
                          "result is the same for every count");
  denoise->add_flag("-q,--quiet", den.quiet, "No progress bar and no summary line");
  denoise
      ->add_option("--gzip-level", den.gzip_level,
                   "Compression of .nii.gz outputs, " + std::to_string(kGzipMinLevel) +
                       " (fastest) to " + std::to_string(kGzipMaxLevel) +
                       " (smallest); the output is compressed on the worker threads in "
                       "independent gzip members, a standard file every gzip reader takes whole")
      ->check(CLI::Range(kGzipMinLevel, kGzipMaxLevel))
      ->capture_default_str();
  denoise->add_flag("--timings", den.timings,
                    "Print the wall time of each stage of the run (read, noise estimate, each "
                    "filter, conversions, write) to stderr at the end, also with --quiet");
  denoise->add_flag("--force", den.force,
                    "Replace OUT even when it is IN or the guide (by any path), when its "
                    "permissions deny writing it (it keeps them), or when it is a symbolic link: "
                    "without --force these are refused. A link is written through: the file it "
                    "leads to is replaced (or created) and the link is kept");

  EstimateArgs est;
  CLI::App* estimate = app.add_subcommand(
      "estimate-sigma",
      "Print the estimated noise standard deviation of IN, one line per volume, in IN's units");
  estimate->add_option("IN", est.in, "Input NIfTI file")->required();
  estimate->add_option("--noise", est.noise, "rician or gaussian")
      ->check(CLI::IsMember({"rician", "gaussian"}))
      ->capture_default_str();
  estimate->add_option("--mask", est.mask,
                       "Estimate from the voxels inside a mask only: a NIfTI file on IN's grid "
                       "or auto, as for denoise");

  // A first word that is no option and no command would otherwise be reported as a missing one.
  if (argc > 1 && argv[1][0] != '-') {
    const std::string first = argv[1];
    if (first != "denoise" && first != "estimate-sigma") {
      throw UsageError("unknown command \"" + first +
                       "\"; the commands are denoise and estimate-sigma");
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    // The top-level help lists every command with all of its options; a command's help, its own.
    const bool top = app.get_subcommands().empty();
    std::cout << (top ? app.help("", CLI::AppFormatMode::All) : app.help());
    return 0;
  } catch (const CLI::CallForVersion&) {
    std::cout << "volnlm " VOLNLM_VERSION "\n";
    return 0;
  } catch (const CLI::ParseError& e) {
    std::cerr << "volnlm: " << e.what() << "\nRun 'volnlm --help' for the commands and options.\n";
    return kExitUsage;
  }

  for (const CLI::App* command : app.get_subcommands()) reject_empty_values(*command);
  remove_temporaries_on_signals();
  if (*denoise) {
    den.sidecar = !no_sidecar;
    return run_denoise(den);
  }
  if (*estimate) return run_estimate_sigma(est);
  return kExitUsage;  // require_subcommand makes this unreachable
}

}  // namespace

int main(int argc, char** argv) {
  // Every failure ends here as a message and an exit status: never an uncaught exception.
  try {
    return run(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "volnlm: %s\nRun 'volnlm --help' for the commands and options.\n",
                 e.what());
    return kExitUsage;
  } catch (const RunError& e) {
    std::fprintf(stderr, "volnlm: %s\n", e.what());
    return kExitFailed;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "volnlm: not enough memory\n");
    return kExitFailed;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "volnlm: %s\n", e.what());
    return kExitFailed;
  } catch (...) {
    std::fprintf(stderr, "volnlm: failed for an unknown reason\n");
    return kExitFailed;
  }
}
