// How much memory a run needs, how much this process can have, and how
// many CPUs it may run on.
#ifndef JPEGFADE_MEMORY_LIMIT_H_
#define JPEGFADE_MEMORY_LIMIT_H_

#include <cstdint>
#include <string>
#include <vector>

/// Bytes one true-colour image of `width` x `height` holds, 4 a pixel; the
/// run holds three: the two pictures and the canvas.
uint64_t ImageBytes(int width, int height);

/// Address space a thread takes besides its work: the default stack, and
/// the arena the allocator gives each new thread. Under `ulimit -v` these
/// count like any memory.
constexpr uint64_t kThreadBytes = uint64_t{72} << 20;

/// Bytes this process can still take: the least of the memory the machine
/// has available, the room under its address-space and data-size limits, and
/// the room under every memory cgroup it is in. The machine's share is its
/// available memory and free swap.
uint64_t AvailableBytes();

/// The room under the memory cgroups that `proc_cgroup` (the text of
/// /proc/self/cgroup) names, and under their parents, with the cgroup
/// folders mounted below `root`; UINT64_MAX where nothing limits it.
uint64_t CgroupRoomBytes(const std::string& proc_cgroup,
                         const std::string& root);

/// One line of /proc/self/cgroup, "ID:CONTROLLERS:PATH": version 2 has no
/// controllers; the top group's path is empty here.
struct CgroupLine {
  std::string controllers;
  std::string path;
};

/// The lines of `proc_cgroup`, the text of /proc/self/cgroup.
std::vector<CgroupLine> ReadCgroupLines(const std::string& proc_cgroup);

/// How many CPUs this process may keep busy: those its affinity allows,
/// and no more than its cgroups' CPU quota, rounded up; at least 1.
int UsableCpus();

/// The CPU quota of the cgroups that `proc_cgroup` names, and of their
/// parents, with the cgroup folders mounted below `root`, rounded up to
/// whole CPUs; INT_MAX where nothing limits it.
int CgroupCpuLimit(const std::string& proc_cgroup, const std::string& root);

/// Opens, for the rest of the run, every file AvailableBytes and UsableCpus
/// read, so that they read them again once the run may open no file.
void KeepLimitFilesOpen();

#endif  // JPEGFADE_MEMORY_LIMIT_H_
