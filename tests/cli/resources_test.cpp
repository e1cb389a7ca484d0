// The built volnlm executable when its resources run short (worker threads that cannot be
// started, an address-space limit) and on voxels that are NaN or infinite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "fixture.h"
#include "phantom.h"
#include "pipeline/defaults.h"
#include "pipeline/pipeline.h"

namespace volnlm::cli {
namespace {

using testing::ScratchDir;

struct Result {
  bool signalled = false;
  int status = -1;  // exit status, or the signal number when signalled
  std::string err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs volnlm with `env` added to its environment and its address space limited to `limit`
// bytes; stdout is discarded, stderr collected.
Result run(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
           rlim_t limit = RLIM_INFINITY) {
  ScratchDir logs;
  const std::string err = logs.file("err");
  std::vector<char*> argv{const_cast<char*>(VOLNLM_EXE)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open("/dev/null", O_WRONLY), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    const rlimit as{limit, limit};
    if (limit != RLIM_INFINITY && setrlimit(RLIMIT_AS, &as) != 0) _exit(126);
    execv(VOLNLM_EXE, argv.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  Result r;
  r.signalled = WIFSIGNALED(wstatus);
  r.status = r.signalled ? WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
  r.err = slurp(err);
  return r;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Writes float32 volumes of extents e (one after another in `values`) as a NIfTI-1 file.
void write_float32(const std::string& path, const Extents& e, const std::vector<double>& values,
                   int64_t volumes = 1) {
  Header image = testing::new_image(DT_FLOAT32, e, volumes);
  for (size_t i = 0; i < values.size(); ++i) {
    static_cast<float*>(image->data)[i] = static_cast<float>(values[i]);
  }
  testing::write_with_niftilib(image.get(), path);
}

std::vector<double> noisy(const Extents& e, uint64_t seed) {
  return add_rician_noise(make_phantom(e), 10.0, seed);
}

// Thread starts fail once a given number have been made: every run exits 1 with the cause on
// stderr and leaves neither output nor temporary file, also when the second volume of a series
// fails after the first was written to the temporary file.
TEST(Cli, ThreadStartFailureExitsOneLeavingNoOutput) {
#ifndef VOLNLM_FAIL_THREADS_LIB
  GTEST_SKIP() << "the thread-start fault library is built on Linux only";
#else
  ScratchDir dir;
  const Extents e{20, 18, 12};
  // The block filter starts d2 / search radius workers (1 to 8) at the default search radius.
  const int workers = std::clamp(e.d2 / pipeline::kDefaultSearchRadius, 1, 8);
  const std::string in = dir.file("in.nii"), series = dir.file("series.nii");
  write_float32(in, e, noisy(e, 1));
  std::vector<double> two = noisy(e, 2);
  const std::vector<double> second = noisy(e, 3);
  two.insert(two.end(), second.begin(), second.end());
  write_float32(series, e, two, 2);

  struct Case {
    std::vector<std::string> args;
    int allowed;  // thread starts that succeed
    std::string what;
  };
  const Case cases[] = {
      {{"denoise", in, dir.file("out.nii")}, 0, "denoising " + in},
      {{"denoise", in, dir.file("out.nii")}, workers, "denoising " + in},  // in the guided filter
      {{"denoise", in, dir.file("out.nii.gz"), "--method", "block"}, 1, "denoising " + in},
      {{"denoise", in, dir.file("out.nii"), "--guide", in}, 3, "denoising " + in},
      {{"denoise", series, dir.file("out.nii"), "--method", "block"},
       workers,
       "denoising volume 2 of " + series},
  };
  for (const Case& c : cases) {
    const std::string line = c.args[1] + " " + c.args[2] + " after " + std::to_string(c.allowed);
    // As many threads as slabs, so that the counts above fall inside a filter's starts.
    const Result r = run(c.args, {"LD_PRELOAD=" VOLNLM_FAIL_THREADS_LIB, "VOLNLM_NUM_THREADS=8",
                                  "VOLNLM_FAIL_THREADS_AFTER=" + std::to_string(c.allowed)});
    EXPECT_FALSE(r.signalled) << line << ": signal " << r.status;
    EXPECT_EQ(r.status, 1) << line << "\n" << r.err;
    EXPECT_TRUE(contains(r.err, "volnlm: " + c.what + ": worker threads cannot be created\n"))
        << line << "\n"
        << r.err;
    EXPECT_EQ(dir.listing(), (std::vector<std::string>{"in.nii", "series.nii"})) << line;
  }
  // Preloaded but not armed, the library changes nothing.
  const Result ok =
      run({"denoise", in, dir.file("out.nii"), "-q"}, {"LD_PRELOAD=" VOLNLM_FAIL_THREADS_LIB});
  EXPECT_EQ(ok.status, 0) << ok.err;
#endif
}

// The least address space, to 16 KiB, in which volnlm starts and runs at all: below it the
// dynamic loader or the C++ runtime's own start-up fails, before any of the tool's code runs.
rlim_t startup_limit() {
  rlim_t fails = 1 << 20, runs = rlim_t{256} << 20;
  if (run({"--version"}, {}, runs).status != 0) return 0;
  while (runs - fails > (16 << 10)) {
    const rlim_t mid = fails + (runs - fails) / 2;
    (run({"--version"}, {}, mid).status == 0 ? runs : fails) = mid;
  }
  return runs;
}

// Under any address-space limit past start-up, a run either succeeds or exits 1 with one line
// saying that memory ran short (never that threads could not be started), never by a signal and
// never leaving a file behind. The limits step
// from reading the header up past the filters' buffers and the workers' stacks.
TEST(Cli, MemoryShortageExitsOneLeavingNoOutput) {
  ScratchDir dir;
  const Extents e{128, 128, 64};  // 8 MiB as doubles
  const std::vector<double> values = noisy(e, 4);
  write_float32(dir.file("in.nii"), e, values);
  write_float32(dir.file("in.nii.gz"), e, values);
  const rlim_t base = startup_limit();
  ASSERT_GT(base, 0u);

  struct Case {
    std::string in, out;
    std::vector<std::string> method;
  };
  const Case cases[] = {
      {dir.file("in.nii"),
       dir.file("out.nii.gz"),
       {"--method", "block", "--search-radius", "1", "--patch-radius", "0"}},
      {dir.file("in.nii.gz"),
       dir.file("out.nii"),
       {"--method", "guided", "--search-radius", "1", "--patch-radius", "0",
        "--guided-search-radius", "1"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"denoise", c.in, c.out, "--sigma", "10", "-q"};
    args.insert(args.end(), c.method.begin(), c.method.end());
    const std::string short_of_memory = "volnlm: denoising " + c.in + ": not enough memory\n";
    const std::string accepted[] = {
        "volnlm: cannot read " + c.in + ": out of memory\n",
        "volnlm: cannot write " + c.out + ": out of memory\n", "volnlm: not enough memory\n",
        short_of_memory,  // also when a worker's stack cannot be had: never "threads"
    };
    bool filter_short = false;
    for (const rlim_t kib : {0, 16, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 24576, 32768,
                             40960, 49152, 65536, 98304, 131072, 262144}) {
      const std::string line = c.method[1] + ", " + std::to_string(kib) + " KiB past start-up";
      const Result r = run(args, {"VOLNLM_NUM_THREADS=8"}, base + (kib << 10));
      ASSERT_FALSE(r.signalled) << line << ": signal " << r.status << "\n" << r.err;
      if (r.status == 0) {
        EXPECT_EQ(r.err, "") << line;
        EXPECT_EQ(dir.listing(),
                  (std::vector<std::string>{"in.nii", "in.nii.gz", "out.json",
                                            std::filesystem::path(c.out).filename()}))
            << line;
        std::filesystem::remove(c.out);
        std::filesystem::remove(dir.file("out.json"));  // the run's record
        continue;
      }
      EXPECT_EQ(r.status, 1) << line << "\n" << r.err;
      EXPECT_NE(std::find(std::begin(accepted), std::end(accepted), r.err), std::end(accepted))
          << line << "\n"
          << r.err;
      filter_short = filter_short || r.err == short_of_memory;
      EXPECT_EQ(dir.listing(), (std::vector<std::string>{"in.nii", "in.nii.gz"})) << line;
    }
    EXPECT_TRUE(filter_short) << c.method[1] << ": no limit reached the filters' own buffers";
    const Result unlimited = run(args);
    EXPECT_EQ(unlimited.status, 0) << unlimited.err;
    std::filesystem::remove(c.out);
    std::filesystem::remove(dir.file("out.json"));
  }
}

// NaN and infinite voxels are data: the run succeeds with a warning that counts them, and the
// result is the pipeline's on the same values (sigma estimated without the blocks they spoil).
TEST(Cli, NaNAndInfiniteVoxelsAreDenoisedWithAWarning) {
  ScratchDir dir;
  const Extents e{24, 22, 16};
  std::vector<double> values = noisy(e, 5);
  for (double& v : values) v = static_cast<float>(v);  // as the file stores them
  values[1000] = std::numeric_limits<double>::quiet_NaN();
  values[3000] = std::numeric_limits<double>::infinity();
  values[5000] = -std::numeric_limits<double>::infinity();
  const std::string in = dir.file("in.nii");
  write_float32(in, e, values);
  for (const char* method : {"guided", "block"}) {
    const std::string out = dir.file(std::string(method) + ".nii");
    const Result r = run({"denoise", in, out, "--method", method, "--output-type", "float64"});
    ASSERT_EQ(r.status, 0) << method << "\n" << r.err;
    EXPECT_TRUE(contains(r.err, "volnlm: warning: " + in + " holds 3 NaN or infinite voxels"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "volnlm: wrote " + out)) << r.err;

    pipeline::Options options;
    options.method =
        std::string(method) == "block" ? pipeline::Method::block : pipeline::Method::guided;
    std::vector<double> want(values.size());
    ASSERT_EQ(pipeline::denoise(values.data(), e, options, want.data()), Status::ok);
    // Read back by the tool's own reader: niftilib's sets non-finite floats to 0 as it reads.
    Header header;
    const std::vector<double> result = read_single_volume(out, &header);
    ASSERT_EQ(header->datatype, DT_FLOAT64);
    ASSERT_EQ(result.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_TRUE(result[i] == want[i] || (std::isnan(result[i]) && std::isnan(want[i])))
          << method << " " << i << ": " << result[i] << " vs " << want[i];
    }
  }
}

}  // namespace
}  // namespace volnlm::cli
