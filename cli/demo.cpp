// `volnlm demo`: a real T1 brain template (or the built-in phantom) with seeded Rician noise,
// denoised by both methods, scored by PSNR over the brain and shown in one figure.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "cli/atomic_file.h"
#include "cli/commands.h"
#include "cli/demo_data.h"
#include "cli/errors.h"
#include "cli/image.h"
#include "cli/nifti_io.h"
#include "cli/progress.h"
#include "pipeline/pipeline.h"

namespace volnlm::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLevels[] = {3, 9};  // noise, in percent of the ground truth's maximum
constexpr pipeline::Method kMethods[] = {pipeline::Method::guided, pipeline::Method::block};
const char* const kMethodNames[] = {"guided", "block"};

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string extents_text(const Extents& e) {
  return std::to_string(e.d0) + "x" + std::to_string(e.d1) + "x" + std::to_string(e.d2);
}

std::string fixed(double v, int digits, bool sign = false) {
  char text[32];
  std::snprintf(text, sizeof text, sign ? "%+.*f" : "%.*f", digits, v);
  return text;
}

// Present and not a broken name: only a missing file makes the demo fall back.
bool exists(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  throw RunError("cannot read " + path + ": " + std::strerror(errno));
}

struct Run {
  int level = 0;
  double true_sigma = 0.0;
  int method = 0;
  double sigma = 0.0;  // the sigma the filters used
  double psnr_noisy = 0.0;
  double psnr_denoised = 0.0;
  double seconds = 0.0;
  std::vector<double> denoised;
};

// --- the figure ---------------------------------------------------------------------------

constexpr uint8_t kPage = 40;
constexpr uint8_t kInk = 255;
constexpr int32_t kGap = 8;

struct Panel {
  std::string title;
  std::string subtitle;
  GrayImage image;
};

// Axial slices show x across and y up (anterior at the top); coronal slices x across and z up.
GrayImage slice(const std::vector<double>& volume, const Extents& e, bool axial, int32_t index,
                int32_t zoom, const std::function<uint8_t(double)>& grey) {
  const int32_t w = e.d0, h = axial ? e.d1 : e.d2;
  GrayImage image(w * zoom, h * zoom, 0);
  for (int32_t row = 0; row < h; ++row) {
    for (int32_t x = 0; x < w; ++x) {
      const int32_t y = axial ? h - 1 - row : index;
      const int32_t z = axial ? index : h - 1 - row;
      const uint8_t v = grey(volume[static_cast<size_t>(linear_index(x, y, z, e.d0, e.d1))]);
      for (int32_t dy = 0; dy < zoom; ++dy) {
        for (int32_t dx = 0; dx < zoom; ++dx) image.set(x * zoom + dx, row * zoom + dy, v);
      }
    }
  }
  return image;
}

void blit(GrayImage& page, const GrayImage& image, int32_t left, int32_t top) {
  for (int32_t y = 0; y < image.height; ++y) {
    for (int32_t x = 0; x < image.width; ++x) page.set(left + x, top + y, image.at(x, y));
  }
}

void centred_text(GrayImage& page, int32_t left, int32_t width, int32_t top,
                  const std::string& text, int32_t scale) {
  draw_text(page, left + (width - text_width(text, scale)) / 2, top, text, scale, kInk);
}

// Rows of panels under a heading of one or more lines.
GrayImage compose(const std::vector<std::string>& heading,
                  const std::vector<std::vector<Panel>>& rows) {
  int32_t column_width = 0;
  for (const auto& row : rows) {
    for (const Panel& p : row) column_width = std::max(column_width, p.image.width);
  }
  size_t columns = 0;
  for (const auto& row : rows) columns = std::max(columns, row.size());
  // Titles at double size: columns widen to fit them.
  constexpr int32_t scale = 2;
  for (const auto& row : rows) {
    for (const Panel& p : row) {
      column_width =
          std::max({column_width, text_width(p.title, scale), text_width(p.subtitle, scale)});
    }
  }
  const int32_t width = static_cast<int32_t>(columns) * (column_width + kGap) + kGap;
  int32_t heading_scale = 2;
  for (const std::string& line : heading) {
    if (text_width(line, 2) > width - 2 * kGap) heading_scale = 1;
  }
  const int32_t line_height = text_height(scale) + 2 * scale;
  int32_t height =
      kGap + static_cast<int32_t>(heading.size()) * (text_height(heading_scale) + 4) + kGap;
  for (const auto& row : rows) {
    int32_t tallest = 0;
    for (const Panel& p : row) tallest = std::max(tallest, p.image.height);
    height += 2 * line_height + tallest + kGap;
  }
  GrayImage page(width, height, kPage);
  int32_t top = kGap;
  for (const std::string& line : heading) {
    draw_text(page, kGap, top, line, heading_scale, kInk);
    top += text_height(heading_scale) + 4;
  }
  top += kGap;
  for (const auto& row : rows) {
    int32_t tallest = 0;
    for (size_t c = 0; c < row.size(); ++c) {
      const Panel& p = row[c];
      const int32_t left = kGap + static_cast<int32_t>(c) * (column_width + kGap);
      centred_text(page, left, column_width, top, p.title, scale);
      centred_text(page, left, column_width, top + line_height, p.subtitle, scale);
      blit(page, p.image, left + (column_width - p.image.width) / 2, top + 2 * line_height);
      tallest = std::max(tallest, p.image.height);
    }
    top += 2 * line_height + tallest + kGap;
  }
  return page;
}

// The volume that the noise is added to, and the voxels that the PSNR is taken over.
struct GroundTruth {
  std::vector<double> clean;
  std::vector<uint8_t> mask;
  Extents extents;
  Header header;
  bool real = false;   // the template, not the phantom
  bool brain = false;  // the mask is a brain mask
  bool cropped = false;
  double peak = 0.0;   // maximum of the whole volume, before any crop
  std::string source;  // for the report
  std::string mask_source;
};

std::vector<uint8_t> positive(const std::vector<double>& v) {
  std::vector<uint8_t> mask(v.size());
  for (size_t i = 0; i < v.size(); ++i) mask[i] = v[i] > 0.0;
  return mask;
}

GroundTruth load_ground_truth(const DemoArgs& args) {
  GroundTruth t;
  t.real = exists(args.template_path);
  if (t.real) {
    t.clean = read_single_volume(args.template_path, &t.header, &t.extents);
    const std::string mask_path = args.mask_path.empty()
                                      ? directory_of(args.template_path) + "/ch2bet.nii.gz"
                                      : args.mask_path;
    t.source = args.template_path + " (" + extents_text(t.extents) + ")";
    if (exists(mask_path)) {
      Extents me;
      t.mask = positive(read_single_volume(mask_path, nullptr, &me));
      if (me.d0 != t.extents.d0 || me.d1 != t.extents.d1 || me.d2 != t.extents.d2) {
        throw RunError("the mask " + mask_path + " has extents " + extents_text(me) +
                       " but the template has " + extents_text(t.extents));
      }
      t.brain = true;
      t.mask_source = "the brain, " + mask_path + " > 0";
    } else if (!args.mask_path.empty()) {
      throw RunError("cannot read the mask " + mask_path + ": no such file");
    } else {
      t.mask = positive(t.clean);
      t.mask_source = "the template's nonzero voxels (no " + mask_path + ")";
    }
  } else {
    t.extents = args.full ? Extents{181, 217, 181} : args.crop;
    if (!voxel_count(t.extents.d0, t.extents.d1, t.extents.d2)) {
      throw UsageError("--crop " + extents_text(t.extents) + " is too large");
    }
    t.clean = make_phantom(t.extents);
    t.header = make_header(t.extents, 1.0);
    t.mask = positive(t.clean);
    t.source = "the built-in phantom (" + extents_text(t.extents) + "), since " +
               args.template_path + " is absent";
    t.mask_source = "the phantom's support";
  }
  for (double v : t.clean) t.peak = std::max(t.peak, v);
  if (!(t.peak > 0.0)) {
    throw RunError("the ground truth " + args.template_path + " has no positive voxel");
  }
  if (t.real && !args.full) {
    const Crop crop = central_crop(t.extents, args.crop);
    if (voxel_count(crop.extents) < voxel_count(t.extents)) {
      t.clean = crop_volume(t.clean, t.extents, crop);
      t.mask = crop_volume(t.mask, t.extents, crop);
      t.header = crop_header(*t.header, crop.offset, crop.extents);
      t.extents = crop.extents;
      t.cropped = true;
      t.source += "\n  cropped to the central " + extents_text(crop.extents) + " voxels (from x " +
                  std::to_string(crop.offset.d0) + ", y " + std::to_string(crop.offset.d1) +
                  ", z " + std::to_string(crop.offset.d2) +
                  ") so that the demo finishes quickly;\n  --full denoises the whole volume "
                  "(several minutes)";
    }
  }
  return t;
}

// Denoises `input` by `method`, drawing progress on a terminal.
Run denoise_one(const std::vector<double>& input, const GroundTruth& t, int level, int method,
                bool quiet) {
  Run run;
  run.level = level;
  run.true_sigma = t.peak * level / 100.0;
  run.method = method;
  run.denoised.resize(input.size());
  pipeline::Options options;
  options.method = kMethods[method];
  std::atomic<int32_t> done{0};
  options.slices_done = &done;
  ProgressBar bar(progress_wanted(quiet), pipeline::progress_steps(t.extents, options),
                  "slice steps");
  const std::string note =
      std::string(kMethodNames[method]) + ", " + std::to_string(level) + "% noise";
  pipeline::Resolved used;
  Status status = Status::ok;
  const auto start = Clock::now();
  run_with_progress(
      [&] {
        status = pipeline::denoise(input.data(), t.extents, options, run.denoised.data(), &used);
      },
      [&] { return int64_t{done.load()}; }, bar, [&] { return note; });
  bar.finish();
  run.seconds = seconds_since(start);
  if (status == Status::threads) throw RunError("worker threads cannot be created");
  if (status != Status::ok) throw RunError("not enough memory to denoise the demo volume");
  run.sigma = used.sigma;
  run.psnr_noisy = psnr(t.clean, input, t.mask, t.peak);
  run.psnr_denoised = psnr(t.clean, run.denoised, t.mask, t.peak);
  return run;
}

// Per noise level an axial and a coronal row: clean, noisy, and each result with its residual
// (noisy - denoised, mid-grey at 0, full scale at 3 sigma).
GrayImage make_figure(const GroundTruth& t, const std::vector<std::vector<double>>& noisy,
                      const std::vector<Run>& runs, const std::string& name) {
  const Extents& e = t.extents;
  const int32_t zoom = std::max(1, 240 / std::max(e.d0, 1));
  // Grey levels span 0 to 1.25 times the 99.5th percentile of the clean volume inside the mask:
  // the tissue is not left dim by a few bright voxels, and the noise above it is not clipped.
  std::vector<double> inside;
  for (size_t i = 0; i < t.clean.size(); ++i) {
    if (t.mask[i]) inside.push_back(t.clean[i]);
  }
  const size_t rank = (inside.size() - 1) * 995 / 1000;
  std::nth_element(inside.begin(), inside.begin() + static_cast<std::ptrdiff_t>(rank),
                   inside.end());
  const double white = inside[rank] > 0.0 ? 1.25 * inside[rank] : t.peak;
  const auto intensity = [white](double v) {
    return static_cast<uint8_t>(std::lround(std::clamp(v / white, 0.0, 1.0) * 255.0));
  };
  std::vector<std::vector<Panel>> rows;
  for (size_t l = 0; l < std::size(kLevels); ++l) {
    const double sigma = runs[2 * l].true_sigma;
    const auto residual = [sigma](double v) {
      return static_cast<uint8_t>(
          std::lround(std::clamp(128.0 + 127.0 * v / (3.0 * sigma), 0.0, 255.0)));
    };
    for (bool axial : {true, false}) {
      const int32_t index = axial ? e.d2 / 2 : e.d1 / 2;
      std::vector<Panel> row;
      row.push_back(
          {"Clean", axial ? "axial" : "coronal", slice(t.clean, e, axial, index, zoom, intensity)});
      row.push_back({"Noisy " + std::to_string(kLevels[l]) + "%",
                     fixed(runs[2 * l].psnr_noisy, 1) + " dB",
                     slice(noisy[l], e, axial, index, zoom, intensity)});
      for (int m = 0; m < 2; ++m) {
        const Run& r = runs[2 * l + static_cast<size_t>(m)];
        std::vector<double> diff(t.clean.size());
        for (size_t i = 0; i < diff.size(); ++i) diff[i] = noisy[l][i] - r.denoised[i];
        const std::string method = m == 0 ? "Guided" : "Block";
        row.push_back({method, fixed(r.psnr_denoised, 1) + " dB",
                       slice(r.denoised, e, axial, index, zoom, intensity)});
        row.push_back({method + " residual", "noisy - " + std::string(kMethodNames[m]),
                       slice(diff, e, axial, index, zoom, residual)});
      }
      rows.push_back(std::move(row));
    }
  }
  const std::vector<std::string> heading = {
      "volnlm demo: " + name + ", " + extents_text(e) + " voxels" +
          (t.cropped ? " (central crop)" : ""),
      "Rician noise at 3% and 9% of the maximum; PSNR over " +
          std::string(t.brain  ? "the brain"
                      : t.real ? "the nonzero voxels"
                               : "the support"),
      "Residual = noisy - denoised: mid-grey 0, full scale +-3 sigma"};
  return compose(heading, rows);
}

}  // namespace

Extents parse_crop(const std::string& text) {
  int32_t v[3] = {0, 0, 0};
  int n = 0;
  size_t at = 0;
  bool ok = !text.empty();
  while (ok && at <= text.size() && n < 3) {
    const size_t comma = text.find(',', at);
    const std::string part =
        text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    size_t used = 0;
    long value = 0;
    try {
      value = std::stol(part, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    ok = used > 0 && used == part.size() && value >= 1 && value <= 100000;
    if (ok) v[n++] = static_cast<int32_t>(value);
    if (comma == std::string::npos) break;
    at = comma + 1;
    if (n == 3) ok = false;  // more than three sizes
  }
  if (!ok || (n != 1 && n != 3)) {
    throw UsageError("--crop must be N or X,Y,Z with positive integers; got \"" + text + "\"");
  }
  return n == 1 ? Extents{v[0], v[0], v[0]} : Extents{v[0], v[1], v[2]};
}

int run_demo(const DemoArgs& args) {
  const auto start = Clock::now();
  const GroundTruth truth = load_ground_truth(args);
  const int64_t mask_voxels = std::count(truth.mask.begin(), truth.mask.end(), uint8_t{1});
  if (mask_voxels == 0) throw RunError("the PSNR mask holds no voxel of the region denoised");
  std::printf("volnlm demo\n  ground truth: %s\n", truth.source.c_str());
  std::printf("  PSNR over %s: %lld voxels, peak %s\n", truth.mask_source.c_str(),
              static_cast<long long>(mask_voxels), fixed(truth.peak, 1).c_str());
  std::printf(
      "  Rician noise at 3%% and 9%% of the maximum (seeds 3 and 9); sigma estimated from "
      "each noisy volume,\n  as volnlm denoise does by default\n\n");
  std::fflush(stdout);

  std::error_code ec;
  std::filesystem::create_directories(args.out, ec);
  if (ec || !std::filesystem::is_directory(args.out)) {
    throw RunError("cannot create the output directory " + args.out +
                   (ec ? ": " + ec.message() : ": a file of that name is in the way"));
  }
  const std::string dir = args.out + "/";
  write_single_volume(dir + "clean.nii.gz", *truth.header, truth.clean.data());

  std::vector<std::vector<double>> noisy;
  std::vector<Run> runs;
  for (int level : kLevels) {
    const double sigma = truth.peak * level / 100.0;
    noisy.push_back(add_rician_noise(truth.clean, sigma, static_cast<uint64_t>(level)));
    const std::string suffix = std::string("_").append(std::to_string(level)).append("pct.nii.gz");
    write_single_volume(dir + "noisy" + suffix, *truth.header, noisy.back().data());
    for (int m = 0; m < 2; ++m) {
      runs.push_back(denoise_one(noisy.back(), truth, level, m, args.quiet));
      write_single_volume(dir + kMethodNames[m] + suffix, *truth.header,
                          runs.back().denoised.data());
    }
  }

  std::printf(
      "  noise  true sigma  sigma used  method   PSNR noisy  PSNR denoised    gain    time\n");
  for (const Run& r : runs) {
    std::printf("  %3d%%   %10s  %10s  %-7s  %7s dB  %10s dB  %6s dB  %5s s\n", r.level,
                fixed(r.true_sigma, 2).c_str(), fixed(r.sigma, 2).c_str(), kMethodNames[r.method],
                fixed(r.psnr_noisy, 2).c_str(), fixed(r.psnr_denoised, 2).c_str(),
                fixed(r.psnr_denoised - r.psnr_noisy, 2, true).c_str(),
                fixed(r.seconds, 1).c_str());
  }

  const std::string name = truth.real
                               ? std::filesystem::path(args.template_path).filename().string()
                               : std::string("built-in phantom");
  const std::string figure = dir + "figure.png";
  write_png(figure, make_figure(truth, noisy, runs, name));
  std::printf("\n  volumes: %s{clean,noisy_*,guided_*,block_*}.nii.gz\n", dir.c_str());
  std::printf("  figure: %s\n", std::filesystem::absolute(figure).lexically_normal().c_str());
  std::printf("  total time %.1f s\n", seconds_since(start));
  return 0;
}

}  // namespace volnlm::cli
