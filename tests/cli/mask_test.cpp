// --mask through the built volnlm executable: the pipeline's masked result inside and the input
// outside, one mask for every volume of a series, the automatic mask, masks on another grid
// refused before anything is written, an empty mask, and what the summary and sidecar say.
#include "common/mask.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "phantom.h"
#include "pipeline/pipeline.h"
#include "pipeline/record.h"
#include "pipeline/series.h"
#include "run_tool.h"

namespace volnlm::cli {
namespace {

using testing::contains;
using testing::run_tool;
using testing::ScratchDir;
using testing::slurp;

constexpr Extents kExtents{20, 18, 12};
const int64_t kVoxels = voxel_count(kExtents);

struct Grid {
  Extents extents = kExtents;
  double shift = 0.0;    // millimetres added to the sform's x offset
  double voxel_z = 1.5;  // the sform's voxel size along z
};

// Writes `volumes` (each of the grid's voxel count) as float64, or float32 for a mask, under an
// sform of the grid; the values are kept exactly.
void write_volumes(const std::string& path, const std::vector<std::vector<double>>& volumes,
                   const Grid& grid = {}, int datatype = DT_FLOAT64) {
  Header image = testing::new_image(datatype, grid.extents, static_cast<int64_t>(volumes.size()));
  image->sform_code = NIFTI_XFORM_SCANNER_ANAT;
  image->sto_xyz =
      nifti_quatern_to_dmat44(0, 0, 0, -10 + grid.shift, -9, -6, 1, 1, grid.voxel_z, 1);
  image->pixdim[3] = image->dz = static_cast<float>(grid.voxel_z);
  const int64_t n = voxel_count(grid.extents);
  for (size_t v = 0; v < volumes.size(); ++v) {
    for (int64_t i = 0; i < n; ++i) testing::set_raw(image.get(), v * n + i, volumes[v][i]);
  }
  testing::write_with_niftilib(image.get(), path);
}

std::vector<double> read_volume(const std::string& path, int64_t v = 0) {
  Header image = testing::read_with_niftilib(path);
  if (!image || image->datatype != DT_FLOAT64) return {};
  const auto* data = static_cast<const double*>(image->data);
  const int64_t n = image->nx * image->ny * image->nz;
  return std::vector<double>(data + v * n, data + (v + 1) * n);
}

// A number as the sidecar writes it.
std::string json_number(double v) {
  std::string text = pipeline::to_json(pipeline::Value(v));
  text.pop_back();  // the newline
  return text;
}

std::vector<double> noisy(uint64_t seed, double sigma = 10.0) {
  return add_rician_noise(make_phantom(kExtents), sigma, seed);
}

// A ball off centre, a single voxel in a corner, a one-voxel line: as mask values, inside as
// 1, 2.5 or -1, outside 0 or NaN (a float mask's NaN counts as outside).
std::vector<double> mask_values(std::vector<uint8_t>* inside) {
  std::vector<double> values(static_cast<size_t>(kVoxels), 0.0);
  inside->assign(values.size(), 0);
  for (int32_t z = 0; z < kExtents.d2; ++z) {
    for (int32_t y = 0; y < kExtents.d1; ++y) {
      for (int32_t x = 0; x < kExtents.d0; ++x) {
        const int64_t i = x + kExtents.d0 * (y + int64_t{kExtents.d1} * z);
        const bool ball = (x - 6) * (x - 6) + (y - 9) * (y - 9) + (z - 5) * (z - 5) <= 12;
        const bool line = x == 14 && z == 8;
        const bool corner = i == kVoxels - 1;
        if (ball || line || corner) {
          values[i] = ball ? 1.0 : line ? 2.5 : -1.0;
          (*inside)[i] = 1;
        } else if (x % 5 == 0) {
          values[i] = NAN;
        }
      }
    }
  }
  return values;
}

// Inside the mask each volume of OUT is the pipeline's masked result (the mask read as the
// pipeline needs it, the same one for every volume); outside it OUT is the input; the summary
// and the sidecar name the mask and its coverage.
TEST(CliMask, AMaskFileRestrictsEveryVolumeAndIsRecorded) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii"), mask = dir.file("mask.nii.gz");
  const std::vector<std::vector<double>> volumes = {noisy(1), noisy(2, 20.0)};
  write_volumes(in, volumes);
  std::vector<uint8_t> inside;
  write_volumes(mask, {mask_values(&inside)}, {}, DT_FLOAT32);
  const double coverage = static_cast<double>(mask_count(inside.data(), kVoxels)) / kVoxels;

  struct Case {
    std::vector<std::string> options;
    pipeline::Method method;
    pipeline::SeriesSigma sigma;
  } cases[] = {
      {{}, pipeline::Method::guided, {}},
      {{"--method", "block", "--shared-sigma"}, pipeline::Method::block, {{}, true}},
      {{"--sigma", "12"}, pipeline::Method::guided, {{12.0}, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.empty() ? "estimated" : c.options.back());
    std::vector<std::string> args{"denoise",       in,       dir.file("out.nii"), "--mask", mask,
                                  "--output-type", "float64"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const testing::ToolRun r = run_tool(args);
    ASSERT_EQ(r.status, 0) << r.err;
    char percent[64];
    std::snprintf(percent, sizeof percent, "%.3g%% of the volume", 100.0 * coverage);
    EXPECT_TRUE(contains(r.err, ", mask " + mask + " (" + percent + ")")) << r.err;

    pipeline::Options options;
    options.method = c.method;
    options.mask = inside.data();
    std::vector<double> want(volumes.size() * kVoxels);
    std::vector<double> series;
    for (const auto& v : volumes) series.insert(series.end(), v.begin(), v.end());
    ASSERT_EQ(pipeline::denoise_series(series.data(), kExtents, 2, options, c.sigma, want.data()),
              Status::ok);
    for (int64_t v = 0; v < 2; ++v) {
      const std::vector<double> got = read_volume(dir.file("out.nii"), v);
      ASSERT_EQ(got.size(), static_cast<size_t>(kVoxels));
      int64_t changed = 0;
      for (int64_t i = 0; i < kVoxels; ++i) {
        ASSERT_EQ(got[i], want[v * kVoxels + i]) << "volume " << v << " voxel " << i;
        if (!inside[i]) {
          ASSERT_EQ(got[i], volumes[v][i]) << "volume " << v << " voxel " << i;
        }
        changed += got[i] != volumes[v][i];
      }
      EXPECT_GT(changed, 0);
    }
    const std::string sidecar = slurp(dir.file("out.json"));
    EXPECT_TRUE(contains(sidecar, "\"Sources\": [\"" + in + "\", \"" + mask + "\"]")) << sidecar;
    EXPECT_TRUE(contains(sidecar, "\"Mask\": {\n    \"Source\": \"" + mask +
                                      "\",\n    \"Coverage\": " + json_number(coverage)))
        << sidecar;
  }

  // With --guide the guided filter alone runs on the mask: the pipeline's masked run on that
  // guide, the input outside.
  const std::string guide = dir.file("guide.nii");
  std::vector<double> guide_values = volumes[0];
  for (double& v : guide_values) v = std::round(v / 4.0) * 4.0;
  write_volumes(guide, {guide_values});
  ASSERT_EQ(run_tool({"denoise", in, dir.file("on_guide.nii"), "--guide", guide, "--mask", mask,
                      "--output-type", "float64", "-q"})
                .status,
            0);
  pipeline::Options options;
  options.mask = inside.data();
  for (int64_t v = 0; v < 2; ++v) {
    std::vector<double> want(static_cast<size_t>(kVoxels));
    ASSERT_EQ(pipeline::denoise_on_guide(volumes[v].data(), guide_values.data(), kExtents, options,
                                         want.data()),
              Status::ok);
    EXPECT_EQ(read_volume(dir.file("on_guide.nii"), v), want) << "volume " << v;
  }

  // estimate-sigma: each volume's estimate from the voxels inside the mask.
  const testing::ToolRun est = run_tool({"estimate-sigma", in, "--mask", mask});
  ASSERT_EQ(est.status, 0) << est.err;
  std::string expected;
  for (const auto& v : volumes) {
    char line[32];
    std::snprintf(line, sizeof line, "%.6g\n",
                  pipeline::estimate_sigma(v.data(), kExtents, true, inside.data()));
    expected += line;
  }
  EXPECT_EQ(est.out, expected);
}

// --mask auto: the head mask of the first volume, for every volume and for the estimate.
TEST(CliMask, TheAutomaticMaskIsMadeFromTheFirstVolume) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii");
  // The second volume is the first one shifted by three voxels along x: its own head mask
  // would differ.
  const std::vector<double> first = noisy(3);
  std::vector<double> second(first.size());
  for (int64_t i = 0; i < kVoxels; ++i) second[i] = first[(i + 3) % kVoxels];
  write_volumes(in, {first, second});
  const std::vector<uint8_t> head = pipeline::head_mask(first.data(), kExtents);
  ASSERT_NE(head, pipeline::head_mask(second.data(), kExtents));
  const double coverage = static_cast<double>(mask_count(head.data(), kVoxels)) / kVoxels;

  const testing::ToolRun r =
      run_tool({"denoise", in, dir.file("out.nii"), "--mask", "auto", "--output-type", "float64"});
  ASSERT_EQ(r.status, 0) << r.err;
  char percent[64];
  std::snprintf(percent, sizeof percent, "%.3g%% of the volume", 100.0 * coverage);
  EXPECT_TRUE(contains(r.err, ", mask auto (" + std::string(percent) + ")")) << r.err;
  const std::string sidecar = slurp(dir.file("out.json"));
  EXPECT_TRUE(contains(sidecar, "\"Sources\": [\"" + in + "\"]")) << sidecar;
  EXPECT_TRUE(
      contains(sidecar, "\"Source\": \"auto\",\n    \"Coverage\": " + json_number(coverage)))
      << sidecar;
  pipeline::Options options;
  options.mask = head.data();
  std::string expected;
  for (int64_t v = 0; v < 2; ++v) {
    const std::vector<double>& volume = v == 0 ? first : second;
    std::vector<double> want(static_cast<size_t>(kVoxels));
    ASSERT_EQ(pipeline::denoise(volume.data(), kExtents, options, want.data()), Status::ok);
    EXPECT_EQ(read_volume(dir.file("out.nii"), v), want) << "volume " << v;
    char line[32];
    std::snprintf(line, sizeof line, "%.6g\n",
                  pipeline::estimate_sigma(volume.data(), kExtents, true, head.data()));
    expected += line;
  }
  const testing::ToolRun est = run_tool({"estimate-sigma", in, "--mask", "auto"});
  ASSERT_EQ(est.status, 0) << est.err;
  EXPECT_EQ(est.out, expected);
}

// A mask on another grid (extents, place, voxel size) or with more than one volume is bad usage,
// named with both grids before anything is computed or written; a difference within the
// header's precision is the same grid.
TEST(CliMask, AMaskOnAnotherGridIsRefusedBeforeAnythingIsWritten) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii");
  write_volumes(in, {noisy(4)});
  const std::vector<double> ones(static_cast<size_t>(kVoxels), 1.0);
  struct Case {
    const char* name;
    Grid grid;
    int volumes;
    const char* message;  // empty: accepted
  } cases[] = {
      {"fewer slices", {{20, 18, 11}, 0.0, 1.5}, 1, "20x18x11 voxels, affine [1 0 0 -10; "},
      {"swapped extents", {{18, 20, 12}, 0.0, 1.5}, 1, "18x20x12 voxels"},
      {"moved half a voxel", {kExtents, 0.5, 1.5}, 1, "affine [1 0 0 -9.5; 0 1 0 -9; 0 0 1.5 -6]"},
      {"thicker slices", {kExtents, 0.0, 2.0}, 1, "affine [1 0 0 -10; 0 1 0 -9; 0 0 2 -6]"},
      {"two volumes", {}, 2, "holds 2 volumes; a mask is one 3-D volume"},
      {"moved by a rounding error", {kExtents, 1e-7, 1.5}, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string mask = dir.file("mask.nii");
    const std::vector<double> values(static_cast<size_t>(voxel_count(c.grid.extents)), 1.0);
    write_volumes(mask, std::vector<std::vector<double>>(c.volumes, values), c.grid, DT_UINT8);
    const std::string out = dir.file("out.nii");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"denoise", in, out, "--mask", mask, "--residual",
                                   dir.file("res.nii")},
          std::vector<std::string>{"estimate-sigma", in, "--mask", mask}}) {
      const testing::ToolRun r = run_tool(args);
      if (*c.message == '\0') {
        EXPECT_EQ(r.status, 0) << r.err;
        continue;
      }
      EXPECT_EQ(r.status, 2) << r.err;
      EXPECT_TRUE(contains(r.err, "volnlm: --mask: the mask " + mask)) << r.err;
      EXPECT_TRUE(contains(r.err, c.message)) << r.err;
      if (c.volumes == 1) {
        EXPECT_TRUE(contains(r.err, "lies on another grid than " + in + ": ")) << r.err;
        EXPECT_TRUE(contains(r.err,
                             ", against 20x18x12 voxels, affine [1 0 0 -10; 0 1 0 -9; "
                             "0 0 1.5 -6]"))
            << r.err;
      }
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(dir.listing(), (std::vector<std::string>{"in.nii", "mask.nii"}));
    }
    std::filesystem::remove(out);
    std::filesystem::remove(dir.file("out.json"));
    std::filesystem::remove(dir.file("res.nii"));
  }
}

// A mask with no voxel inside, from a file or made automatically from a volume without a head:
// OUT is the input, with a warning; the estimate is 0.
TEST(CliMask, AnEmptyMaskGivesTheInputWithAWarning) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii"), flat = dir.file("flat.nii"),
                    mask = dir.file("nan.nii");
  const std::vector<double> volume = noisy(5);
  write_volumes(in, {volume});
  write_volumes(flat, {std::vector<double>(static_cast<size_t>(kVoxels), 7.0)});
  write_volumes(mask, {std::vector<double>(static_cast<size_t>(kVoxels), NAN)}, {}, DT_FLOAT32);
  struct Case {
    std::string in, mask, warning;
  } cases[] = {
      {in, mask, "volnlm: warning: the mask " + mask + " holds no voxel: "},
      {flat, "auto",
       "volnlm: warning: the automatic mask (--mask auto), made from the first volume, holds no "
       "voxel: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mask);
    const std::string out = dir.file("out.nii");
    const testing::ToolRun r =
        run_tool({"denoise", c.in, out, "--mask", c.mask, "--output-type", "float64"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, c.warning + "nothing is filtered and " + out + " is the input"))
        << r.err;
    EXPECT_TRUE(contains(r.err, " (0% of the volume)")) << r.err;
    EXPECT_EQ(read_volume(out),
              c.in == in ? volume : std::vector<double>(static_cast<size_t>(kVoxels), 7.0));
    const testing::ToolRun est = run_tool({"estimate-sigma", c.in, "--mask", c.mask});
    ASSERT_EQ(est.status, 0) << est.err;
    EXPECT_EQ(est.out, "0\n");
    EXPECT_TRUE(contains(est.err, c.warning + "the estimate is 0")) << est.err;
  }
}

}  // namespace
}  // namespace volnlm::cli
