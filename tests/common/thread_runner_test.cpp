#include "common/thread_runner.h"

#include <gtest/gtest.h>

#include <thread>

namespace volnlm {
namespace {

struct Task {
  int32_t index = 0;
  std::thread::id ran_on;
  int32_t runs = 0;
};

void work(Task* t) {
  t->ran_on = std::this_thread::get_id();
  ++t->runs;
}

TEST(RunWorkers, EachTaskRunsOnceOnItsOwnThread) {
  Task tasks[kMaxWorkers];
  ASSERT_TRUE(run_workers(tasks, kMaxWorkers, work));
  for (const Task& t : tasks) {
    EXPECT_EQ(t.runs, 1);
    EXPECT_NE(t.ran_on, std::this_thread::get_id());
  }
}

TEST(RunWorkers, RefusesMoreTasksThanWorkers) {
  Task tasks[kMaxWorkers + 1];
  EXPECT_FALSE(run_workers(tasks, kMaxWorkers + 1, work));
  for (const Task& t : tasks) EXPECT_EQ(t.runs, 0);
}

}  // namespace
}  // namespace volnlm
