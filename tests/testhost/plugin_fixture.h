// Helpers for calling a plug-in through the test host.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "mexhost/host.h"

namespace testhost {

using mexhost::Array;

inline std::vector<double> random_values(size_t n, unsigned seed, double lo = 0.0,
                                         double hi = 100.0) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(lo, hi);
  std::vector<double> v(n);
  for (double& x : v) x = u(rng);
  return v;
}

inline size_t count_of(const std::vector<size_t>& dims) {
  size_t n = 1;
  for (size_t d : dims) n *= d;
  return n;
}

// Raw pointers for a call; the arrays stay owned by the caller.
inline std::vector<const mxArray*> raw(const std::vector<Array>& args) {
  std::vector<const mxArray*> out;
  for (const Array& a : args) out.push_back(a.get());
  return out;
}

inline mexhost::CallResult call(const mexhost::Plugin& plugin, const std::vector<Array>& args,
                                int nlhs = 1) {
  return plugin.call(nlhs, raw(args));
}

// A bad-argument case: what to change in a valid argument list, and the error identifier.
struct BadCase {
  std::string name;
  std::function<void(std::vector<Array>&)> mutate;
  std::string id;
  int nlhs = 1;
};

// Why a thread-start fault test is skipped.
// Sets VOLNLM_NUM_THREADS for its lifetime (the plug-ins take the default thread count), so
// that a call starts as many workers as it has slabs, whatever the machine.
class ScopedThreadCount {
 public:
  explicit ScopedThreadCount(const char* count) {
    if (const char* old = std::getenv("VOLNLM_NUM_THREADS")) saved_ = old;
    setenv("VOLNLM_NUM_THREADS", count, 1);
  }
  ~ScopedThreadCount() {
    if (saved_.empty()) {
      unsetenv("VOLNLM_NUM_THREADS");
    } else {
      setenv("VOLNLM_NUM_THREADS", saved_.c_str(), 1);
    }
  }

 private:
  std::string saved_;
};

inline constexpr const char* kNoThreadFaults =
    "thread-start faults are not in effect: a sanitizer runtime replaces pthread_create";

inline Array logical_scalar(bool v) {
  return Array(mxCreateLogicalScalar(v));
}
inline Array text(const char* s) {
  return Array(mxCreateString(s));
}
inline Array empty_double() {
  return mexhost::make_array(mxDOUBLE_CLASS, {0, 0});
}
inline Array complex_scalar() {
  return mexhost::make_array(mxDOUBLE_CLASS, {1, 1}, mxCOMPLEX);
}
inline Array row(size_t n) {
  return mexhost::make_array(mxDOUBLE_CLASS, {1, n});
}

// Runs every case against fresh valid arguments and checks the error and that nothing leaked.
inline void expect_rejected(const mexhost::Plugin& plugin,
                            const std::function<std::vector<Array>()>& valid,
                            const std::vector<BadCase>& cases) {
  for (const BadCase& c : cases) {
    std::vector<Array> args = valid();
    c.mutate(args);
    const size_t live_before = mexhost::live_arrays();
    const mexhost::CallResult r = plugin.call(c.nlhs, raw(args));
    EXPECT_FALSE(r.ok) << c.name;
    EXPECT_EQ(r.error_id, c.id) << c.name << ": " << r.error_message;
    EXPECT_FALSE(r.error_message.empty()) << c.name;
    EXPECT_EQ(mexhost::live_arrays(), live_before) << c.name << " left arrays behind";
  }
}

}  // namespace testhost
