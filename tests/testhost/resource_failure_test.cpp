// Both plug-ins when memory runs out: every allocation of a call, in turn, is made to fail
// (the host's own array creations too), and every such call must end in a clean host error,
// with nothing leaked, no worker left behind and the plug-in working afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "plugin_fixture.h"

namespace testhost {
namespace {

using mexhost::make_doubles;
using mexhost::make_singles;
using mexhost::scalar;

// Threads of this process, from the kernel's count.
int process_threads() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

struct PluginCase {
  std::string name;
  std::function<std::vector<Array>()> args;
};

std::vector<PluginCase> plugin_cases() {
  // Eight slices of one slice per worker, with windows that reach across slabs, so that every
  // per-slab buffer is taken.
  const std::vector<size_t> sorvane_dims = {5, 4, 8};
  const std::vector<size_t> block_dims = {6, 5, 16};
  return {
      {"sorvane",
       [=] {
         std::vector<Array> a;
         a.push_back(make_doubles(sorvane_dims, random_values(count_of(sorvane_dims), 21)));
         a.push_back(scalar(2));
         a.push_back(scalar(1));
         a.push_back(scalar(30));
         a.push_back(make_doubles(sorvane_dims, random_values(count_of(sorvane_dims), 22)));
         a.push_back(scalar(1));
         return a;
       }},
      {"blockdenoise",
       [=] {
         std::vector<float> v;
         for (double x : random_values(count_of(block_dims), 23, 10, 200))
           v.push_back(static_cast<float>(x));
         std::vector<Array> a;
         a.push_back(make_singles(block_dims, v));
         a.push_back(scalar(2));
         a.push_back(scalar(1));
         a.push_back(scalar(20));
         a.push_back(scalar(1));
         a.push_back(scalar(0));
         return a;
       }},
  };
}

std::vector<unsigned char> output_bytes(const mexhost::CallResult& r) {
  const mxArray* out = r.outputs.at(0).get();
  const auto* p = static_cast<const unsigned char*>(mxGetData(out));
  const size_t element = mxGetClassID(out) == mxDOUBLE_CLASS ? 8 : 4;
  return std::vector<unsigned char>(p, p + mxGetNumberOfElements(out) * element);
}

// Calls with the fault armed at k = 0, 1, 2, ... until a call runs without meeting it. Each
// failed call must give one of the allowed identifiers and leave the host as it found it; a
// call that met the fault and still succeeded must give the right result. Every identifier in
// `required` must turn up on the way.
void walk_faults(const PluginCase& c, void (*arm)(long), bool (*pending)(),
                 const std::set<std::string>& allowed, const std::set<std::string>& required) {
  const mexhost::Plugin plugin(mexhost::plugin_path(c.name));
  const std::vector<Array> args = c.args();
  const mexhost::CallResult clean = call(plugin, args);
  ASSERT_TRUE(clean.ok) << c.name << ": " << clean.error_message;
  const std::vector<unsigned char> expected = output_bytes(clean);
  const size_t live = mexhost::live_arrays();
  const int threads = process_threads();
  std::set<std::string> seen;
  long k = 0;
  for (;; ++k) {
    ASSERT_LT(k, 5000) << c.name << ": the walk does not end";
    arm(k);
    const mexhost::CallResult r = call(plugin, args);
    const bool struck = !pending();
    arm(-1);
    EXPECT_EQ(mexhost::live_arrays(), live + (r.ok ? 1 : 0)) << c.name << " k=" << k;
    EXPECT_EQ(process_threads(), threads) << c.name << " k=" << k << ": a worker is left";
    if (r.ok) {
      EXPECT_EQ(output_bytes(r), expected) << c.name << " k=" << k;
      if (!struck) break;
      continue;
    }
    EXPECT_TRUE(struck) << c.name << " k=" << k << " failed without the fault: " << r.error_id;
    EXPECT_TRUE(allowed.count(r.error_id))
        << c.name << " k=" << k << ": " << r.error_id << " " << r.error_message;
    EXPECT_FALSE(r.error_message.empty());
    if (r.error_id == c.name + ":threads") {
      EXPECT_EQ(r.printed, "Threads cannot be created\n");
    }
    seen.insert(r.error_id);
  }
  EXPECT_GT(k, 0) << c.name << ": the call made no allocation to fail";
  ::testing::Test::RecordProperty(c.name + "_faults_walked", static_cast<int>(k));
  // The plug-in is still fine afterwards.
  const mexhost::CallResult again = call(plugin, args);
  ASSERT_TRUE(again.ok) << again.error_message;
  EXPECT_EQ(output_bytes(again), expected);
  for (const std::string& id : required)
    EXPECT_TRUE(seen.count(id)) << c.name << " never gave " << id;
}

TEST(ResourceFailure, EveryAllocationOfACallMayFail) {
  if (!mexhost::allocation_faults_in_effect()) {
    GTEST_SKIP() << "allocation faults are not in effect: a sanitizer runtime replaces malloc";
  }
  for (const PluginCase& c : plugin_cases()) {
    walk_faults(c, &mexhost::fail_allocation, &mexhost::allocation_fault_pending,
                {c.name + ":memory", c.name + ":threads", mexhost::kHostOutOfMemoryId},
                {c.name + ":memory", mexhost::kHostOutOfMemoryId});
  }
}

TEST(ResourceFailure, HostArrayCreationFailureRaisesTheHostsOwnError) {
  // Needs no interposition: the host itself refuses the array.
  for (const PluginCase& c : plugin_cases()) {
    walk_faults(c, &mexhost::fail_array_creation, &mexhost::array_creation_fault_pending,
                {mexhost::kHostOutOfMemoryId}, {mexhost::kHostOutOfMemoryId});
  }
}

TEST(ResourceFailure, ShortageWhileRejectingAnArgumentIsAMemoryError) {
  if (!mexhost::allocation_faults_in_effect()) {
    GTEST_SKIP() << "allocation faults are not in effect: a sanitizer runtime replaces malloc";
  }
  // Building the message of a rejected argument takes memory; when that fails, the call must
  // still end in a host error, never in an exception escaping the plug-in.
  for (const PluginCase& c : plugin_cases()) {
    const mexhost::Plugin plugin(mexhost::plugin_path(c.name));
    std::vector<Array> args = c.args();
    args[3] = scalar(std::nan(""));
    const std::string rejected = c.name + ":sigma";
    const size_t live = mexhost::live_arrays();
    long k = 0;
    for (;; ++k) {
      ASSERT_LT(k, 1000);
      mexhost::fail_allocation(k);
      const mexhost::CallResult r = call(plugin, args);
      const bool struck = !mexhost::allocation_fault_pending();
      mexhost::fail_allocation(-1);
      ASSERT_FALSE(r.ok) << c.name;
      EXPECT_EQ(mexhost::live_arrays(), live);
      if (!struck) {
        EXPECT_EQ(r.error_id, rejected);
        break;
      }
      EXPECT_EQ(r.error_id, c.name + ":memory") << c.name << " k=" << k << ": " << r.error_message;
    }
    EXPECT_GT(k, 0) << c.name << ": the rejection took no memory to fail";
  }
}

}  // namespace
}  // namespace testhost
