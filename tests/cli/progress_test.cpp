#include "cli/progress.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <stdexcept>
#include <thread>

namespace volnlm::cli {
namespace {

TEST(Progress, FormatsTimeAndTheBar) {
  struct Case {
    double seconds;
    const char* text;
  };
  for (const Case& c :
       {Case{0, "0:00"}, Case{59.4, "0:59"}, Case{59.6, "1:00"}, Case{754, "12:34"},
        Case{3600, "1:00:00"}, Case{7384, "2:03:04"}, Case{-3, "0:00"}, Case{NAN, "0:00"}}) {
    EXPECT_EQ(format_duration(c.seconds), c.text) << c.seconds;
  }
  EXPECT_EQ(ProgressBar::line(0, 200, "slice steps", "", 1.0),
            "[..............................] 0/200 slice steps, estimating time left");
  // A quarter done after 10 s: 30 s left.
  EXPECT_EQ(ProgressBar::line(50, 200, "slice steps", "volume 2/3", 10.0),
            "[#######.......................] 50/200 slice steps, volume 2/3, 0:30 left");
  EXPECT_EQ(ProgressBar::line(200, 200, "slice steps", "", 10.0),
            "[##############################] 200/200 slice steps");
  EXPECT_EQ(ProgressBar::line(300, 200, "x", "", 1.0), ProgressBar::line(200, 200, "x", "", 1.0));
}

// The work runs on another thread while the bar is redrawn; its exception reaches the caller.
TEST(Progress, RunsTheWorkAndPassesItsFailureOn) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  std::atomic<int64_t> done{0};
  std::thread::id worker;
  {
    ProgressBar bar(true, 10, "steps", out);
    run_with_progress(
        [&] {
          worker = std::this_thread::get_id();
          for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            done.fetch_add(1);
          }
        },
        [&] { return done.load(); }, bar);
    bar.finish();
  }
  EXPECT_NE(worker, std::this_thread::get_id());
  std::rewind(out);
  std::string text;
  for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
  std::fclose(out);
  EXPECT_NE(text.find("\r\x1b[K["), std::string::npos);
  EXPECT_NE(text.find("10/10 steps"), std::string::npos);  // drawn once more at the end
  EXPECT_EQ(text.substr(text.size() - 4), "\r\x1b[K");     // and erased

  for (const bool drawn : {true, false}) {  // from the worker thread, and from this one
    std::FILE* sink = std::tmpfile();
    ProgressBar bar(drawn, 5, "steps", sink);
    EXPECT_THROW(run_with_progress([] { throw std::runtime_error("filter failed"); },
                                   [] { return int64_t{0}; }, bar),
                 std::runtime_error);
    bar.finish();
    std::fclose(sink);
  }
  ProgressBar silent(false, 5, "steps");
  bool ran = false;
  run_with_progress([&] { ran = true; }, [] { return int64_t{0}; }, silent);  // no bar: runs here
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace volnlm::cli
