// How many CPUs this process may keep busy.
#ifndef JPEGFADE_CPU_COUNT_H_
#define JPEGFADE_CPU_COUNT_H_

#include <string>
#include <vector>

#include "cgroups.h"

/// One CPU cgroup folder's quota files, kept open: version 2's cpu.max
/// ("QUOTA PERIOD"), or version 1's quota and period.
struct CpuGroupFiles {
  KeptFile quota;
  KeptFile period;  // version 1 only
  bool version2;
};

/// The files of every CPU cgroup folder that binds the process whose
/// /proc/self/cgroup text is `proc_cgroup`, mounted below `root`, opened.
std::vector<CpuGroupFiles> KeepCpuGroupFiles(const std::string& proc_cgroup,
                                             const std::string& root);

/// The least CPU quota of `groups`, rounded up to whole CPUs; INT_MAX where
/// nothing limits it.
int CgroupCpuLimit(const std::vector<CpuGroupFiles>& groups);

/// Opens, once, the files UsableCpus reads. Call it before the run confines
/// itself; later calls do nothing.
void KeepCpuFiles();

/// How many CPUs this process may keep busy: those its affinity allows, and
/// no more than its cgroups' CPU quota, rounded up; at least 1.
int UsableCpus();

#endif  // JPEGFADE_CPU_COUNT_H_
