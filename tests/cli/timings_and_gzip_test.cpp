// The built executable's --timings (the stages of a run, their wall times adding up to the whole,
// a result that does not depend on being timed) and its compressed output (the bytes of the
// uncompressed file, whatever the level and thread count).
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "phantom.h"
#include "run_tool.h"

namespace volnlm::cli {
namespace {

using testing::run_tool;
using testing::ScratchDir;
using testing::slurp;

constexpr Extents kExtents{24, 20, 14};

void write_phantom(const std::string& path) {
  Header image = testing::new_image(DT_FLOAT32, kExtents);
  const std::vector<double> noisy = add_rician_noise(make_phantom(kExtents), 10.0, 3);
  for (size_t i = 0; i < noisy.size(); ++i) {
    static_cast<float*>(image->data)[i] = static_cast<float>(noisy[i]);
  }
  testing::write_with_niftilib(image.get(), path);
}

// The rows after the heading line "volnlm: wall time by stage (seconds)": name -> seconds.
std::map<std::string, double> timing_rows(const std::string& err, std::string* order) {
  std::map<std::string, double> rows;
  const size_t at = err.find("volnlm: wall time by stage (seconds)\n");
  if (at == std::string::npos) return rows;
  std::istringstream lines(err.substr(at));
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line) && line.starts_with("  ")) {
    const size_t last = line.find_last_of(' ');
    std::string name = line.substr(0, last);
    name.erase(0, name.find_first_not_of(' '));
    name.erase(name.find_last_not_of(' ') + 1);
    rows[name] = std::strtod(line.c_str() + last + 1, nullptr);
    *order += name + ";";
  }
  return rows;
}

TEST(CliTimings, StagesOfEachMethodAddUpAndLeaveTheResultAlone) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii.gz");
  write_phantom(in);
  struct Case {
    const char* method;
    const char* stages;  // in the order they first run, then other and total
  };
  const Case cases[] = {
      {"guided",
       "read;input checks;noise estimate;conversions;block filter;guided filter;"
       "write;finish files;other;total;"},
      {"block",
       "read;input checks;noise estimate;conversions;block filter;write;"
       "finish files;other;total;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    const auto timed = run_tool(
        {"denoise", in, dir.file("timed.nii.gz"), "--method", c.method, "-q", "--timings"});
    ASSERT_EQ(timed.status, 0) << timed.err;
    std::string order;
    const auto rows = timing_rows(timed.err, &order);
    EXPECT_EQ(order, c.stages) << timed.err;
    double sum = 0.0;
    for (const auto& [name, seconds] : rows) {
      EXPECT_GE(seconds, 0.0) << name;
      if (name != "total") sum += seconds;
    }
    // Each row is rounded to a millisecond.
    EXPECT_NEAR(sum, rows.at("total"), 0.0005 * static_cast<double>(rows.size()) + 1e-9);

    const auto plain = run_tool({"denoise", in, dir.file("plain.nii.gz"), "--method", c.method});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.err.find("wall time by stage"), std::string::npos);
    EXPECT_EQ(slurp(dir.file("timed.nii.gz")), slurp(dir.file("plain.nii.gz")));
  }
}

// The whole .nii.gz file through zlib's reader, which takes concatenated members as one stream.
std::string gunzip_file(const std::string& path) {
  gzFile f = gzopen(path.c_str(), "rb");
  if (f == nullptr) return "";
  std::string out;
  char buffer[1 << 16];
  int got = 0;
  while ((got = gzread(f, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(got));
  int code = Z_OK;
  gzerror(f, &code);
  gzclose(f);
  return code == Z_OK && got == 0 ? out : "damaged";
}

// Several members: a volume of over 4 MiB of float32 voxels, copied through (sigma 0), and a
// denoised one. The .nii.gz holds the bytes of the .nii written alongside it, on every level and
// thread count, and the same file for every thread count.
TEST(CliCompressedOutput, HoldsTheBytesOfTheUncompressedFileOnEveryLevelAndThreadCount) {
  ScratchDir dir;
  struct Case {
    const char* name;
    Extents extents;
    std::vector<std::string> options;
  };
  const Case cases[] = {
      {"copy of 4.1 MiB", {128, 128, 66}, {"--sigma", "0"}},
      {"denoised", kExtents, {"--method", "block"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string in = dir.file("in.nii");
    Header image = testing::new_image(DT_FLOAT32, c.extents);
    const std::vector<double> noisy = add_rician_noise(make_phantom(c.extents), 10.0, 3);
    for (size_t i = 0; i < noisy.size(); ++i) {
      static_cast<float*>(image->data)[i] = static_cast<float>(noisy[i]);
    }
    testing::write_with_niftilib(image.get(), in);
    const auto denoise = [&](const std::string& out, std::vector<std::string> extra) {
      std::vector<std::string> args = {"denoise", in, dir.file(out), "-q", "--force"};
      args.insert(args.end(), c.options.begin(), c.options.end());
      args.insert(args.end(), extra.begin(), extra.end());
      const auto r = run_tool(args);
      EXPECT_EQ(r.status, 0) << r.err;
      return slurp(dir.file(out));
    };
    const std::string plain = denoise("out.nii", {"--threads", "2"});
    ASSERT_GT(plain.size(), 352u);
    std::string first;
    const std::pair<const char*, const char*> runs[] = {{"1", "1"}, {"1", "2"}, {"1", "3"},
                                                        {"1", "8"}, {"9", "1"}, {"9", "2"}};
    for (const auto& [level, threads] : runs) {
      SCOPED_TRACE(std::string("level ") + level + ", " + threads + " threads");
      const std::string packed =
          denoise("out.nii.gz", {"--gzip-level", level, "--threads", threads});
      EXPECT_EQ(gunzip_file(dir.file("out.nii.gz")), plain);
      if (std::string(threads) == "1") first = packed;
      EXPECT_EQ(packed, first);
    }
  }
}

}  // namespace
}  // namespace volnlm::cli
