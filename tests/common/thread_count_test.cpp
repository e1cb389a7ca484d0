#include "common/thread_count.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace volnlm {
namespace {

TEST(ThreadCount, TheRuleOfRequestEnvironmentAndCpus) {
  struct Case {
    int64_t requested;
    std::optional<std::string> env;
    int32_t cpus;
    int32_t want;
    bool error;
  };
  const Case cases[] = {
      {0, std::nullopt, 2, 2, false},  // the usable CPUs
      {0, std::nullopt, 0, 1, false},  // never fewer than one
      {3, std::nullopt, 2, 3, false},  // an explicit count wins over the CPUs
      {3, "1", 2, 3, false},           // ... and over the environment
      {3, "junk", 2, 3, false},        // ... which is then not even read
      {0, "5", 2, 5, false},           // the environment over the CPUs
      {0, " 4\n", 2, 4, false},        // surrounding white space
      {0, "99999999999999", 2, INT32_MAX, false},
      {int64_t{1} << 40, std::nullopt, 2, INT32_MAX, false},
      {0, "0", 2, 1, true},
      {0, "-2", 2, 1, true},
      {0, "", 2, 1, true},
      {0, "two", 2, 1, true},
      {0, "2.5", 2, 1, true},
      {0, "+3", 2, 1, true},
      {0, "3 4", 2, 1, true},
      {-1, std::nullopt, 2, 1, true},
  };
  for (const Case& c : cases) {
    const ThreadCount t = choose_threads(c.requested, c.env, c.cpus);
    const std::string label = std::to_string(c.requested) + " env=" + c.env.value_or("(unset)");
    EXPECT_EQ(t.error.has_value(), c.error) << label;
    if (c.error) {
      EXPECT_EQ(t.error->reason, "numThreads") << label;
      // An error from the environment names the variable and quotes its value.
      if (c.requested == 0) {
        EXPECT_NE(t.error->message.find(kThreadsEnv), std::string::npos) << t.error->message;
        EXPECT_NE(t.error->message.find("\"" + *c.env + "\""), std::string::npos)
            << t.error->message;
      }
    } else {
      EXPECT_EQ(t.count, c.want) << label;
    }
  }
}

TEST(ThreadCount, UsableCpusFromAffinityAndQuota) {
  struct Case {
    std::optional<int32_t> affinity;
    std::optional<double> quota;
    int32_t fallback;
    int32_t want;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, 6, 6},  // nothing known: what the system reports
      {std::nullopt, std::nullopt, 0, 1},
      {4, std::nullopt, 16, 4},    // the affinity mask
      {4, 1.0, 16, 1},             // a quota of one CPU
      {4, 1.5, 16, 2},             // rounded up
      {4, 0.2, 16, 1},             // a fraction of one CPU still runs one thread
      {2, 8.0, 16, 2},             // a quota above the mask changes nothing
      {std::nullopt, 3.0, 16, 3},  // a quota alone
      {4, 0.0, 16, 4},             // not a quota
  };
  for (const Case& c : cases) {
    EXPECT_EQ(usable_cpus(CpuLimits{c.affinity, c.quota}, c.fallback), c.want)
        << c.affinity.value_or(-1) << " " << c.quota.value_or(-1);
  }
}

TEST(ThreadCount, QuotaFilesParse) {
  struct Case {
    const char* text;
    std::optional<double> want;
  };
  const Case cpu_max[] = {
      {"max 100000\n", std::nullopt}, {"50000 100000\n", 0.5}, {"250000 100000", 2.5},
      {"max", std::nullopt},          {"", std::nullopt},      {"abc 100000", std::nullopt},
      {"100000 0", std::nullopt},
  };
  for (const Case& c : cpu_max) EXPECT_EQ(parse_cpu_max(c.text), c.want) << c.text;
  EXPECT_EQ(parse_cfs_quota("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(parse_cfs_quota("150000\n", "100000\n"), 1.5);
  EXPECT_EQ(parse_cfs_quota("x", "100000"), std::nullopt);
  EXPECT_EQ(parse_cfs_quota("100000", "0"), std::nullopt);
}

TEST(ThreadCount, ProcCgroupPaths) {
  const CgroupPaths v2 = parse_proc_cgroup("0::/user.slice/job-7.scope\n");
  EXPECT_EQ(v2.unified, "/user.slice/job-7.scope");
  EXPECT_EQ(v2.cpu, std::nullopt);
  const CgroupPaths v1 =
      parse_proc_cgroup("12:memory:/m\n4:cpu,cpuacct:/slurm/job_42\n3:cpuset:/s\n0::/\n");
  EXPECT_EQ(v1.cpu, "/slurm/job_42");
  EXPECT_EQ(v1.unified, "/");
  const CgroupPaths cpuacct_only = parse_proc_cgroup("2:cpuacct:/a\n");
  EXPECT_EQ(cpuacct_only.cpu, std::nullopt);  // "cpuacct" is not the cpu controller
  EXPECT_EQ(parse_proc_cgroup("garbage").unified, std::nullopt);
}

// A directory laid out like the parts of /proc and /sys that the quota is read from.
class FakeRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("volnlm-cgroup-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root_);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  void write(const std::string& path, const std::string& text) {
    const std::filesystem::path file = root_ / path.substr(1);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  std::optional<double> quota() { return read_cgroup_quota(root_.string()); }
  std::filesystem::path root_;
};

TEST_F(FakeRoot, V2QuotaOfTheCgroupOrItsTightestParent) {
  write("/proc/self/cgroup", "0::/job/step\n");
  write("/sys/fs/cgroup/cpu.max", "max 100000\n");
  write("/sys/fs/cgroup/job/cpu.max", "300000 100000\n");
  write("/sys/fs/cgroup/job/step/cpu.max", "max 100000\n");
  EXPECT_EQ(quota(), 3.0);
  write("/sys/fs/cgroup/job/step/cpu.max", "150000 100000\n");
  EXPECT_EQ(quota(), 1.5);
}

TEST_F(FakeRoot, V1QuotaUnderEitherMountName) {
  write("/proc/self/cgroup", "5:cpu,cpuacct:/slurm/job_1\n0::/\n");
  write("/sys/fs/cgroup/cpu,cpuacct/slurm/job_1/cpu.cfs_quota_us", "200000\n");
  write("/sys/fs/cgroup/cpu,cpuacct/slurm/job_1/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(quota(), 2.0);
  write("/sys/fs/cgroup/cpu/slurm/cpu.cfs_quota_us", "50000\n");
  write("/sys/fs/cgroup/cpu/slurm/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(quota(), 0.5);
}

TEST_F(FakeRoot, NoQuotaWithoutFilesOrWithUnlimitedOnes) {
  EXPECT_EQ(quota(), std::nullopt);  // not even /proc/self/cgroup
  write("/proc/self/cgroup", "0::/a\n");
  EXPECT_EQ(quota(), std::nullopt);  // no cpu.max anywhere
  write("/proc/self/cgroup", "3:cpu:/a\n");
  write("/sys/fs/cgroup/cpu/a/cpu.cfs_quota_us", "-1\n");
  write("/sys/fs/cgroup/cpu/a/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(quota(), std::nullopt);
}

TEST(ThreadCount, ThisProcessAndItsEnvironment) {
  // The affinity mask is read where the system has one, and is at most what the system reports.
  const CpuLimits limits = read_cpu_limits();
#if defined(__linux__)
  ASSERT_TRUE(limits.affinity.has_value());
  EXPECT_GE(*limits.affinity, 1);
  EXPECT_LE(*limits.affinity, static_cast<int32_t>(std::thread::hardware_concurrency()));
#endif
  const char* saved = std::getenv(kThreadsEnv);
  const std::string restore = saved ? saved : "";
  ::setenv(kThreadsEnv, "3", 1);
  EXPECT_EQ(thread_count(0).count, 3);
  EXPECT_EQ(thread_count(5).count, 5);
  ::setenv(kThreadsEnv, "lots", 1);
  EXPECT_TRUE(check_threads(0).has_value());
  EXPECT_FALSE(check_threads(2).has_value());  // an explicit count does not read it
  ::unsetenv(kThreadsEnv);
  EXPECT_FALSE(check_threads(0).has_value());
  EXPECT_EQ(
      thread_count(0).count,
      usable_cpus(read_cpu_limits(), static_cast<int32_t>(std::thread::hardware_concurrency())));
  if (saved) ::setenv(kThreadsEnv, restore.c_str(), 1);
}

}  // namespace
}  // namespace volnlm
