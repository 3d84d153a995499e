#include "memory_limit.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>

#include "cpu_count.h"
#include "test_pictures.h"

namespace {

namespace fs = std::filesystem;

// A fake cgroup tree's file, its folders made as needed.
void Put(const fs::path& root, const std::string& file,
         const std::string& text) {
  fs::create_directories((root / file).parent_path());
  WriteFileBytes(root / file, text);
}

TEST(Cgroups, TheTightestMemoryRoomAndCpuQuotaOnThePath) {
  const fs::path root = MakeTempFolder();
  ASSERT_FALSE(root.empty());
  auto put = [&](const std::string& file, const std::string& text) {
    Put(root, file, text);
  };
  // Version 1: the own group has room 600, its parent 250 once the inactive
  // page cache is left out of the parent's usage.
  put("memory/a/memory.limit_in_bytes", "9223372036854771712\n");
  put("memory/a/memory.usage_in_bytes", "100\n");
  put("memory/a/b/memory.limit_in_bytes", "1000\n");
  put("memory/a/b/memory.usage_in_bytes", "400\n");
  put("memory/memory.limit_in_bytes", "900\n");
  put("memory/memory.usage_in_bytes", "1000\n");
  put("memory/memory.stat", "cache 800\ntotal_inactive_file 350\n");
  // Version 2, unified at the top and under "unified" on a hybrid system.
  put("c/memory.max", "max\n");
  put("c/d/memory.max", "5000\n");
  put("c/d/memory.current", "1000\n");
  put("c/d/memory.stat", "anon 600\ninactive_file 300\n");
  put("unified/e/memory.max", "700\n");
  put("unified/e/memory.current", "800\n");
  struct Row {
    const char* proc_cgroup;
    uint64_t room;
  };
  const Row rows[] = {
      {"4:memory:/a/b\n1:cpu:/x\n", 250},
      {"4:cpuacct,memory:/a\n", 250},
      {"0::/c/d\n", 4300},
      {"0::/c\n", UINT64_MAX},
      {"0::/e\n", 0},  // over its limit already
      {"0::/nowhere\n3:cpu,cpuacct:/a/b\n", UINT64_MAX},
      {"", UINT64_MAX},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CgroupRoomBytes(KeepMemoryGroupFiles(row.proc_cgroup, root)),
              row.room)
        << row.proc_cgroup;
  }

  // CPU quotas, rounded up to whole CPUs.
  Put(root, "a/cpu.max", "max 100000\n");
  Put(root, "a/b/cpu.max", "150000 100000\n");  // one and a half: two CPUs
  Put(root, "c/cpu.max", "300000 100000\n");
  Put(root, "c/d/cpu.max", "max 100000\n");  // the parent's quota binds
  Put(root, "cpu/e/cpu.cfs_quota_us", "50000\n");
  Put(root, "cpu/e/cpu.cfs_period_us", "100000\n");
  Put(root, "cpu/f/cpu.cfs_quota_us", "-1\n");
  const std::pair<const char*, int> quotas[] = {
      {"0::/a/b\n", 2},          {"0::/a\n", INT_MAX},
      {"0::/c/d\n", 3},          {"3:cpu,cpuacct:/e\n", 1},
      {"3:cpu,cpuacct:/f\n", INT_MAX}, {"4:memory:/e\n", INT_MAX},
      {"", INT_MAX},
  };
  for (const auto& [proc_cgroup, cpus] : quotas) {
    EXPECT_EQ(CgroupCpuLimit(KeepCpuGroupFiles(proc_cgroup, root)), cpus)
        << proc_cgroup;
  }
  fs::remove_all(root);
}

TEST(AvailableBytes, LeavesOutWhatTheProcessAlreadyHolds) {
  SKIP_UNLESS_MEMORY_LIMITS_TESTABLE();
  // In a child, so the limit does not bind the rest of the tests.
  const pid_t pid = fork();
  if (pid == 0) {
    const uint64_t before = AvailableBytes();
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm || std::fscanf(statm, "%ld", &pages) != 1) _exit(2);
    const rlim_t limit = pages * sysconf(_SC_PAGESIZE) + (rlim_t{100} << 20);
    const rlimit value{limit, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &value) != 0) _exit(3);
    const uint64_t room = AvailableBytes();
    _exit(room <= (uint64_t{100} << 20) && room > (uint64_t{90} << 20) &&
                  room < before
              ? 0
              : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
