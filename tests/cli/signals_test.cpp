// The built volnlm executable ended by signals, and writing where writes fail: a file-size limit,
// a closed pipe, a full device. Nothing may be left behind and no failure may pass for success.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>

#include "phantom.h"
#include "run_tool.h"

namespace volnlm::cli {
namespace {

using testing::contains;
using testing::run_tool;
using testing::ScratchDir;

void write_float32(const std::string& path, const Extents& e, uint64_t seed) {
  Header image = testing::new_image(DT_FLOAT32, e);
  const auto noisy = add_rician_noise(make_phantom(e), 10.0, seed);
  for (size_t i = 0; i < noisy.size(); ++i) {
    static_cast<float*>(image->data)[i] = static_cast<float>(noisy[i]);
  }
  testing::write_with_niftilib(image.get(), path);
}

void no_core_files() {
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

// Each signal that ends the process, sent while the filters run: the process ends by that signal
// (its sender sees it so) and neither the output nor its temporary file is left.
TEST(CliSignals, EverySignalThatEndsTheRunRemovesTheTemporaryFile) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii");
  write_float32(in, Extents{96, 96, 96}, 8);  // seconds of work: the signal comes well before
  for (const int sig :
       {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM}) {
    SCOPED_TRACE(strsignal(sig));
    const pid_t pid = testing::start_tool({"denoise", in, dir.file("out.nii")}, "/dev/null",
                                          "/dev/null", no_core_files);
    EXPECT_TRUE(testing::wait_for_temporary(dir));  // it appears before the filters start
    kill(pid, sig);
    const testing::ToolRun r = testing::finish(pid);
    EXPECT_TRUE(r.signalled);
    EXPECT_EQ(r.status, sig);
    EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.nii"});
  }
}

// A file-size limit (SIGXFSZ), a closed pipe (SIGPIPE) and a full device are write errors like
// any other: the run that needed the write exits 1 saying so, and nothing is left behind. A
// message that cannot be shown does not fail a run that did its work.
TEST(CliSignals, FailedWritesAreErrorsAndUnprintableMessagesAreNot) {
  ScratchDir dir;
  const std::string in = dir.file("in.nii");
  write_float32(in, Extents{20, 18, 12}, 9);  // 17 KiB of voxels, compressed or not
  const auto file_size_limit = [] {
    const rlimit small{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &small);
  };
  // stderr (or stdout) is a pipe nobody reads: the first write to it fails with EPIPE.
  const auto closed_pipe_on = [](int fd) {
    return [fd] {
      int ends[2];
      if (pipe(ends) != 0) _exit(126);
      close(ends[0]);
      dup2(ends[1], fd);
    };
  };
  const auto full_stdout = [] { dup2(open("/dev/full", O_WRONLY), 1); };

  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::function<void()> prepare;
    int status;
    std::string message;  // on stderr, when it can be read
    std::vector<std::string> files;
  };
  const std::string out = dir.file("out.nii"), gz = dir.file("out.nii.gz");
  const Case cases[] = {
      {"file-size limit",
       {"denoise", in, out},
       file_size_limit,
       1,
       "volnlm: cannot write " + out + ": File too large\n",
       {"in.nii"}},
      {"file-size limit, compressed",
       {"denoise", in, gz, "--method", "block"},
       file_size_limit,
       1,
       "volnlm: cannot write " + gz + ": File too large\n",
       {"in.nii"}},
      {"closed stderr, run succeeds",
       {"denoise", in, out},
       closed_pipe_on(2),
       0,
       "",
       {"in.nii", "out.json", "out.nii"}},
      {"closed stderr, run fails",
       {"denoise", dir.file("missing.nii"), out},
       closed_pipe_on(2),
       1,
       "",
       {"in.nii", "out.json", "out.nii"}},
      {"closed stdout",
       {"estimate-sigma", in},
       closed_pipe_on(1),
       1,
       "volnlm: cannot write the standard output: Broken pipe\n",
       {"in.nii", "out.json", "out.nii"}},
      {"full stdout",
       {"estimate-sigma", in},
       full_stdout,
       1,
       "volnlm: cannot write the standard output: No space left on device\n",
       {"in.nii", "out.json", "out.nii"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const testing::ToolRun r = run_tool(c.args, c.prepare);
    EXPECT_FALSE(r.signalled) << "signal " << r.status;
    EXPECT_EQ(r.status, c.status) << r.err;
    if (!c.message.empty()) {
      EXPECT_EQ(r.err, c.message);
    }
    EXPECT_EQ(dir.listing(), c.files);
  }
}

}  // namespace
}  // namespace volnlm::cli
