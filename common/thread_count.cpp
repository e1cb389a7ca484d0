#include "common/thread_count.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace volnlm {
namespace {

std::string_view trim(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

// A whole number of decimal digits with an optional leading minus, saturated at +-2^62.
std::optional<int64_t> parse_integer(std::string_view text) {
  text = trim(text);
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value > (int64_t{1} << 62) / 10 ? int64_t{1} << 62 : value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

std::optional<double> quota_in_cpus(int64_t quota, int64_t period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  return static_cast<double>(quota) / static_cast<double>(period);
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<double> tighter(std::optional<double> a, std::optional<double> b) {
  if (!a) return b;
  if (!b) return a;
  return *a < *b ? a : b;
}

// The quota read by `at(directory)` for a cgroup directory and every parent up to the mount.
template <class At>
std::optional<double> along_path(const std::string& mount, std::string path, At at) {
  std::optional<double> quota;
  while (true) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    quota = tighter(quota, at(mount + (path == "/" ? "" : path)));
    if (path.empty() || path == "/") return quota;
    const size_t slash = path.rfind('/');
    path = slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
  }
}

}  // namespace

int32_t usable_cpus(const CpuLimits& limits, int32_t fallback) {
  int32_t cpus = limits.affinity.value_or(fallback);
  if (limits.quota && *limits.quota > 0.0) {
    const double ceiling = std::ceil(*limits.quota);
    if (ceiling < cpus) cpus = static_cast<int32_t>(ceiling);
  }
  return cpus < 1 ? 1 : cpus;
}

std::optional<int32_t> parse_thread_count(std::string_view text) {
  const std::optional<int64_t> n = parse_integer(text);
  if (!n || *n < 1 || trim(text).front() == '-') return std::nullopt;
  return *n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(*n);
}

ThreadCount choose_threads(int64_t requested, const std::optional<std::string>& env, int32_t cpus) {
  if (requested > 0) {
    return ThreadCount{requested > INT32_MAX ? INT32_MAX : static_cast<int32_t>(requested), {}};
  }
  if (requested < 0) {
    return ThreadCount{1, ArgError{"numThreads",
                                   "the thread count must be a positive whole "
                                   "number (or 0 for the default); got " +
                                       std::to_string(requested)}};
  }
  if (env) {
    if (const std::optional<int32_t> n = parse_thread_count(*env)) return ThreadCount{*n, {}};
    return ThreadCount{1, ArgError{"numThreads", std::string(kThreadsEnv) +
                                                     " must be a positive whole number of "
                                                     "threads; got \"" +
                                                     *env + "\""}};
  }
  return ThreadCount{cpus < 1 ? 1 : cpus, {}};
}

std::optional<double> parse_cpu_max(std::string_view text) {
  text = trim(text);
  const size_t space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;  // "max" alone, or unreadable
  const std::string_view quota = text.substr(0, space);
  if (quota == "max") return std::nullopt;
  const std::optional<int64_t> q = parse_integer(quota);
  const std::optional<int64_t> p = parse_integer(text.substr(space + 1));
  if (!q || !p) return std::nullopt;
  return quota_in_cpus(*q, *p);
}

std::optional<double> parse_cfs_quota(std::string_view quota, std::string_view period) {
  const std::optional<int64_t> q = parse_integer(quota);
  const std::optional<int64_t> p = parse_integer(period);
  if (!q || !p) return std::nullopt;
  return quota_in_cpus(*q, *p);
}

CgroupPaths parse_proc_cgroup(std::string_view text) {
  CgroupPaths paths;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    // hierarchy-ID:controller-list:path
    const size_t first = line.find(':');
    const size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string path(line.substr(second + 1));
    if (id == "0" && controllers.empty()) {
      paths.unified = path;
      continue;
    }
    std::string_view list = controllers;
    while (!list.empty()) {
      const size_t comma = list.find(',');
      if (list.substr(0, comma) == "cpu") paths.cpu = path;
      list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
  }
  return paths;
}

std::optional<double> read_cgroup_quota(const std::string& root) {
  const std::optional<std::string> self = read_file(root + "/proc/self/cgroup");
  if (!self) return std::nullopt;
  const CgroupPaths paths = parse_proc_cgroup(*self);
  std::optional<double> quota;
  if (paths.unified) {
    quota = tighter(quota, along_path(root + "/sys/fs/cgroup", *paths.unified,
                                      [](const std::string& dir) -> std::optional<double> {
                                        const auto text = read_file(dir + "/cpu.max");
                                        return text ? parse_cpu_max(*text) : std::nullopt;
                                      }));
  }
  if (paths.cpu) {
    for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
      quota = tighter(quota, along_path(root + mount, *paths.cpu,
                                        [](const std::string& dir) -> std::optional<double> {
                                          const auto q = read_file(dir + "/cpu.cfs_quota_us");
                                          const auto p = read_file(dir + "/cpu.cfs_period_us");
                                          return q && p ? parse_cfs_quota(*q, *p) : std::nullopt;
                                        }));
    }
  }
  return quota;
}

CpuLimits read_cpu_limits() {
  CpuLimits limits;
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) limits.affinity = CPU_COUNT(&set);
  limits.quota = read_cgroup_quota("");
#endif
  return limits;
}

namespace {

std::optional<std::string> env_text() {
  const char* env = std::getenv(kThreadsEnv);
  return env != nullptr ? std::optional<std::string>(env) : std::nullopt;
}

}  // namespace

ThreadCount thread_count(int64_t requested) {
  const std::optional<std::string> env = requested == 0 ? env_text() : std::nullopt;
  // The system is only asked when the rule comes to it.
  if (requested != 0 || env) return choose_threads(requested, env, 1);
  const int32_t reported = static_cast<int32_t>(std::thread::hardware_concurrency());
  return choose_threads(0, std::nullopt, usable_cpus(read_cpu_limits(), reported));
}

std::optional<ArgError> check_threads(int64_t requested) {
  return choose_threads(requested, requested == 0 ? env_text() : std::nullopt, 1).error;
}

}  // namespace volnlm
