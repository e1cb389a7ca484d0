// Voxel values and sigmas at the edges of what the filters take, through the built executable:
// negative voxels in Rician mode, sigmas far below or above the data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/nifti_io.h"
#include "common/text.h"
#include "fixture.h"
#include "phantom.h"
#include "run_tool.h"

namespace volnlm::cli {
namespace {

using testing::contains;
using testing::run_tool;
using testing::ScratchDir;
using testing::ToolRun;

void write_float32(const std::string& path, const Extents& e, const std::vector<double>& values) {
  Header image = testing::new_image(DT_FLOAT32, e);
  for (size_t i = 0; i < values.size(); ++i) {
    static_cast<float*>(image->data)[i] = static_cast<float>(values[i]);
  }
  testing::write_with_niftilib(image.get(), path);
}

// Rician mode takes voxels as magnitudes: negative ones are counted in a warning that points to
// Gaussian noise; the run still succeeds. Gaussian mode and non-negative data give no warning.
TEST(CliValues, RicianModeWarnsAboutNegativeVoxels) {
  ScratchDir dir;
  const Extents e{16, 14, 10};
  std::vector<double> values = add_rician_noise(make_phantom(e), 10.0, 4);
  const std::string clean = dir.file("clean.nii"), signed_data = dir.file("signed.nii");
  write_float32(clean, e, values);
  for (size_t i = 0; i < 7; ++i) values[i * 100] = -1.0 - static_cast<double>(i);
  write_float32(signed_data, e, values);
  struct Case {
    std::vector<std::string> args;
    bool warned;
  };
  const std::string out = dir.file("out.nii");
  const Case cases[] = {
      {{"denoise", signed_data, out}, true},
      {{"denoise", signed_data, out, "--method", "block", "--sigma", "10"}, true},
      {{"denoise", signed_data, out, "--noise", "gaussian"}, false},
      {{"denoise", clean, out}, false},
  };
  for (const Case& c : cases) {
    const ToolRun r = run_tool(c.args);
    ASSERT_EQ(r.status, 0) << c.args[1] << "\n" << r.err;
    const bool warned = contains(r.err, "volnlm: warning: " + signed_data +
                                            " holds 7 negative voxels; Rician noise is for "
                                            "magnitude images");
    EXPECT_EQ(warned, c.warned) << r.err;
    if (c.warned) {
      EXPECT_TRUE(contains(r.err, "For signed data use --noise gaussian")) << r.err;
    }
  }
}

// A sigma outside [peak * 2^-40, peak * 2^66] (peak: the volume's largest magnitude) is bad
// usage: exit 2, --sigma named once, the range given, no output left. Both ends of the range run
// and give finite voxels.
TEST(CliValues, SigmaOutsideTheVolumesRangeIsRefused) {
  ScratchDir dir;
  const Extents e{12, 11, 10};
  std::vector<double> values = add_rician_noise(make_phantom(e), 10.0, 6);
  double peak = 0.0;
  for (double& v : values) {
    v = static_cast<float>(v);  // as the file stores them
    peak = std::max(peak, std::fabs(v));
  }
  const std::string in = dir.file("in.nii"), out = dir.file("out.nii");
  write_float32(in, e, values);
  struct Case {
    std::string sigma;
    const char* method;
    int status;
  };
  const Case cases[] = {
      {"1e-300", "guided", 2},
      {"1e-40", "block", 2},
      {"1e-16", "guided", 2},
      {"1e30", "block", 2},
      {number_text(std::nextafter(std::ldexp(peak, -40), 0.0)), "block", 2},
      {number_text(std::ldexp(peak, -40)), "block", 0},
      {number_text(std::ldexp(peak, -40)), "guided", 0},
      {number_text(std::ldexp(peak, 66)), "block", 0},
      {number_text(std::nextafter(std::ldexp(peak, 66), INFINITY)), "guided", 2},
  };
  for (const Case& c : cases) {
    const ToolRun r = run_tool({"denoise", in, out, "--sigma", c.sigma, "--method", c.method,
                                "--noise", "gaussian", "--output-type", "float64", "--no-sidecar"});
    ASSERT_EQ(r.status, c.status) << c.sigma << "\n" << r.err;
    if (c.status == 2) {
      EXPECT_TRUE(contains(r.err, "volnlm: --sigma: sigma must be 0 or from " +
                                      number_text(std::ldexp(peak, -40), 6) + " to " +
                                      number_text(std::ldexp(peak, 66), 6) + " for this volume"))
          << r.err;
      EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.nii"}) << c.sigma;
      continue;
    }
    const std::vector<double> result = read_single_volume(out);
    for (double v : result) ASSERT_TRUE(std::isfinite(v)) << c.sigma;
    std::filesystem::remove(out);
  }
}

}  // namespace
}  // namespace volnlm::cli
