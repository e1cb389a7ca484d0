#include "common/thread_runner.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <sys/mman.h>
#define VOLNLM_POSIX_THREADS 1
#else
#include <new>
#include <system_error>
#include <thread>
#endif

namespace volnlm::detail {
namespace {

// What the workers of one call share. Lives on the calling thread's stack until every worker
// has been joined.
struct Shared {
  int32_t slabs = 0;
  std::atomic<int32_t> next{0};
  std::atomic<bool>* stop = nullptr;
  SlabFn fn = nullptr;
  void* context = nullptr;
  std::mutex mutex;
  std::condition_variable finished_one;
  int32_t finished = 0;
};

struct Worker {
  Shared* shared = nullptr;
  int32_t index = 0;
};

// A worker's loop: the next slab until none is left or the call is stopped. Allocates nothing.
void work_through(Worker* w) {
  Shared& s = *w->shared;
  while (!s.stop->load(std::memory_order_relaxed)) {
    const int32_t slab = s.next.fetch_add(1, std::memory_order_relaxed);
    if (slab >= s.slabs) break;
    s.fn(s.context, slab, w->index);
  }
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.finished;
  }
  s.finished_one.notify_one();
}

#if VOLNLM_POSIX_THREADS
using Handle = pthread_t;

extern "C" void* worker_entry(void* arg) {
  work_through(static_cast<Worker*>(arg));
  return nullptr;
}

// Starts a worker on a kWorkerStackBytes stack: Status::ok, or why it could not start.
Status start(Handle* handle, Worker* worker) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return Status::memory;
  int result = pthread_attr_setstacksize(&attr, kWorkerStackBytes);
  if (result == 0) result = pthread_create(handle, &attr, worker_entry, worker);
  pthread_attr_destroy(&attr);
  if (result == 0) return Status::ok;
  if (result == ENOMEM) return Status::memory;
  // EAGAIN stands both for a lack of threads and for a stack that could not be mapped: a
  // mapping of the stack's size, tried now, tells which.
  void* probe = mmap(nullptr, kWorkerStackBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (probe == MAP_FAILED) return Status::memory;
  munmap(probe, kWorkerStackBytes);
  return Status::threads;
}

void join(Handle handle) {
  pthread_join(handle, nullptr);
}
#else
using Handle = std::thread;

// Portable fallback: std::thread takes the system's default stack.
Status start(Handle* handle, Worker* worker) {
  try {
    *handle = std::thread(work_through, worker);
    return Status::ok;
  } catch (const std::bad_alloc&) {
    return Status::memory;
  } catch (const std::system_error& e) {
    return e.code() == std::errc::not_enough_memory ? Status::memory : Status::threads;
  }
}

void join(Handle& handle) {
  handle.join();
}
#endif

}  // namespace

Status run_slabs(int32_t slabs, int32_t threads, std::atomic<bool>& stop,
                 const Interrupt& interrupt, SlabFn fn, void* context) {
  if (slabs < 0 || slabs > kMaxWorkers) return Status::threads;
  if (slabs == 0) return Status::ok;
  if (stop_requested(interrupt)) stop.store(true);
  if (stop.load()) return Status::stopped;
  const int32_t count = threads < 1 ? 1 : threads < slabs ? threads : slabs;

  Shared shared;
  shared.slabs = slabs;
  shared.stop = &stop;
  shared.fn = fn;
  shared.context = context;
  Worker workers[kMaxWorkers];
  Handle handles[kMaxWorkers];
  int32_t started = 0;
  Status status = Status::ok;
  for (; started < count; ++started) {
    workers[started] = Worker{&shared, started};
    status = start(&handles[started], &workers[started]);
    if (status != Status::ok) {
      stop.store(true);  // the call has failed: the workers already started end early
      break;
    }
  }

  bool interrupted = false;
  {
    std::unique_lock<std::mutex> lock(shared.mutex);
    while (shared.finished < started) {
      if (interrupt.poll == nullptr) {
        shared.finished_one.wait(lock);
        continue;
      }
      shared.finished_one.wait_for(lock, std::chrono::milliseconds(kPollMilliseconds));
      if (shared.finished == started || interrupted) continue;
      lock.unlock();
      if (stop_requested(interrupt)) {
        interrupted = true;
        stop.store(true);
      }
      lock.lock();
    }
  }
  for (int32_t t = 0; t < started; ++t) join(handles[t]);
  if (status != Status::ok) return status;
  return interrupted || stop.load() ? Status::stopped : Status::ok;
}

}  // namespace volnlm::detail
