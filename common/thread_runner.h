// Runs one worker thread per task record and joins them all.
#pragma once

#include <cstdint>
#include <exception>
#include <thread>

#include "common/slabs.h"

namespace volnlm {

// Starts work(&tasks[t]) on its own thread for t = 0 .. count - 1 (count <= kMaxWorkers), then
// joins every thread in order. Returns false when a thread could not be started; the threads
// started before it are still joined, so none is left running. `work` must not throw.
template <class Task>
bool run_workers(Task* tasks, int32_t count, void (*work)(Task*)) noexcept {
  std::thread threads[kMaxWorkers];
  bool started_all = count >= 0 && count <= kMaxWorkers;
  for (int32_t t = 0; started_all && t < count; ++t) {
    try {
      threads[t] = std::thread(work, &tasks[t]);
    } catch (const std::exception&) {
      started_all = false;
    }
  }
  for (auto& thread : threads) {
    if (thread.joinable()) thread.join();
  }
  return started_all;
}

}  // namespace volnlm
