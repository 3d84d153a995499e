#include "memory_limit.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <sstream>
#include <vector>

namespace {

constexpr uint64_t kUnlimited = UINT64_MAX;

// The files the checks read stay open once KeepLimitFilesOpen has read them,
// and are read again through their descriptors: the numbers change as the
// run goes on, and once the run has confined itself it opens no file to read.
std::map<std::string, int> kept_files;
bool keeping_files = false;

constexpr char kProcCgroup[] = "/proc/self/cgroup";

// The whole text of a small file; empty when it cannot be read. While the
// files are being kept, only the list of cgroups is read: it alone says
// which files there are, and the numbers are read when they are asked for.
std::string ReadText(const std::string& path) {
  const auto kept = kept_files.find(path);
  const int fd = kept != kept_files.end()
                     ? kept->second
                     : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  if (keeping_files && path != kProcCgroup) {
    kept_files.emplace(path, fd);
    return "";
  }
  std::string text;
  char block[16 << 10];
  for (ssize_t got; (got = pread(fd, block, sizeof block,
                                 static_cast<off_t>(text.size()))) > 0;) {
    text.append(block, static_cast<size_t>(got));
  }
  if (kept != kept_files.end()) return text;
  if (keeping_files) {
    kept_files.emplace(path, fd);
  } else {
    close(fd);
  }
  return text;
}

// The first word of a file as a byte count; "max" and anything unreadable
// mean no limit.
uint64_t ReadByteCount(const std::string& path) {
  std::istringstream in(ReadText(path));
  std::string word;
  if (!(in >> word) || word.find_first_not_of("0123456789") != word.npos) {
    return kUnlimited;
  }
  // Too large a number reads as ULLONG_MAX, which is no limit too.
  return std::strtoull(word.c_str(), nullptr, 10);
}

uint64_t Room(uint64_t limit, uint64_t used) {
  if (limit == kUnlimited) return kUnlimited;
  return limit > used ? limit - used : 0;
}

// The value of `key` in a cgroup's memory.stat; 0 if it is not there.
uint64_t ReadStat(const std::string& path, const std::string& key) {
  std::istringstream in(ReadText(path));
  std::string name;
  for (uint64_t value = 0; in >> name >> value;) {
    if (name == key) return value;
  }
  return 0;
}

// Names of one cgroup version's files.
struct CgroupFiles {
  const char* limit;
  const char* usage;
  const char* inactive_file;  // page cache the kernel drops before failing
};

// A cgroup's limit binds its children too, so every folder from the
// process's own `dir` up to the mount's `top` counts: the least of
// `measure(folder)` over them, `none` when nothing limits.
template <typename Value, typename Measure>
Value LeastUpFrom(std::string dir, const std::string& top, Value none,
                  Measure measure) {
  Value least = none;
  for (;;) {
    least = std::min(least, measure(dir));
    if (dir.size() <= top.size()) return least;
    dir.erase(dir.find_last_of('/'));
  }
}

// A cgroup's usage counts page cache, of which the inactive part is given
// back on demand, so it is left out.
uint64_t RoomUpFrom(const std::string& dir, const std::string& top,
                    const CgroupFiles& files) {
  return LeastUpFrom(dir, top, kUnlimited, [&](const std::string& folder) {
    const uint64_t usage = ReadByteCount(folder + "/" + files.usage);
    const uint64_t cache = ReadStat(folder + "/memory.stat", files.inactive_file);
    return Room(ReadByteCount(folder + "/" + files.limit),
                usage == kUnlimited || usage < cache ? 0 : usage - cache);
  });
}

// "MemAvailable" counts free memory and what the kernel can reclaim; free
// swap is room too, since a plain program of the same fade may use it.
uint64_t MachineAvailableBytes() {
  std::istringstream in(ReadText("/proc/meminfo"));
  uint64_t available = 0, swap_free = 0;
  bool found = false;
  for (std::string key; in >> key;) {
    uint64_t kib = 0;
    if (key == "MemAvailable:" && in >> kib) {
      available = kib * 1024;
      found = true;
    } else if (key == "SwapFree:" && in >> kib) {
      swap_free = kib * 1024;
    }
    in.ignore(1 << 10, '\n');
  }
  if (!found) {
    available = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) *
                static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  }
  return available + swap_free;
}

// Room under a resource limit, less what the process already holds of it
// (field `field` of /proc/self/statm, in pages).
uint64_t RlimitRoom(int resource, int field) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return kUnlimited;
  }
  std::istringstream statm(ReadText("/proc/self/statm"));
  uint64_t pages = 0;
  int read = 0;  // fields read so far; `pages` holds the last of them
  while (read <= field && statm >> pages) ++read;
  return Room(limit.rlim_cur,
              pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));
}

}  // namespace

uint64_t ImageBytes(int width, int height) {
  return uint64_t{4} * static_cast<uint64_t>(std::max(width, 0)) *
         static_cast<uint64_t>(std::max(height, 0));
}

namespace {

bool HasController(const CgroupLine& group, const char* controller) {
  return ("," + group.controllers + ",").find("," + std::string(controller) +
                                               ",") != std::string::npos;
}

// Version 2 sits at the top on a unified system, under "unified" on a
// hybrid one; version 1 under each controller's own folder.
const char* const kVersion2Tops[] = {"", "/unified"};

// "QUOTA PERIOD" in a version 2 cpu.max, or the two version 1 files; whole
// CPUs, rounded up; INT_MAX for no quota.
int CpusOfQuota(uint64_t quota, uint64_t period) {
  if (quota == kUnlimited || period == 0 || period == kUnlimited) {
    return INT_MAX;
  }
  const uint64_t cpus = (quota + period - 1) / period;
  return static_cast<int>(std::min<uint64_t>(std::max<uint64_t>(cpus, 1),
                                             INT_MAX));
}

// One folder's quota, in whole CPUs; INT_MAX for none.
int CpuLimitOf(const std::string& dir, bool version2) {
  if (version2) {
    std::istringstream in(ReadText(dir + "/cpu.max"));
    std::string quota;
    uint64_t period = 0;
    if (in >> quota >> period && quota != "max" &&
        quota.find_first_not_of("0123456789") == quota.npos) {
      return CpusOfQuota(std::stoull(quota), period);
    }
    return INT_MAX;
  }
  std::istringstream in(ReadText(dir + "/cpu.cfs_quota_us"));
  long long quota = -1;
  if (in >> quota && quota > 0) {
    return CpusOfQuota(static_cast<uint64_t>(quota),
                       ReadByteCount(dir + "/cpu.cfs_period_us"));
  }
  return INT_MAX;
}

int CpuLimitUpFrom(const std::string& dir, const std::string& top,
                   bool version2) {
  return LeastUpFrom(dir, top, INT_MAX, [&](const std::string& folder) {
    return CpuLimitOf(folder, version2);
  });
}

std::string ProcCgroup() { return ReadText(kProcCgroup); }

// The least of `measure(dir, top, version2)` over the cgroups that
// `proc_cgroup` names: every version 2 group, and the version 1 groups of
// `controller`, whose folder is `folder` below `root`.
template <typename Value, typename Measure>
Value LeastOverCgroups(const std::string& proc_cgroup, const std::string& root,
                       const char* controller, const char* folder, Value none,
                       Measure measure) {
  Value least = none;
  for (const CgroupLine& group : ReadCgroupLines(proc_cgroup)) {
    if (group.controllers.empty()) {
      for (const char* top : kVersion2Tops) {
        const std::string dir = root + top;
        least = std::min(least, measure(dir + group.path, dir, true));
      }
    } else if (HasController(group, controller)) {
      const std::string dir = root + folder;
      least = std::min(least, measure(dir + group.path, dir, false));
    }
  }
  return least;
}

}  // namespace

std::vector<CgroupLine> ReadCgroupLines(const std::string& proc_cgroup) {
  std::vector<CgroupLine> groups;
  std::istringstream lines(proc_cgroup);
  for (std::string line; std::getline(lines, line);) {
    const size_t first = line.find(':');
    const size_t second = line.find(':', first + 1);
    if (first == line.npos || second == line.npos) continue;
    CgroupLine group{line.substr(first + 1, second - first - 1),
                     line.substr(second + 1)};
    if (group.path == "/") group.path.clear();
    groups.push_back(group);
  }
  return groups;
}

uint64_t CgroupRoomBytes(const std::string& proc_cgroup,
                         const std::string& root) {
  const CgroupFiles kVersion1{"memory.limit_in_bytes", "memory.usage_in_bytes",
                              "total_inactive_file"};
  const CgroupFiles kVersion2{"memory.max", "memory.current", "inactive_file"};
  return LeastOverCgroups(
      proc_cgroup, root, "memory", "/memory", kUnlimited,
      [&](const std::string& dir, const std::string& top, bool version2) {
        return RoomUpFrom(dir, top, version2 ? kVersion2 : kVersion1);
      });
}

int CgroupCpuLimit(const std::string& proc_cgroup, const std::string& root) {
  // Mounted as "cpu,cpuacct" on most systems, with "cpu" a link to it.
  return LeastOverCgroups(proc_cgroup, root, "cpu", "/cpu", INT_MAX,
                          CpuLimitUpFrom);
}

int UsableCpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int cpus = CPU_COUNT(&set);
  // One CPU needs nothing more: the run stays as it always was.
  if (cpus <= 1) return 1;
  return std::max(1, std::min(cpus, CgroupCpuLimit(ProcCgroup(),
                                                   "/sys/fs/cgroup")));
}

uint64_t AvailableBytes() {
  return std::min({MachineAvailableBytes(), RlimitRoom(RLIMIT_AS, 0),
                   RlimitRoom(RLIMIT_DATA, 5),
                   CgroupRoomBytes(ProcCgroup(), "/sys/fs/cgroup")});
}

void KeepLimitFilesOpen() {
  keeping_files = true;
  AvailableBytes();
  UsableCpus();
  keeping_files = false;
}
