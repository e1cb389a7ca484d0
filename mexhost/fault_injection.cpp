// Thread-start fault injection. The host library defines pthread_create, which the dynamic
// linker finds before the C library's for every module of a process that links the host
// (the plug-ins' std::thread included); it forwards to the real call unless a fault is armed.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>

#include "mexhost/host.h"

namespace {

std::atomic<int> starts_left{-1};

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

CreateFn real_create() {
  static const CreateFn fn = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  return fn;
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                              void* (*start)(void*), void* arg) {
  int left = starts_left.load();
  while (left >= 0) {
    if (left == 0) return EAGAIN;
    if (starts_left.compare_exchange_weak(left, left - 1)) break;
  }
  return real_create()(thread, attr, start, arg);
}

namespace mexhost {

void fail_thread_starts_after(int starts) { starts_left.store(starts < 0 ? -1 : starts); }

}  // namespace mexhost
