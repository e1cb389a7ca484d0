// The built volnlm executable started as a child process, with a hook that prepares the child
// (limits, file descriptors) before it runs the tool.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"

namespace volnlm::cli::testing {

struct ToolRun {
  bool signalled = false;
  int status = -1;  // exit status, or the signal number when signalled
  std::string out, err;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline ToolRun finish(pid_t pid) {
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  ToolRun r;
  r.signalled = WIFSIGNALED(wstatus);
  r.status = r.signalled ? WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
  return r;
}

// Starts volnlm with stdout and stderr going to `out` and `err` (when not empty); `prepare` runs
// in the child just before the tool starts, after the redirections.
inline pid_t start_tool(const std::vector<std::string>& args, const std::string& out,
                        const std::string& err, const std::function<void()>& prepare = {}) {
  std::vector<char*> argv{const_cast<char*>(VOLNLM_EXE)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (!out.empty()) dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    if (!err.empty()) dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    if (prepare) prepare();
    execv(VOLNLM_EXE, argv.data());
    _exit(127);
  }
  return pid;
}

// Runs volnlm to its end, collecting stdout and stderr unless `prepare` redirects them.
inline ToolRun run_tool(const std::vector<std::string>& args,
                        const std::function<void()>& prepare = {}) {
  ScratchDir logs;
  const std::string out = logs.file("out"), err = logs.file("err");
  ToolRun r = finish(start_tool(args, out, err, prepare));
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

// Waits up to five seconds for a hidden (temporary) file to appear in `dir`.
inline bool wait_for_temporary(const ScratchDir& dir) {
  for (int i = 0; i < 500; ++i) {
    for (const auto& name : dir.listing()) {
      if (name[0] == '.') return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace volnlm::cli::testing
