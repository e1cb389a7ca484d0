// Wall time spent in the named stages of a call (reading, the noise estimate, each filter,
// conversions, writing), for a user who asks where the time of a run goes.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace volnlm {

class StageTimes {
 public:
  struct Stage {
    std::string name;
    double seconds = 0.0;
  };

  // Adds `seconds` to the stage of that name; a new name is appended, so the stages keep the
  // order in which they first ran.
  void add(std::string_view name, double seconds) {
    for (Stage& s : stages_) {
      if (s.name == name) {
        s.seconds += seconds;
        return;
      }
    }
    stages_.push_back(Stage{std::string(name), seconds});
  }

  const std::vector<Stage>& stages() const { return stages_; }

 private:
  std::vector<Stage> stages_;
};

// Times the stages of a call one after another into `times`; does nothing when `times` is null,
// so that the callers who do not ask pay nothing but a null check.
class StageClock {
 public:
  using Clock = std::chrono::steady_clock;

  explicit StageClock(StageTimes* times) : times_(times) {
    if (times_ != nullptr) last_ = Clock::now();
  }

  // Ends the current stage, which is named `name`, and starts the next one.
  void mark(std::string_view name) {
    if (times_ == nullptr) return;
    const Clock::time_point now = Clock::now();
    times_->add(name, std::chrono::duration<double>(now - last_).count());
    last_ = now;
  }

  // Starts the next stage now without recording the time since the last mark (time that a
  // callee recorded stage by stage itself).
  void restart() {
    if (times_ != nullptr) last_ = Clock::now();
  }

 private:
  StageTimes* times_;
  Clock::time_point last_{};
};

}  // namespace volnlm
