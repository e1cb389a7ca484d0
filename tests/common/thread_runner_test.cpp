#include "common/thread_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

#if defined(__linux__)
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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

namespace volnlm {
namespace {

// What run_slabs did: how often each slab ran, and on which worker index and OS thread.
struct Trace {
  std::atomic<int32_t> runs[kMaxWorkers] = {};
  std::atomic<int32_t> worker_of[kMaxWorkers] = {};
  std::mutex mutex;
  std::set<std::thread::id> threads;
};

TEST(RunSlabs, EverySlabRunsOnceOnAtMostThatManyThreads) {
  for (int32_t slabs = 0; slabs <= kMaxWorkers; ++slabs) {
    for (int32_t threads : {-3, 0, 1, 2, 3, 8, 100}) {
      Trace trace;
      std::atomic<bool> stop{false};
      const Status status = run_slabs(slabs, threads, stop, Interrupt{}, [&](int32_t s, int32_t w) {
        trace.runs[s].fetch_add(1);
        trace.worker_of[s].store(w);
        std::lock_guard<std::mutex> lock(trace.mutex);
        trace.threads.insert(std::this_thread::get_id());
      });
      const int32_t expected = std::min(std::max(threads, 1), std::max(slabs, 1));
      const std::string label = std::to_string(slabs) + " slabs, " + std::to_string(threads);
      ASSERT_EQ(status, Status::ok) << label;
      for (int32_t s = 0; s < kMaxWorkers; ++s) {
        EXPECT_EQ(trace.runs[s].load(), s < slabs ? 1 : 0) << label << " slab " << s;
        if (s < slabs) {
          EXPECT_LT(trace.worker_of[s].load(), expected) << label;
        }
      }
      EXPECT_LE(static_cast<int32_t>(trace.threads.size()), expected) << label;
      EXPECT_EQ(trace.threads.count(std::this_thread::get_id()), 0u) << label;
    }
  }
  std::atomic<bool> stop{false};
  EXPECT_EQ(run_slabs(kMaxWorkers + 1, 2, stop, Interrupt{}, [](int32_t, int32_t) {}),
            Status::threads);
}

// A poll that asks to stop on its `stop_at`-th call, and records where it ran.
struct Poll {
  int32_t calls = 0;
  int32_t stop_at = 1;
  std::thread::id caller;
  bool elsewhere = false;
  // When set, the stop is asked only once a worker has started (waiting up to 30 s), so that a
  // loaded machine that is slow to start a thread cannot make "a slab was in progress" untrue.
  const std::atomic<int32_t>* started = nullptr;
  static bool ask(void* self) {
    Poll& p = *static_cast<Poll*>(self);
    if (std::this_thread::get_id() != p.caller) p.elsewhere = true;
    const bool stop = ++p.calls >= p.stop_at;
    if (stop && p.started != nullptr) {
      for (int i = 0; i < 30000 && p.started->load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return stop;
  }
};

TEST(RunSlabs, AnInterruptStopsTheWorkersBetweenSlices) {
  struct Case {
    int32_t stop_at;  // the poll call that asks to stop; 1 is before any worker starts
    int32_t threads;
  };
  for (const Case c : {Case{1, 2}, Case{2, 1}, Case{3, 2}, Case{2, 8}}) {
    std::atomic<bool> stop{false};
    std::atomic<int32_t> started{0};
    Poll poll{0, c.stop_at, std::this_thread::get_id(), false, c.stop_at > 1 ? &started : nullptr};
    std::atomic<int32_t> slices{0};
    // Slabs of "slices" that never end on their own: only the stop ends them.
    const Status status = run_slabs(kMaxWorkers, c.threads, stop, Interrupt{&Poll::ask, &poll},
                                    [&](int32_t, int32_t) {
                                      started.fetch_add(1);
                                      while (!stop.load()) {
                                        slices.fetch_add(1);
                                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                      }
                                    });
    EXPECT_EQ(status, Status::stopped) << c.stop_at;
    EXPECT_EQ(poll.calls, c.stop_at) << "polled on after it asked to stop";
    EXPECT_FALSE(poll.elsewhere) << "polled from a worker";
    if (c.stop_at == 1) {
      EXPECT_EQ(started.load(), 0) << "a worker started although the call was stopped first";
    } else {
      // The slabs in progress returned, and none was taken after the stop.
      EXPECT_GE(started.load(), 1);
      EXPECT_LE(started.load(), std::min(c.threads, kMaxWorkers));
    }
  }
}

TEST(RunSlabs, PollsWhileWorkersRunAndNotAfter) {
  Poll poll{0, 1000000, std::this_thread::get_id(), false};
  std::atomic<bool> stop{false};
  const Status status = run_slabs(2, 2, stop, Interrupt{&Poll::ask, &poll}, [](int32_t, int32_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * kPollMilliseconds));
  });
  EXPECT_EQ(status, Status::ok);
  EXPECT_GE(poll.calls, 3) << "the calling thread did not wake to poll";
  EXPECT_FALSE(poll.elsewhere);
  EXPECT_FALSE(stop.load());
}

TEST(RunSlabs, AStopSetBeforehandRunsNothing) {
  std::atomic<bool> stop{true};
  std::atomic<int32_t> runs{0};
  EXPECT_EQ(run_slabs(3, 3, stop, Interrupt{}, [&](int32_t, int32_t) { runs.fetch_add(1); }),
            Status::stopped);
  EXPECT_EQ(runs.load(), 0);
}

#if defined(__linux__)
// The measured size of the calling worker's stack.
size_t own_stack_size() {
  pthread_attr_t attr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
  return size;
}

TEST(RunSlabs, WorkersRunOnSmallStacksTheyCanUse) {
  std::atomic<size_t> size{0};
  std::atomic<int32_t> touched{0};
  std::atomic<bool> stop{false};
  ASSERT_EQ(run_slabs(1, 1, stop, Interrupt{},
                      [&](int32_t, int32_t) {
                        size.store(own_stack_size());
                        // Half the stack in use: what the filters take is far less.
                        volatile char block[kWorkerStackBytes / 2];
                        for (size_t i = 0; i < sizeof block; i += 4096) block[i] = 1;
                        touched.store(block[0]);
                      }),
            Status::ok);
  EXPECT_EQ(touched.load(), 1);
  EXPECT_GE(size.load(), kWorkerStackBytes);
  EXPECT_LT(size.load(), kWorkerStackBytes + (size_t{1} << 20));
}

// Sanitizer runtimes map terabytes of shadow memory, which no address-space limit leaves room for.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif
#else
constexpr bool kUnderSanitizer = false;
#endif

// In a child process whose address space is limited to what it holds plus `room` bytes: the
// status of a run of 8 workers that do nothing.
Status status_with_room(size_t room) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return Status::ok;
  const pid_t child = fork();
  if (child == 0) {
    size_t held = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
      unsigned long pages = 0;
      if (std::fscanf(f, "%lu", &pages) == 1) held = pages * sysconf(_SC_PAGESIZE);
      std::fclose(f);
    }
    rlimit limit{held + room, held + room};
    setrlimit(RLIMIT_AS, &limit);
    std::atomic<bool> stop{false};
    const Status s =
        run_slabs(kMaxWorkers, kMaxWorkers, stop, Interrupt{}, [](int32_t, int32_t) {});
    const char code = static_cast<char>(s);
    (void)!write(pipe_fds[1], &code, 1);
    _exit(0);
  }
  close(pipe_fds[1]);
  char code = -1;
  const bool read_one = read(pipe_fds[0], &code, 1) == 1;
  close(pipe_fds[0]);
  int wstatus = 0;
  waitpid(child, &wstatus, 0);
  EXPECT_TRUE(read_one && WIFEXITED(wstatus)) << "the child failed with room " << room;
  return static_cast<Status>(code);
}

TEST(RunSlabs, AStackThatCannotBeMappedIsAShortageOfMemory) {
  if (kUnderSanitizer) {
    GTEST_SKIP() << "a sanitizer runtime reserves its shadow memory up front, so an address-space "
                    "limit fails before the runner is reached";
  }
  // No room at all: the first start fails, for lack of memory. Room for far more than eight
  // small stacks: every start succeeds.
  EXPECT_EQ(status_with_room(0), Status::memory);
  EXPECT_EQ(status_with_room(kWorkerStackBytes / 2), Status::memory);
  EXPECT_EQ(status_with_room(32 * kWorkerStackBytes), Status::ok);
}
#endif

}  // namespace
}  // namespace volnlm
