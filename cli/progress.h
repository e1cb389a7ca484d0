// A progress bar on stderr, redrawn while a long call runs on a worker thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace volnlm::cli {

// Formats seconds as m:ss (or h:mm:ss from an hour on).
std::string format_duration(double seconds);

class ProgressBar {
 public:
  // `total` steps of `unit` ("slices"); nothing is drawn when `enabled` is false.
  ProgressBar(bool enabled, int64_t total, std::string unit, std::FILE* out = stderr);
  ~ProgressBar() { finish(); }

  bool enabled() const { return enabled_; }
  // Redraws the bar with `done` steps and an extra note (e.g. "volume 2/30").
  void update(int64_t done, const std::string& note = "");
  // Erases the bar, leaving the line empty for what follows.
  void finish();

  // The line drawn for `done` of `total` after `elapsed` seconds, without control characters.
  static std::string line(int64_t done, int64_t total, const std::string& unit,
                          const std::string& note, double elapsed);

 private:
  bool enabled_;
  bool drawn_ = false;
  int64_t total_;
  std::string unit_;
  std::FILE* out_;
  std::chrono::steady_clock::time_point start_;
};

// True when progress should be drawn: stderr is a terminal and the user did not ask for quiet.
bool progress_wanted(bool quiet);

// Runs `work` on a worker thread while the calling thread redraws `bar` with `done()` every
// tenth of a second, leaving the bar up for the caller to finish; runs it on the calling thread
// when no thread can be started. An exception thrown by `work` is rethrown here, after the
// thread was joined.
void run_with_progress(const std::function<void()>& work, const std::function<int64_t()>& done,
                       ProgressBar& bar, const std::function<std::string()>& note = {});

}  // namespace volnlm::cli
