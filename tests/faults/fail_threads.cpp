// Preloaded (LD_PRELOAD) into a Python interpreter or the volnlm executable by the tests, so that
// thread starts fail as they do when a process runs out of threads or of address space for
// their stacks: once VOLNLM_FAIL_THREADS_AFTER threads have been started, every later
// pthread_create returns EAGAIN without starting one. With the variable unset, every call goes
// straight to the C library's pthread_create.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// Starts allowed, or -1 for no limit. A value that is not a whole number of 0 or more ends the
// process: a test that meant to inject faults must not run without them.
long starts_allowed() {
  const char* text = std::getenv("VOLNLM_FAIL_THREADS_AFTER");
  if (text == nullptr) return -1;
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || n < 0) {
    std::fprintf(stderr,
                 "VOLNLM_FAIL_THREADS_AFTER must be a whole number of 0 or more; got \"%s\"\n",
                 text);
    std::abort();
  }
  return n;
}

std::atomic<long> started{0};

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
  static const CreateFn real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  static const long allowed = starts_allowed();
  if (allowed >= 0) {
    // A start is counted before it is made, so that concurrent callers never exceed the limit.
    long n = started.load();
    do {
      if (n >= allowed) return EAGAIN;
    } while (!started.compare_exchange_weak(n, n + 1));
  }
  const int result = real(thread, attr, start, arg);
  if (result != 0 && allowed >= 0) started.fetch_sub(1);
  return result;
}
