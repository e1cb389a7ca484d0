// Runs a call's slabs on worker threads while the calling thread waits, and ends them early when
// the caller asks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/slabs.h"
#include "common/status.h"

namespace volnlm {

// Stack of each worker thread. Workers keep no large arrays on their stacks, and a small stack
// keeps the address space a call reserves small: under an address-space limit (RLIMIT_AS, as
// cluster schedulers set it) eight default 8 MiB stacks could fail where the data fits.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr size_t kWorkerStackBytes = size_t{8} << 20;  // sanitizers' frames are larger
#else
inline constexpr size_t kWorkerStackBytes = size_t{1} << 20;
#endif

// How often the calling thread asks the caller's poll whether to stop while workers run.
inline constexpr int32_t kPollMilliseconds = 20;

// A caller's way to end a call early: poll(context) runs on the calling thread before the
// workers start and about every kPollMilliseconds while they run, and returns true to stop the
// call. The workers then finish the line they are on and return.
struct Interrupt {
  bool (*poll)(void* context) = nullptr;
  void* context = nullptr;
};

// Asks the interrupt once, on the calling thread: for long passes a driver makes itself.
inline bool stop_requested(const Interrupt& interrupt) {
  return interrupt.poll != nullptr && interrupt.poll(interrupt.context);
}

// Runs work(slab, worker) for every slab in 0 .. slabs - 1 on min(threads, slabs) worker
// threads (slabs <= kMaxWorkers; threads < 1 counts as 1), worker being the index 0 .. of the
// thread that runs it. Each thread takes the next slab not yet taken until none is left or
// `stop` is set; `work` must check `stop` often (the filters: once a line) and return when
// it is set. The threads
// run on kWorkerStackBytes stacks and are all joined before this returns. Returns
//   Status::ok when every slab ran;
//   Status::memory when a thread could not be started for lack of memory (its stack);
//   Status::threads when one could not be started otherwise (the threads started are stopped
//     and joined);
//   Status::stopped when the interrupt asked to stop (or `stop` was set by the caller).
// `work` must not throw.
template <class Work>
Status run_slabs(int32_t slabs, int32_t threads, std::atomic<bool>& stop,
                 const Interrupt& interrupt, Work&& work);

namespace detail {
using SlabFn = void (*)(void* context, int32_t slab, int32_t worker);
Status run_slabs(int32_t slabs, int32_t threads, std::atomic<bool>& stop,
                 const Interrupt& interrupt, SlabFn fn, void* context);
}  // namespace detail

template <class Work>
Status run_slabs(int32_t slabs, int32_t threads, std::atomic<bool>& stop,
                 const Interrupt& interrupt, Work&& work) {
  using W = std::remove_reference_t<Work>;
  return detail::run_slabs(
      slabs, threads, stop, interrupt,
      [](void* context, int32_t slab, int32_t worker) {
        (*static_cast<W*>(context))(slab, worker);
      },
      const_cast<void*>(static_cast<const void*>(&work)));
}

// Runs work(&tasks[t]) for t = 0 .. count - 1 (count <= kMaxWorkers) on count worker threads,
// then joins them all. Returns false when a thread could not be started; the threads started
// before it are still joined, so none is left running. `work` must not throw.
template <class Task>
bool run_workers(Task* tasks, int32_t count, void (*work)(Task*)) noexcept {
  if (count < 0 || count > kMaxWorkers) return false;
  std::atomic<bool> stop{false};
  return run_slabs(count, count, stop, Interrupt{},
                   [&](int32_t slab, int32_t) { work(&tasks[slab]); }) == Status::ok;
}

// Runs work(part) for every part in 0 .. parts - 1 (1 <= parts <= kMaxWorkers) on up to
// `threads` worker threads, or on the calling thread when `threads` is below 2 or no thread can
// be started (the parts that did not run on a worker run there): for passes whose result does not
// depend on which thread ran a part, such as the pipeline's passes over a whole volume, which each
// part writes a range of. `work` must not throw.
template <class Work>
void run_parts(int32_t parts, int32_t threads, Work&& work) {
  bool done[kMaxWorkers] = {};
  if (threads >= 2 && parts >= 2) {
    std::atomic<bool> stop{false};
    // Each flag is written by the one worker that ran its part, and read after all are joined.
    run_slabs(parts, threads, stop, Interrupt{}, [&](int32_t part, int32_t) {
      work(part);
      done[part] = true;
    });
  }
  for (int32_t part = 0; part < parts; ++part) {
    if (!done[part]) work(part);
  }
}

}  // namespace volnlm
