// Option values and results the built volnlm executable once took or gave without a word: empty
// values, values past float32 in a float32 output, a guide placed elsewhere in space.
#include <gtest/gtest.h>

#include "run_tool.h"

namespace volnlm::cli {
namespace {

using testing::contains;
using testing::run_tool;
using testing::ScratchDir;

constexpr Extents kExtents{8, 7, 6};

// int16 voxels i + 1 under a scaling slope, with an sform moved by `shift` millimetres in x.
void write_int16(const std::string& path, double slope = 1.0, double shift = 0.0) {
  Header image = testing::new_image(DT_INT16, kExtents);
  for (int64_t i = 0; i < voxel_count(kExtents); ++i) {
    static_cast<int16_t*>(image->data)[i] = static_cast<int16_t>(i + 1);
  }
  image->scl_slope = slope;
  image->sform_code = NIFTI_XFORM_SCANNER_ANAT;
  image->sto_xyz = nifti_quatern_to_dmat44(0, 0, 0, -4 + shift, -3.5, -3, 1, 1, 1, 1);
  testing::write_with_niftilib(image.get(), path);
}

// Every option given an empty value is refused by name (status 2), and the message names the
// option once; nothing is read or written.
TEST(CliOptions, EmptyValuesAreRefusedByName) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii"), out = dir.file("out.nii");
  write_int16(in);
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"denoise", in, out, "--search-radius", ""}, "volnlm: --search-radius is empty"},
      {{"denoise", in, out, "--patch-radius", ""}, "volnlm: --patch-radius is empty"},
      {{"denoise", in, out, "--guided-search-radius", ""},
       "volnlm: --guided-search-radius is empty"},
      {{"denoise", in, out, "--smoothing", ""}, "volnlm: --smoothing is empty"},
      {{"denoise", in, out, "--guide", ""}, "volnlm: --guide is empty"},
      {{"denoise", in, out, "--sigma", ""}, "volnlm: --sigma: must be auto or"},
      {{"denoise", in, out, "--sigma", "1e-320"}, "volnlm: --sigma: must be auto or"},
      {{"denoise", "", out}, "volnlm: IN is empty"},
      {{"denoise", in, ""}, "volnlm: OUT is empty"},
      {{"estimate-sigma", ""}, "volnlm: IN is empty"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += "'" + a + "' ";
    SCOPED_TRACE(line);
    const testing::ToolRun r = run_tool(c.args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(r.err.starts_with(c.message)) << r.err;
    EXPECT_FALSE(contains(r.err, "--sigma: --sigma")) << r.err;
  }
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.nii"});
}

// A float32 output cannot hold values past 3.4e38: the run says how many became infinite and
// how to keep them; float64 keeps them without a warning.
TEST(CliOptions, ValuesPastFloat32AreReported) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii");
  write_int16(in, 1e38);  // voxels 1e38, 2e38, ...: all from the fourth past float32
  const int64_t past = voxel_count(kExtents) - 3;
  const testing::ToolRun f32 = run_tool({"denoise", in, dir.file("f32.nii"), "--sigma", "0", "-q"});
  EXPECT_EQ(f32.status, 0) << f32.err;
  EXPECT_EQ(f32.err, "volnlm: warning: " + dir.file("f32.nii") + ": " + std::to_string(past) +
                         " voxels of the result lie beyond the float32 range (3.4e38) and were "
                         "written as infinite; --output-type float64 keeps them\n");
  const testing::ToolRun f64 = run_tool(
      {"denoise", in, dir.file("f64.nii"), "--sigma", "0", "-q", "--output-type", "float64"});
  EXPECT_EQ(f64.status, 0) << f64.err;
  EXPECT_EQ(f64.err, "");
  const std::vector<double> kept = read_single_volume(dir.file("f64.nii"));
  EXPECT_EQ(kept.back(), voxel_count(kExtents) * static_cast<double>(1e38f));
}

// A guide placed elsewhere in space than the input is used as given, with a warning; one in the
// same place (within single precision) gives none.
TEST(CliOptions, AGuideElsewhereInSpaceIsWarnedAbout) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii");
  write_int16(in);
  struct Case {
    double shift;
    bool warned;
  };
  for (const Case c : {Case{0.0, false}, Case{1e-7, false}, Case{2.0, true}, Case{-0.01, true}}) {
    SCOPED_TRACE(c.shift);
    const std::string guide = dir.file("guide.nii");
    write_int16(guide, 1.0, c.shift);
    const testing::ToolRun r =
        run_tool({"denoise", in, dir.file("out.nii"), "--guide", guide, "--sigma", "5", "-q"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(contains(r.err, "volnlm: warning: the guide " + guide +
                                  " lies elsewhere in space than " + in),
              c.warned)
        << r.err;
  }
}

}  // namespace
}  // namespace volnlm::cli
