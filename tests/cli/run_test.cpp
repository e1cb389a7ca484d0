// The built volnlm executable, run as a user runs it: exit statuses, messages, files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli/run_record.h"
#include "common/text.h"
#include "fixture.h"
#include "phantom.h"
#include "pipeline/defaults.h"
#include "pipeline/pipeline.h"
#include "pipeline/record.h"
#include "pipeline/series.h"

namespace volnlm::cli {
namespace {

using testing::ScratchDir;

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

[[noreturn]] void exec_volnlm(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(VOLNLM_EXE));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(VOLNLM_EXE, argv.data());
  _exit(127);
}

int status_of(int wstatus) {
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

// Runs volnlm with stdout and stderr going to files (stderr is not a terminal).
Result run(const std::vector<std::string>& args) {
  ScratchDir logs;
  const std::string out = logs.file("out"), err = logs.file("err");
  const pid_t pid = fork();
  if (pid == 0) {
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    exec_volnlm(args);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return Result{status_of(wstatus), slurp(out), slurp(err)};
}

// Runs volnlm with stderr on a pseudo-terminal, collecting what it draws there.
Result run_on_terminal(const std::vector<std::string>& args) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return Result{};
  const pid_t pid = fork();
  if (pid == 0) {
    close(master);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(slave, 2);
    exec_volnlm(args);
  }
  close(slave);
  Result r;
  char buffer[4096];
  for (;;) {  // read until the terminal closes, so that the child never blocks on it
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      r.err.append(buffer, static_cast<size_t>(n));
    }
  }
  close(master);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  r.status = status_of(wstatus);
  return r;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A noisy phantom stored as int16 with a scaling, as scanners write magnitude images.
constexpr Extents kExtents{20, 18, 12};

std::vector<double> noisy_phantom(double sigma, uint64_t seed) {
  return add_rician_noise(make_phantom(kExtents), sigma, seed);
}

// Stores volumes as int16 with slope 0.5 and intercept 2; returns the values as stored.
std::vector<std::vector<double>> write_input(const std::string& path,
                                             const std::vector<std::vector<double>>& volumes) {
  const int64_t n = voxel_count(kExtents);
  Header image = testing::new_image(DT_INT16, kExtents, static_cast<int64_t>(volumes.size()));
  image->scl_slope = 0.5;
  image->scl_inter = 2.0;
  image->sform_code = NIFTI_XFORM_SCANNER_ANAT;
  image->sto_xyz = nifti_quatern_to_dmat44(0, 0, 0, -10, -9, -6, 1, 1, 1.5, 1);
  image->pixdim[3] = image->dz = 1.5;
  std::strcpy(image->descrip, "phantom for volnlm");
  std::vector<std::vector<double>> stored;
  for (size_t v = 0; v < volumes.size(); ++v) {
    stored.emplace_back(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
      const auto raw = static_cast<int16_t>(std::lround((volumes[v][i] - 2.0) / 0.5));
      static_cast<int16_t*>(image->data)[v * n + i] = raw;
      stored[v][i] = raw * 0.5 + 2.0;
    }
  }
  testing::write_with_niftilib(image.get(), path);
  return stored;
}

std::vector<double> volume_of(const nifti_image& image, int64_t v) {
  const int64_t n = image.nx * image.ny * image.nz;
  std::vector<double> out(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    out[i] = image.datatype == DT_FLOAT64 ? static_cast<const double*>(image.data)[v * n + i]
                                          : static_cast<const float*>(image.data)[v * n + i];
  }
  return out;
}

TEST(Cli, HelpAndVersionExitZero) {
  const Result help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* part :
       {"denoise", "estimate-sigma", "--method", "--sigma", "--noise", "--search-radius",
        "--patch-radius", "--smoothing", "--guided-search-radius", "--guide", "--output-type",
        "--quiet", "--threads", "VOLNLM_NUM_THREADS", "Exit status"}) {
    EXPECT_TRUE(contains(help.out, part)) << part;
  }
  const Result sub = run({"denoise", "--help"});
  EXPECT_EQ(sub.status, 0);
  EXPECT_TRUE(contains(sub.out, "--output-type"));
  const Result version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "volnlm " VOLNLM_VERSION "\n");
}

// The help shows the core's defaults and method names, not copies of them.
TEST(Cli, HelpShowsTheCoresDefaults) {
  const Result help = run({"denoise", "--help"});
  ASSERT_EQ(help.status, 0);
  const struct {
    const char* option;
    double value;
  } defaults[] = {{"--search-radius", pipeline::kDefaultSearchRadius},
                  {"--guided-search-radius", pipeline::kDefaultGuidedSearchRadius}};
  const auto line_of = [&](const std::string& option) {
    const size_t at = help.out.find(option + " ");
    return at == std::string::npos ? std::string()
                                   : help.out.substr(at, help.out.find('\n', at) - at);
  };
  for (const auto& d : defaults) {
    EXPECT_TRUE(contains(line_of(d.option), "(default " + number_text(d.value, 6) + ")"))
        << d.option << ": " << line_of(d.option);
  }
  // The default patch radius and smoothing follow the noise: the help states the rules.
  EXPECT_TRUE(contains(line_of("--patch-radius"),
                       "(default: " + pipeline::default_patch_radius_text() + ")"))
      << line_of("--patch-radius");
  EXPECT_TRUE(
      contains(line_of("--smoothing"), "(default: " + pipeline::default_smoothing_text() + ")"))
      << line_of("--smoothing");
  EXPECT_TRUE(
      contains(help.out, std::string("=") + pipeline::method_name(pipeline::Options{}.method)))
      << help.out;
}

// Bad usage: status 2, a message naming what is wrong, and no file written.
TEST(Cli, BadUsageExitsTwo) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii.gz"), out = dir.file("out.nii.gz");
  write_input(in, {noisy_phantom(8.0, 1)});
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{}, "subcommand"},
      {{"frobnicate"}, "frobnicate"},
      {{"denoise", in}, "OUT"},
      {{"denoise", in, out, "--method", "fast"}, "--method"},
      {{"denoise", in, out, "--sigma", "-1"}, "--sigma"},
      {{"denoise", in, out, "--sigma", "nan"}, "--sigma"},
      {{"denoise", in, out, "--sigma", "loud"}, "--sigma"},
      {{"denoise", in, out, "--noise", "poisson"}, "--noise"},
      {{"denoise", in, out, "--search-radius", "0"}, "--search-radius"},
      {{"denoise", in, out, "--search-radius", "two"}, "--search-radius"},
      {{"denoise", in, out, "--guided-search-radius", "0"}, "--guided-search-radius"},
      {{"denoise", in, out, "--patch-radius", "-1"}, "--patch-radius"},
      {{"denoise", in, out, "--smoothing", "0"}, "--smoothing"},
      {{"denoise", in, out, "--output-type", "int16"}, "--output-type"},
      {{"denoise", in, dir.file("out.img")}, ".nii"},
      {{"denoise", in, out, "--method", "block", "--guide", in}, "--guide"},
      {{"denoise", in, out, "--guide", in, "--patch-radius", "2"}, "--guided-search-radius"},
      {{"denoise", in, out, "--bogus"}, "--bogus"},
      {{"denoise", in, out, "--sigma", "1,2"}, "sigma has 2 values but the series has 1 volumes"},
      {{"denoise", in, out, "--sigma", "1,x"}, "--sigma: value 2 must be a finite number"},
      {{"denoise", in, out, "--sigma", "1,"}, "--sigma: value 2"},
      {{"denoise", in, out, "--sigma", "@"}, "--sigma: @FILE needs a file name"},
      {{"denoise", in, out, "--sigma", "3", "--shared-sigma"}, "--shared-sigma"},
      {{"denoise", in, out, "--residual", dir.file("r.img")}, "--residual"},
      {{"denoise", in, out, "--residual", out},
       "--residual must name a file other than IN and OUT"},
      {{"denoise", in, out, "--threads", "0"}, "--threads"},
      {{"denoise", in, out, "--threads", "-2"}, "--threads"},
      {{"denoise", in, out, "--threads", "two"}, "--threads"},
      {{"denoise", in, out, "--threads", "1.5"}, "--threads"},
      {{"denoise", in, out, "--threads", ""}, "--threads"},

      {{"estimate-sigma"}, "IN"},
      {{"demo"}, "demo"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    const Result r = run(c.args);
    EXPECT_EQ(r.status, 2) << line << "\n" << r.err;
    EXPECT_TRUE(contains(r.err, c.message)) << line << "\n" << r.err;
    EXPECT_FALSE(contains(r.err, "terminate")) << line;
  }
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.nii.gz"});
}

// A failed run: status 1, the cause, and nothing half-written left behind.
TEST(Cli, FailedRunsExitOne) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii"), out = dir.file("out.nii");
  write_input(in, {noisy_phantom(8.0, 1)});
  std::ofstream(dir.file("notes.nii")) << "these are notes, not an image\n";
  Header other = testing::new_image(DT_FLOAT32, Extents{20, 18, 11});
  testing::write_with_niftilib(other.get(), dir.file("other.nii"));
  std::filesystem::copy_file(in, dir.file("cut.nii"));
  std::filesystem::resize_file(dir.file("cut.nii"), 352 + 100);

  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"denoise", dir.file("missing.nii"), out}, "No such file"},
      {{"denoise", dir.path(), out}, "is a directory"},
      {{"denoise", dir.file("notes.nii"), out}, "not a NIfTI file"},
      {{"denoise", dir.file("cut.nii"), out}, "truncated"},
      {{"denoise", in, dir.file("no/such/dir/out.nii")}, "No such file"},
      {{"denoise", in, "/proc/volnlm-test.nii"}, "cannot write /proc/volnlm-test.nii"},
      {{"denoise", in, dir.path() + "/"}, ".nii"},
      {{"denoise", in, out, "--guide", dir.file("other.nii")}, "must have the extents of"},
      {{"denoise", in, out, "--guide", dir.file("missing.nii")}, "No such file"},
      {{"denoise", in, out, "--sigma", "@" + dir.file("missing.txt")},
       "cannot read the sigma file"},
      {{"denoise", in, out, "--residual", dir.file("no/such/dir/res.nii")}, "No such file"},
      {{"denoise", dir.file("cut.nii"), out, "--residual", dir.file("res.nii")}, "truncated"},
      {{"estimate-sigma", dir.file("notes.nii")}, "not a NIfTI file"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    const Result r = run(c.args);
    EXPECT_TRUE(r.status == 1 || (r.status == 2 && c.args[2].back() == '/')) << line << "\n"
                                                                             << r.err;
    EXPECT_TRUE(contains(r.err, c.message)) << line << "\n" << r.err;
  }
  EXPECT_EQ(dir.listing(),
            (std::vector<std::string>{"cut.nii", "in.nii", "notes.nii", "other.nii"}));

  if (geteuid() != 0) {  // permissions do not bind root
    const std::string locked = dir.file("locked");
    std::filesystem::create_directory(locked);
    std::filesystem::permissions(
        locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const Result r = run({"denoise", in, locked + "/out.nii"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Permission denied")) << r.err;
  }
}

// The result is the pipeline's on the scaled values, in float32, under the input's header;
// a one-line summary follows unless --quiet.
TEST(Cli, DenoisesWithTheInputsHeaderAndSummarises) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii.gz"), out = dir.file("out.nii.gz");
  const auto stored = write_input(in, {noisy_phantom(10.0, 2)});
  const Result r = run({"denoise", in, out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.empty());
  EXPECT_TRUE(contains(r.err, "volnlm: wrote " + out)) << r.err;
  EXPECT_TRUE(contains(r.err, "guided, sigma ")) << r.err;
  EXPECT_TRUE(contains(r.err, "(estimated)")) << r.err;
  EXPECT_FALSE(contains(r.err, "\x1b")) << "progress drawn on a file";
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

  std::vector<double> want(stored[0].size());
  pipeline::Resolved used;
  ASSERT_EQ(pipeline::denoise(stored[0].data(), kExtents, {}, want.data(), &used), Status::ok);
  Header got = testing::read_with_niftilib(out);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->datatype, DT_FLOAT32);
  EXPECT_EQ(got->scl_slope, 1.0);
  EXPECT_STREQ(got->descrip, "phantom for volnlm");
  EXPECT_EQ(got->sform_code, NIFTI_XFORM_SCANNER_ANAT);
  EXPECT_EQ(got->sto_xyz.m[2][3], -6.0);
  EXPECT_EQ(got->dz, 1.5);
  const auto result = volume_of(*got, 0);
  for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(result[i], static_cast<float>(want[i])) << i;
  EXPECT_NE(result, stored[0]);

  const Result quiet = run({"denoise", in, out, "--quiet", "--method", "block", "--sigma", "9"});
  EXPECT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(dir.listing(), (std::vector<std::string>{"in.nii.gz", "out.json", "out.nii.gz"}));
}

// --guide runs the guided filter on a given guide: the block method's result, as guide,
// reproduces the guided method bit for bit (float64 keeps the double result).
TEST(Cli, GuideOfTheBlockResultReproducesTheGuidedMethod) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii");
  write_input(in, {noisy_phantom(12.0, 3)});
  ASSERT_EQ(run({"denoise", in, dir.file("guided.nii"), "--output-type", "float64", "-q"}).status,
            0);
  // The block method with the patch radius and smoothing the guided run used, from its sidecar.
  const std::string record = slurp(dir.file("guided.json"));
  const auto value_of = [&](const std::string& key) {
    const size_t at = record.find("\"" + key + "\": ");
    if (at == std::string::npos) return std::string();
    const size_t from = at + key.size() + 4;
    return record.substr(from, record.find_first_of(",\n", from) - from);
  };
  const std::string patch = value_of("PatchRadius"), smoothing = value_of("Smoothing");
  ASSERT_FALSE(patch.empty() || smoothing.empty()) << record;
  // Noise of 12 on this phantom lies in the band where the guide's patch widens, which the block
  // method's default does not follow.
  EXPECT_EQ(patch, std::to_string(pipeline::kWidePatchRadius)) << record;
  ASSERT_EQ(run({"denoise", in, dir.file("block.nii"), "--method", "block", "--patch-radius", patch,
                 "--smoothing", smoothing, "--output-type", "float64", "-q"})
                .status,
            0);
  ASSERT_EQ(run({"denoise", in, dir.file("on_guide.nii"), "--guide", dir.file("block.nii"),
                 "--output-type", "float64", "-q"})
                .status,
            0);
  Header a = testing::read_with_niftilib(dir.file("on_guide.nii"));
  Header b = testing::read_with_niftilib(dir.file("guided.nii"));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->datatype, DT_FLOAT64);
  EXPECT_EQ(volume_of(*a, 0), volume_of(*b, 0));
  EXPECT_NE(volume_of(*a, 0), volume_of(*testing::read_with_niftilib(dir.file("block.nii")), 0));
}

// The output is the same file for every thread count, from --threads or VOLNLM_NUM_THREADS; a
// bad VOLNLM_NUM_THREADS is bad usage unless --threads is given.
TEST(Cli, ThreadCountsGiveTheSameFile) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii");
  write_input(in, {noisy_phantom(12.0, 7)});
  const auto denoise = [&](const std::string& out, std::vector<std::string> extra) {
    std::vector<std::string> args = {"denoise", in, dir.file(out), "-q"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args);
  };
  for (const char* method : {"guided", "block"}) {
    ASSERT_EQ(denoise("one.nii", {"--method", method, "--threads", "1"}).status, 0);
    const std::string expected = slurp(dir.file("one.nii"));
    for (const char* threads : {"2", "3", "8", "99999999999"}) {
      ASSERT_EQ(denoise("many.nii", {"--method", method, "--threads", threads}).status, 0);
      EXPECT_EQ(slurp(dir.file("many.nii")), expected) << method << " --threads " << threads;
    }
    setenv("VOLNLM_NUM_THREADS", "3", 1);
    ASSERT_EQ(denoise("env.nii", {"--method", method}).status, 0);
    unsetenv("VOLNLM_NUM_THREADS");
    EXPECT_EQ(slurp(dir.file("env.nii")), expected) << method << " VOLNLM_NUM_THREADS=3";
  }
  setenv("VOLNLM_NUM_THREADS", "many", 1);
  const Result bad = denoise("bad.nii", {});
  const Result given = denoise("given.nii", {"--threads", "2"});
  unsetenv("VOLNLM_NUM_THREADS");
  EXPECT_EQ(bad.status, 2) << bad.err;
  EXPECT_TRUE(contains(bad.err,
                       "VOLNLM_NUM_THREADS must be a positive whole number of threads; "
                       "got \"many\""))
      << bad.err;
  EXPECT_EQ(given.status, 0) << given.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("bad.nii")));
}

// A 4-D series: each volume denoised on its own, sigma estimated per volume.
TEST(Cli, DenoisesA4DSeriesVolumeByVolume) {
  ScratchDir dir;
  const std::string in = dir.file("series.nii.gz"), out = dir.file("out.nii");
  const auto stored =
      write_input(in, {noisy_phantom(5.0, 4), noisy_phantom(15.0, 5), noisy_phantom(25.0, 6)});
  const Result r = run({"denoise", in, out, "--method", "block", "--output-type", "float64"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "x 3 volumes")) << r.err;
  EXPECT_TRUE(contains(r.err, "(estimated per volume)")) << r.err;
  Header got = testing::read_with_niftilib(out);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->dim[0], 4);
  EXPECT_EQ(got->dim[4], 3);

  const Result sigmas = run({"estimate-sigma", in});
  ASSERT_EQ(sigmas.status, 0) << sigmas.err;
  std::string expected_sigmas;
  pipeline::Options block;
  block.method = pipeline::Method::block;
  for (int v = 0; v < 3; ++v) {
    std::vector<double> want(stored[v].size());
    ASSERT_EQ(pipeline::denoise(stored[v].data(), kExtents, block, want.data()), Status::ok);
    EXPECT_EQ(volume_of(*got, v), want) << "volume " << v;
    char line[32];
    std::snprintf(line, sizeof line, "%.6g\n",
                  pipeline::estimate_sigma(stored[v].data(), kExtents, true));
    expected_sigmas += line;
  }
  EXPECT_EQ(sigmas.out, expected_sigmas);
}

// The guide's patch radius and the smoothing follow each volume's noise: in a series whose
// volumes lie below, inside and above the wide patch's band, each volume is the 3-D call's on it,
// the sidecar lists the radius per volume and the summary line gives their range.
TEST(Cli, SeriesChoosesThePatchRadiusPerVolume) {
  ScratchDir dir;
  const std::string in = dir.file("series.nii"), out = dir.file("out.nii");
  const auto stored =
      write_input(in, {noisy_phantom(3.0, 4), noisy_phantom(7.0, 1), noisy_phantom(40.0, 6)});
  const Result r = run({"denoise", in, out, "--output-type", "float64"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string sidecar = slurp(dir.file("out.json"));
  EXPECT_TRUE(contains(sidecar, "\"PatchRadius\": [1, 2, 1]")) << sidecar;
  EXPECT_TRUE(contains(r.err, "patch radius 1 to 2, smoothing ")) << r.err;
  Header got = testing::read_with_niftilib(out);
  ASSERT_TRUE(got);
  for (int v = 0; v < 3; ++v) {
    std::vector<double> want(stored[v].size());
    ASSERT_EQ(pipeline::denoise(stored[v].data(), kExtents, pipeline::Options{}, want.data()),
              Status::ok);
    EXPECT_EQ(volume_of(*got, v), want) << "volume " << v;
  }
}

// Progress is drawn only on a terminal, and --quiet silences it there too.
TEST(Cli, DrawsProgressOnlyOnATerminal) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii");
  write_input(in, {noisy_phantom(8.0, 7)});
  const Result shown = run_on_terminal({"denoise", in, dir.file("a.nii")});
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_TRUE(contains(shown.err, "\x1b[K[")) << shown.err;
  EXPECT_TRUE(contains(shown.err, "slice steps")) << shown.err;
  EXPECT_TRUE(contains(shown.err, "volnlm: wrote")) << shown.err;
  const Result quiet = run_on_terminal({"denoise", in, dir.file("b.nii"), "--quiet"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
}

// Stopped by a signal mid-run, it leaves neither the output nor its temporary file.
TEST(Cli, AnInterruptedRunLeavesNothing) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii");
  const Extents size{96, 96, 96};  // seconds of work: the signal comes well before the end
  Header big = testing::new_image(DT_FLOAT32, size);
  const auto noisy = add_rician_noise(make_phantom(size), 10.0, 8);
  for (size_t i = 0; i < noisy.size(); ++i)
    static_cast<float*>(big->data)[i] = static_cast<float>(noisy[i]);
  testing::write_with_niftilib(big.get(), in);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    exec_volnlm({"denoise", in, dir.file("out.nii")});
  }
  bool started = false;  // the temporary file appears before the filters start
  for (int i = 0; i < 500 && !started; ++i) {
    for (const auto& name : dir.listing()) started = started || name[0] == '.';
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(started);
  kill(pid, SIGTERM);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGTERM);
  EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.nii"});
}

}  // namespace
}  // namespace volnlm::cli

namespace volnlm::cli {
namespace {

// The sidecar's text with its one varying line, the elapsed time, taken out.
std::string without_elapsed(const std::string& json) {
  std::string kept;
  std::istringstream lines(json);
  for (std::string line; std::getline(lines, line);) {
    if (!contains(line, "\"ElapsedSeconds\": ")) kept += line + "\n";
  }
  return kept;
}

// A three-volume series with one noise level and very different signal, as in diffusion.
std::vector<std::vector<double>> write_series(const std::string& path) {
  std::vector<double> dim = noisy_phantom(6.0, 31);
  for (double& v : dim) v *= 0.3;
  return write_input(path, {noisy_phantom(6.0, 30), dim, noisy_phantom(6.0, 32)});
}

// --sigma as one value, a list or a file, and --shared-sigma: each volume of OUT is the 3-D
// denoising of that volume with its sigma, and the sidecar holds exactly the record of the run.
TEST(Cli, SigmaPerVolumeSharedOrGivenAndTheSidecarRecordsIt) {
  ScratchDir dir;
  const std::string in = dir.file("dwi.nii.gz");
  const auto stored = write_series(in);
  {
    std::ofstream file(dir.file("sigmas.txt"));
    file << "4.5\n\n  5.25 \n6\n";
  }
  std::vector<pipeline::SigmaEstimate> detail;
  std::vector<double> estimates;
  for (const auto& v : stored) {
    detail.push_back(pipeline::estimate_sigma_detail(v.data(), kExtents, true));
    estimates.push_back(detail.back().sigma);
  }
  const double shared = pipeline::shared_sigma(detail);
  struct Case {
    std::vector<std::string> options;
    std::vector<double> sigma;
    pipeline::SigmaSource source;
  } cases[] = {
      {{"--sigma", "7"}, {7.0, 7.0, 7.0}, pipeline::SigmaSource::given},
      {{"--sigma", "4.5,5.25,6"}, {4.5, 5.25, 6.0}, pipeline::SigmaSource::given},
      {{"--sigma", "@" + dir.file("sigmas.txt")}, {4.5, 5.25, 6.0}, pipeline::SigmaSource::given},
      {{}, estimates, pipeline::SigmaSource::estimated},
      {{"--shared-sigma"}, {shared, shared, shared}, pipeline::SigmaSource::estimated_shared},
  };
  pipeline::Options block;
  block.method = pipeline::Method::block;
  for (const Case& c : cases) {
    const std::string out = dir.file("out.nii");
    std::vector<std::string> args{"denoise",       in,        out, "--method", "block",
                                  "--output-type", "float64", "-q"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Result r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    Header got = testing::read_with_niftilib(out);
    ASSERT_TRUE(got);
    pipeline::RunRecord record;
    record.sources = {in};
    record.method = pipeline::Method::block;
    record.sigma_source = c.source;
    if (c.source == pipeline::SigmaSource::estimated_shared) record.used.estimates = estimates;
    for (int v = 0; v < 3; ++v) {
      block.sigma = c.sigma[v];
      std::vector<double> want(stored[v].size());
      pipeline::Resolved used;
      ASSERT_EQ(pipeline::denoise(stored[v].data(), kExtents, block, want.data(), &used),
                Status::ok);
      EXPECT_EQ(volume_of(*got, v), want) << "volume " << v;
      record.used.sigma.push_back(used.sigma);
      record.used.scale.push_back(used.scale);
      record.used.smoothing.push_back(static_cast<double>(used.smoothing));
      record.used.params = used;
    }
    const std::string sidecar = slurp(dir.file("out.json"));
    EXPECT_EQ(without_elapsed(sidecar),
              without_elapsed(pipeline::to_json(pipeline::record_value(record))));
    EXPECT_TRUE(contains(sidecar, "\"ElapsedSeconds\": ")) << sidecar;
  }
}

// The guide replaces the block filter: its file is a source and only the guided filter's radius is
// a parameter. --no-sidecar writes none; a sidecar sits next to OUT whatever its extension.
TEST(Cli, SidecarNamesItsSourcesAndCanBeTurnedOff) {
  ScratchDir dir;
  const std::string in = dir.file("t1.nii"), guide = dir.file("guide.nii");
  write_input(in, {noisy_phantom(8.0, 33)});
  ASSERT_EQ(run({"denoise", in, guide, "--method", "block", "-q", "--no-sidecar"}).status, 0);
  ASSERT_EQ(run({"denoise", in, dir.file("OUT.NII.GZ"), "--guide", guide, "-q"}).status, 0);
  const std::string sidecar = slurp(dir.file("OUT.JSON"));
  EXPECT_TRUE(contains(sidecar, "\"Sources\": [\"" + in + "\", \"" + guide + "\"]")) << sidecar;
  EXPECT_TRUE(contains(sidecar, "\"Parameters\": {\n    \"GuidedSearchRadius\": 4\n  }"))
      << sidecar;
  EXPECT_EQ(dir.listing(),
            (std::vector<std::string>{"OUT.JSON", "OUT.NII.GZ", "guide.nii", "t1.nii"}));

  // A name as long as the file system allows ends in .nii: its sidecar's would be one character
  // too long, which fails the run before any work and leaves nothing.
  const Result too_long = run({"denoise", in, dir.file(std::string(251, 'y') + ".nii"), "-q"});
  EXPECT_EQ(too_long.status, 1);
  EXPECT_TRUE(contains(too_long.err, ".json: File name too long")) << too_long.err;
  EXPECT_EQ(dir.listing(),
            (std::vector<std::string>{"OUT.JSON", "OUT.NII.GZ", "guide.nii", "t1.nii"}));

  struct Name {
    const char* out;
    const char* sidecar;
  } names[] = {{"a.nii", "a.json"},
               {"a.nii.gz", "a.json"},
               {"d/a.b.NII", "d/a.b.JSON"},
               {"x.nii.d/a.nii.gz", "x.nii.d/a.json"},
               {"/t/.nii", "/t/.nii.json"}};
  for (const Name& n : names) EXPECT_EQ(sidecar_path(n.out), n.sidecar) << n.out;
}

// --residual holds IN minus OUT, rounded to float32, volume by volume.
TEST(Cli, ResidualIsTheInputMinusTheOutput) {
  ScratchDir dir;
  const std::string in = dir.file("dwi.nii");
  const auto stored = write_series(in);
  const Result r = run({"denoise", in, dir.file("out.nii"), "--output-type", "float64", "-q",
                        "--residual", dir.file("res.nii.gz")});
  ASSERT_EQ(r.status, 0) << r.err;
  Header out = testing::read_with_niftilib(dir.file("out.nii"));
  Header res = testing::read_with_niftilib(dir.file("res.nii.gz"));
  ASSERT_TRUE(out && res);
  EXPECT_EQ(res->datatype, DT_FLOAT32);
  EXPECT_EQ(res->nt, 3);
  for (int v = 0; v < 3; ++v) {
    const std::vector<double> o = volume_of(*out, v), e = volume_of(*res, v);
    double largest = 0.0;
    for (size_t i = 0; i < o.size(); ++i) {
      ASSERT_EQ(e[i], static_cast<double>(static_cast<float>(stored[v][i] - o[i]))) << i;
      largest = std::max(largest, std::fabs(e[i]));
    }
    EXPECT_GT(largest, 1.0) << "the denoiser removed something";
  }
}

}  // namespace
}  // namespace volnlm::cli
