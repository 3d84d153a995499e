#include "cpu_count.h"

#include <sched.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <sstream>

namespace {

// A quota of `quota` each `period`, in whole CPUs, rounded up; INT_MAX for
// none.
int CpusOfQuota(uint64_t quota, uint64_t period) {
  if (quota == UINT64_MAX || period == 0 || period == UINT64_MAX) {
    return INT_MAX;
  }
  const uint64_t cpus = (quota + period - 1) / period;
  return static_cast<int>(
      std::min<uint64_t>(std::max<uint64_t>(cpus, 1), INT_MAX));
}

int CpuLimitOf(const CpuGroupFiles& group) {
  if (group.version2) {
    std::istringstream in(ReadKept(group.quota));
    std::string quota;
    uint64_t period = 0;
    if (in >> quota >> period && quota != "max" &&
        quota.find_first_not_of("0123456789") == quota.npos) {
      return CpusOfQuota(std::stoull(quota), period);
    }
    return INT_MAX;
  }
  std::istringstream in(ReadKept(group.quota));
  long long quota = -1;  // -1: no quota
  if (in >> quota && quota > 0) {
    return CpusOfQuota(static_cast<uint64_t>(quota),
                       ReadKeptNumber(group.period));
  }
  return INT_MAX;
}

const std::vector<CpuGroupFiles>& KeptCpuFiles() {
  // Mounted as "cpu,cpuacct" on most systems, with "cpu" a link to it.
  static const std::vector<CpuGroupFiles> files =
      KeepCpuGroupFiles(ProcSelfCgroup(), "/sys/fs/cgroup");
  return files;
}

}  // namespace

std::vector<CpuGroupFiles> KeepCpuGroupFiles(const std::string& proc_cgroup,
                                             const std::string& root) {
  std::vector<CpuGroupFiles> groups;
  for (const CgroupFolder& folder :
       BindingFolders(proc_cgroup, root, {"cpu", "/cpu"})) {
    const std::string& dir = folder.path;
    groups.push_back(folder.version2
                         ? CpuGroupFiles{KeepFile(dir + "/cpu.max"), {}, true}
                         : CpuGroupFiles{KeepFile(dir + "/cpu.cfs_quota_us"),
                                         KeepFile(dir + "/cpu.cfs_period_us"),
                                         false});
  }
  return groups;
}

int CgroupCpuLimit(const std::vector<CpuGroupFiles>& groups) {
  int least = INT_MAX;
  for (const CpuGroupFiles& group : groups) {
    least = std::min(least, CpuLimitOf(group));
  }
  return least;
}

void KeepCpuFiles() { KeptCpuFiles(); }

int UsableCpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int cpus = CPU_COUNT(&set);
  // One CPU needs nothing more: the run makes its frames in one thread.
  if (cpus <= 1) return 1;
  return std::max(1, std::min(cpus, CgroupCpuLimit(KeptCpuFiles())));
}
