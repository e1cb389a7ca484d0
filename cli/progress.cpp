#include "cli/progress.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <thread>

namespace volnlm::cli {

std::string format_duration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  const auto total = static_cast<int64_t>(std::llround(seconds));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(total / 3600),
                  static_cast<long long>(total / 60 % 60), static_cast<long long>(total % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(total / 60),
                  static_cast<long long>(total % 60));
  }
  return text;
}

ProgressBar::ProgressBar(bool enabled, int64_t total, std::string unit, std::FILE* out)
    : enabled_(enabled && total > 0),
      total_(total),
      unit_(std::move(unit)),
      out_(out),
      start_(std::chrono::steady_clock::now()) {}

std::string ProgressBar::line(int64_t done, int64_t total, const std::string& unit,
                              const std::string& note, double elapsed) {
  constexpr int kWidth = 30;
  done = std::clamp<int64_t>(done, 0, total);
  const double fraction = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
  const int filled = static_cast<int>(fraction * kWidth);
  std::string bar = "[";
  bar.append(static_cast<size_t>(filled), '#').append(static_cast<size_t>(kWidth - filled), '.');
  bar.append("] ").append(std::to_string(done)).append("/").append(std::to_string(total));
  bar.append(" ").append(unit);
  if (!note.empty()) bar.append(", ").append(note);
  if (done > 0 && done < total) {
    bar.append(", ").append(format_duration(elapsed / fraction - elapsed)).append(" left");
  } else if (done == 0) {
    bar.append(", estimating time left");
  }
  return bar;
}

void ProgressBar::update(int64_t done, const std::string& note) {
  if (!enabled_) return;
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  // Carriage return and erase-line: the bar overwrites itself in place.
  std::fprintf(out_, "\r\x1b[K%s", line(done, total_, unit_, note, elapsed).c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressBar::finish() {
  if (!drawn_) return;
  std::fprintf(out_, "\r\x1b[K");
  std::fflush(out_);
  drawn_ = false;
}

bool progress_wanted(bool quiet) {
  return !quiet && isatty(STDERR_FILENO) == 1;
}

void run_with_progress(const std::function<void()>& work, const std::function<int64_t()>& done,
                       ProgressBar& bar, const std::function<std::string()>& note) {
  if (!bar.enabled()) return work();
  std::atomic<bool> finished{false};
  std::exception_ptr failure;
  std::thread worker;
  try {
    worker = std::thread([&] {
      try {
        work();
      } catch (...) {
        failure = std::current_exception();
      }
      finished.store(true);
    });
  } catch (const std::exception&) {
    return work();  // no thread for the work: run it here, without redraws
  }
  while (!finished.load()) {
    bar.update(done(), note ? note() : std::string());
    for (int i = 0; i < 10 && !finished.load(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  worker.join();
  bar.update(done(), note ? note() : std::string());
  if (failure) std::rethrow_exception(failure);
}

}  // namespace volnlm::cli
