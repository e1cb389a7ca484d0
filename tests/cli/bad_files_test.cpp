// Malformed NIfTI files given to the built volnlm executable: each is either read as the header
// means it (with a warning where the header is odd) or refused with a message that says what is
// wrong with it, never read shifted, never with niftilib's own messages, never leaving a file.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "run_tool.h"

namespace volnlm::cli {
namespace {

using testing::contains;
using testing::run_tool;
using testing::ScratchDir;

constexpr Extents kExtents{6, 5, 4};

// The bytes of a float32 file whose voxel i holds i + 1, as niftilib (NIfTI-1) or our NIfTI-2
// writer make it; .gz compresses.
std::string valid_file(const ScratchDir& dir, bool nifti2, const std::string& name = "valid") {
  Header image = testing::new_image(DT_FLOAT32, kExtents);
  for (int64_t i = 0; i < voxel_count(kExtents); ++i) {
    static_cast<float*>(image->data)[i] = static_cast<float>(i + 1);
  }
  const std::string path = dir.file(name + (nifti2 ? "2.nii" : "1.nii"));
  testing::write_with_niftilib(image.get(), path, nifti2);
  const std::string bytes = testing::slurp(path);
  std::filesystem::remove(path);
  return bytes;
}

void put(const std::string& path, const std::string& bytes) {
  if (path.ends_with(".gz") || path.ends_with(".GZ")) {
    gzFile f = gzopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(gzwrite(f, bytes.data(), static_cast<unsigned>(bytes.size())),
              static_cast<int>(bytes.size()));
    ASSERT_EQ(gzclose(f), Z_OK);
  } else {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  }
}

template <class T>
std::string with(std::string bytes, size_t at, T value) {
  std::memcpy(bytes.data() + at, &value, sizeof value);
  return bytes;
}

// Header fields: NIfTI-1 keeps them at other places and in other widths than NIfTI-2.
std::string with_offset(const std::string& bytes, bool nifti2, double offset) {
  return nifti2 ? with(bytes, 168, static_cast<int64_t>(offset))
                : with(bytes, 108, static_cast<float>(offset));
}
std::string with_dim(const std::string& bytes, bool nifti2, int k, int64_t value) {
  return nifti2 ? with(bytes, 16 + 8 * k, value)
                : with(bytes, 40 + 2 * k, static_cast<int16_t>(value));
}
std::string with_datatype(const std::string& bytes, bool nifti2, int16_t datatype) {
  return with(bytes, nifti2 ? 12 : 70, datatype);
}

// Each case is run through `denoise --sigma 0`, which copies the voxels as read into a float32
// output: a file that is read gives back exactly 1, 2, 3, ... in its output.
TEST(CliBadFiles, OddHeadersAreReadAsMeantOrRefusedByName) {
  ScratchDir dir;
  const std::string v1 = valid_file(dir, false), v2 = valid_file(dir, true);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();

  struct Case {
    std::string name;   // the file's name in the scratch directory
    std::string bytes;  // written as they are, or compressed for a .gz name
    std::string message;
    bool read;  // true: read with a warning (the message) and denoised; false: refused
  };
  std::vector<Case> cases = {
      // vox_offset inside the header of a single file: the header's end, with a warning.
      {"offset0.nii", with_offset(v1, false, 0), "gives vox_offset = 0, inside its header", true},
      {"offset100.nii.gz", with_offset(v1, false, 100), "read from byte 352, the header's end",
       true},
      {"offset-1000.nii", with_offset(v1, false, -1000), "gives vox_offset = -1000", true},
      {"offset0_2.nii", with_offset(v2, true, 0), "read from byte 544, the header's end", true},
      {"offset-7_2.nii.gz", with_offset(v2, true, -7), "gives vox_offset = -7", true},
      // vox_offset that says nothing or points past the end.
      {"offset_nan.nii", with(v1, 108, nan), "vox_offset = nan", false},
      {"offset_inf.nii", with(v1, 108, inf), "vox_offset = inf", false},
      {"offset_-inf.nii.gz", with(v1, 108, -inf), "vox_offset = -inf", false},
      {"offset_past.nii", with_offset(v1, false, 1e6), "past the end", false},
      {"offset_past.nii.gz", with_offset(v1, false, 1e6), "past the end", false},
      {"offset_past_2.nii", with_offset(v2, true, 1e12), "past the end", false},
      // Headers niftilib refuses, said for what they are.
      {"rank0.nii", with_dim(v1, false, 0, 0), "gives dim[0] = 0: a NIfTI header has 1 to 7",
       false},
      {"rank9_2.nii", with_dim(v2, true, 0, 9), "gives dim[0] = 9", false},
      {"x0.nii", with_dim(v1, false, 1, 0), "holds no voxels: dim[1] = 0", false},
      {"y-3_2.nii", with_dim(v2, true, 2, -3), "has a negative extent: dim[2] = -3", false},
      {"binary.nii", with(with_datatype(v1, false, DT_BINARY), 72, int16_t{1}), "type BINARY",
       false},
      {"dt999.nii", with_datatype(v1, false, 999), "unknown datatype code 999", false},
      {"dt-5_2.nii.gz", with_datatype(v2, true, -5), "unknown datatype code -5", false},
      // A tiny file claiming a huge volume, plain and compressed.
      {"huge.nii", with_dim(v1.substr(0, 352), false, 1, 600) /* 600x5x4 from 6x5x4 */,
       "is truncated", false},
      {"huge.nii.gz",
       with_dim(with_dim(with_dim(v1.substr(0, 352), false, 1, 600), false, 2, 600), false, 3, 600),
       "huge.nii.gz is truncated", false},
      // Names outside the one rule for NIfTI names.
      {"mixed.Nii", v1, "mixes upper and lower case", false},
      {"mixed.nii.Gz", v1, "mixes upper and lower case", false},
      {"upper.NII", v1, "", true},
      {"upper.NII.GZ", v1, "", true},
  };
  // A compressed file cut inside its 8-byte trailer (the voxels are all there).
  put(dir.file("whole.nii.gz"), v1);
  const std::string gz = testing::slurp(dir.file("whole.nii.gz"));
  std::filesystem::remove(dir.file("whole.nii.gz"));
  for (const size_t cut : {8, 3}) {
    cases.push_back(
        {"cut" + std::to_string(cut) + ".bin", gz.substr(0, gz.size() - cut), "", false});
  }

  std::vector<std::string> inputs;
  for (const Case& c : cases) {
    const bool raw = c.name.ends_with(".bin");  // already compressed: written as they are
    const std::string path =
        dir.file(raw ? c.name.substr(0, c.name.size() - 4) + ".nii.gz" : c.name);
    if (raw) {
      std::ofstream(path, std::ios::binary).write(c.bytes.data(), std::streamsize(c.bytes.size()));
    } else {
      put(path, c.bytes);
    }
    inputs.push_back(std::filesystem::path(path).filename());
  }
  std::sort(inputs.begin(), inputs.end());

  for (size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    const bool raw = c.name.ends_with(".bin");
    const std::string in = dir.file(raw ? c.name.substr(0, c.name.size() - 4) + ".nii.gz" : c.name);
    const std::string message = raw ? "is truncated: its compressed data ends without the gzip "
                                      "trailer"
                                    : c.message;
    SCOPED_TRACE(in);
    const std::string out = dir.file("out.nii");
    const testing::ToolRun r = run_tool({"denoise", in, out, "--sigma", "0", "-q"});
    EXPECT_FALSE(contains(r.err, "** ")) << "niftilib's own message\n" << r.err;
    EXPECT_TRUE(contains(r.err, message)) << r.err;
    if (!c.read) {
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_TRUE(contains(r.err, in)) << r.err;
      EXPECT_EQ(dir.listing(), inputs);
      const testing::ToolRun estimate = run_tool({"estimate-sigma", in});
      EXPECT_EQ(estimate.status, 1) << estimate.out;
      EXPECT_EQ(estimate.out, "");
      EXPECT_TRUE(contains(estimate.err, message)) << estimate.err;
      continue;
    }
    EXPECT_EQ(r.status, 0) << r.err;
    if (r.status != 0) continue;
    if (!message.empty()) {
      EXPECT_TRUE(r.err.starts_with("volnlm: warning: " + in)) << r.err;
    }
    const std::vector<double> got = read_single_volume(out);
    std::vector<double> want(static_cast<size_t>(voxel_count(kExtents)));
    for (size_t i = 0; i < want.size(); ++i) want[i] = i + 1.0;
    EXPECT_EQ(got, want);
    std::filesystem::remove(out);
    std::filesystem::remove(dir.file("out.json"));  // the run's record, next to the output
  }
}

// The voxels of a .hdr/.img pair are in the .img: a short one is named, not its header.
TEST(CliBadFiles, ATruncatedImgIsNamed) {
  ScratchDir dir;
  Header image = testing::new_image(DT_INT16, kExtents);
  ASSERT_EQ(nifti_set_filenames(image.get(), dir.file("pair.hdr").c_str(), 0, 1), 0);
  image->nifti_type = NIFTI_FTYPE_NIFTI1_2;
  nifti_image_write(image.get());
  std::filesystem::resize_file(dir.file("pair.img"), 2 * voxel_count(kExtents) - 2);
  for (const std::string& in : {dir.file("pair.hdr"), dir.file("pair.img")}) {
    const testing::ToolRun r = run_tool({"denoise", in, dir.file("out.nii")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("volnlm: " + dir.file("pair.img") + " is truncated")) << r.err;
  }
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"pair.hdr", "pair.img"}));
}

// A 352-byte file whose header claims 600^3 voxels (1.7 GB as doubles) is reported truncated
// before anything of that size is allocated: under a 512 MiB address-space limit the answer is
// still "truncated", not "not enough memory".
TEST(CliBadFiles, ATinyFileClaimingAHugeVolumeIsTruncatedNotShortOfMemory) {
  ScratchDir dir;
  std::string bytes = valid_file(dir, false).substr(0, 352);
  for (int k = 1; k <= 3; ++k) bytes = with_dim(bytes, false, k, 600);
  put(dir.file("huge.nii"), bytes);
  put(dir.file("huge.nii.gz"), bytes);
  const auto limited = [] {
    const rlimit as{rlim_t{512} << 20, rlim_t{512} << 20};
    setrlimit(RLIMIT_AS, &as);
  };
  for (const std::string& in : {dir.file("huge.nii"), dir.file("huge.nii.gz")}) {
    for (const std::string command : {"denoise", "estimate-sigma"}) {
      SCOPED_TRACE(command + " " + in);
      std::vector<std::string> args{command, in};
      if (command == "denoise") args.push_back(dir.file("out.nii"));
      const testing::ToolRun r = run_tool(args, limited);
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(r.err.starts_with("volnlm: " + in + " is truncated")) << r.err;
    }
  }
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"huge.nii", "huge.nii.gz"}));

  // 1024 x 1024 x 600 float32 voxels: a volume's bytes pass 2^31, its voxels do not.
  bytes = with_dim(with_dim(with_dim(bytes, false, 1, 1024), false, 2, 1024), false, 3, 600);
  put(dir.file("huger.nii"), bytes);
  const testing::ToolRun r = run_tool({"estimate-sigma", dir.file("huger.nii")}, limited);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "from byte 352, 2516582752 bytes in all, but the file holds 352"))
      << r.err;
}

}  // namespace
}  // namespace volnlm::cli
