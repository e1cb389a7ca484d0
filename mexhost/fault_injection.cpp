// Fault injection of the test host.
//
// The host library defines pthread_create, malloc and calloc, which the dynamic linker finds
// before the C library's for every module of a process that links the host (the plug-ins'
// std::thread and operator new included). Each forwards to the C library unless a fault is
// armed. A sanitizer runtime linked into the executable defines the same calls and is found
// first; the probes below tell the tests whether the host's versions are the ones in use.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include "mexhost/call_context.h"
#include "mexhost/host.h"

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);

namespace {

std::atomic<int> starts_left{-1};
std::atomic<long> thread_start_calls{0};

// Allocations still to succeed before the one that fails; -1 when no fault is armed.
std::atomic<long> allocations_left{-1};
std::atomic<long> allocation_calls{0};
// Array creations still to succeed before the one that fails; -1 when none is armed.
std::atomic<long> creations_left{-1};
// Plug-in calls running in the process; allocation faults only strike while one is.
std::atomic<int> calls_running{0};
// Set while the host itself formats an error or a console line on this thread. Initial-exec,
// so that reading it never allocates (malloc itself reads it).
__attribute__((tls_model("initial-exec"))) thread_local int suspended = 0;

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

CreateFn real_create() {
  static const CreateFn fn = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  return fn;
}

// Counts one event down; true for the event that finds the count at zero (the fault is then
// spent, so it strikes once).
bool take_fault(std::atomic<long>& left) {
  long n = left.load(std::memory_order_relaxed);
  while (n >= 0) {
    if (left.compare_exchange_weak(n, n - 1)) return n == 0;
  }
  return false;
}

bool allocation_fails() {
  allocation_calls.fetch_add(1, std::memory_order_relaxed);
  if (calls_running.load(std::memory_order_relaxed) == 0 || suspended != 0) return false;
  return take_fault(allocations_left);
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
  thread_start_calls.fetch_add(1, std::memory_order_relaxed);
  int left = starts_left.load();
  while (left >= 0) {
    if (left == 0) return EAGAIN;
    if (starts_left.compare_exchange_weak(left, left - 1)) break;
  }
  return real_create()(thread, attr, start, arg);
}

extern "C" void* malloc(size_t size) {
  if (allocation_fails()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}

extern "C" void* calloc(size_t count, size_t size) {
  if (allocation_fails()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_calloc(count, size);
}

namespace mexhost {

void fail_thread_starts_after(int starts) {
  starts_left.store(starts < 0 ? -1 : starts);
}

void fail_allocation(long k) {
  allocations_left.store(k < 0 ? -1 : k);
}

bool allocation_fault_pending() {
  return allocations_left.load() >= 0;
}

void fail_array_creation(long k) {
  creations_left.store(k < 0 ? -1 : k);
}

bool array_creation_fault_pending() {
  return creations_left.load() >= 0;
}

bool thread_faults_in_effect() {
  const long before = thread_start_calls.load();
  pthread_t thread;
  auto* const create = &pthread_create;  // through the symbol the process resolves
  if (create(
          &thread, nullptr, [](void*) -> void* { return nullptr; }, nullptr) == 0) {
    pthread_join(thread, nullptr);
  }
  return thread_start_calls.load() != before;
}

bool allocation_faults_in_effect() {
  const long before = allocation_calls.load();
  void* volatile p = std::malloc(16);
  std::free(p);
  return allocation_calls.load() != before;
}

}  // namespace mexhost

namespace mexhost::detail {

CallRunning::CallRunning() {
  calls_running.fetch_add(1);
}
CallRunning::~CallRunning() {
  calls_running.fetch_sub(1);
}

FaultsSuspended::FaultsSuspended() {
  ++suspended;
}
FaultsSuspended::~FaultsSuspended() {
  --suspended;
}

bool array_creation_fails() {
  return calls_running.load() != 0 && take_fault(creations_left);
}

}  // namespace mexhost::detail
