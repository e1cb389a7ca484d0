// How many worker threads a call runs: an explicit count, else VOLNLM_NUM_THREADS, else the CPUs
// the process may use (its affinity mask and its cgroup CPU quota). Never more than the slabs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/status.h"

namespace volnlm {

// The environment variable that sets the thread count when a call gives none.
inline constexpr const char* kThreadsEnv = "VOLNLM_NUM_THREADS";

// What limits the CPUs a process may use; an empty field sets no limit.
struct CpuLimits {
  std::optional<int32_t> affinity;  // CPUs in the affinity mask
  std::optional<double> quota;      // cgroup CPU quota over its period, in CPUs (e.g. 1.5)
};

// CPUs a process with these limits may use: the affinity count, lowered to the quota rounded
// up, at least 1. With no limit known, `fallback` (the processor count the system reports).
int32_t usable_cpus(const CpuLimits& limits, int32_t fallback);

// A thread count, or why none could be chosen.
struct ThreadCount {
  int32_t count = 1;
  std::optional<ArgError> error;  // reason "numThreads"
};

// The rule: `requested` > 0 wins; 0 takes `env` (the variable's text, when it is set), which
// must then be a positive whole number; else `cpus`. A negative request is an error. Counts
// above INT32_MAX are taken as INT32_MAX (the slab count bounds the workers anyway).
ThreadCount choose_threads(int64_t requested, const std::optional<std::string>& env, int32_t cpus);

// A positive whole number in decimal digits (surrounding spaces allowed), clamped to INT32_MAX;
// nothing for anything else.
std::optional<int32_t> parse_thread_count(std::string_view text);

// The quota of a cgroup v2 `cpu.max` ("max 100000" or "50000 100000"), in CPUs.
std::optional<double> parse_cpu_max(std::string_view text);

// The quota of cgroup v1 `cpu.cfs_quota_us` and `cpu.cfs_period_us` (-1: none), in CPUs.
std::optional<double> parse_cfs_quota(std::string_view quota, std::string_view period);

// The process's cgroup paths from /proc/self/cgroup: the unified (v2) one ("0::/path") and
// that of the v1 hierarchy holding the cpu controller.
struct CgroupPaths {
  std::optional<std::string> unified;
  std::optional<std::string> cpu;
};
CgroupPaths parse_proc_cgroup(std::string_view text);

// The tightest CPU quota set on the process's cgroup or any of its parents, read below `root`
// ("" for the real file system; tests pass a directory laid out like it): /proc/self/cgroup,
// then cpu.max under /sys/fs/cgroup (v2) or cpu.cfs_* under /sys/fs/cgroup/cpu or
// /sys/fs/cgroup/cpu,cpuacct (v1).
std::optional<double> read_cgroup_quota(const std::string& root);

// This process's limits: its affinity mask (where the system has one) and its cgroup quota.
CpuLimits read_cpu_limits();

// The rule applied to this process: the request, VOLNLM_NUM_THREADS and the usable CPUs.
ThreadCount thread_count(int64_t requested);

// A check for the parameter records: the error thread_count(requested) would give, if any.
std::optional<ArgError> check_threads(int64_t requested);

}  // namespace volnlm
