#include "memory_limit.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

constexpr uint64_t kUnlimited = UINT64_MAX;

uint64_t Room(uint64_t limit, uint64_t used) {
  if (limit == kUnlimited) return kUnlimited;
  return limit > used ? limit - used : 0;
}

// The value of `key` in a cgroup's memory.stat; 0 if it is not there.
uint64_t ReadStat(const KeptFile& stat, const std::string& key) {
  std::istringstream in(ReadKept(stat));
  std::string name;
  for (uint64_t value = 0; in >> name >> value;) {
    if (name == key) return value;
  }
  return 0;
}

// "MemAvailable" counts free memory and what the kernel can reclaim; free
// swap is room too, since a plain program of the same fade may use it.
uint64_t MachineAvailableBytes(const KeptFile& meminfo) {
  std::istringstream in(ReadKept(meminfo));
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

// Fields of /proc/self/statm, in pages: what each resource limit counts.
enum StatmField {
  kProgramPages = 0,  // the whole address space: RLIMIT_AS
  kDataPages = 5,     // data and stack: RLIMIT_DATA
};

// Room under a resource limit, less what the process already holds of it.
uint64_t RlimitRoom(int resource, StatmField held, const KeptFile& statm) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return kUnlimited;
  }
  std::istringstream fields(ReadKept(statm));
  uint64_t pages = 0;
  for (int field = 0; field <= held && fields >> pages;) ++field;
  return Room(limit.rlim_cur,
              pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));
}

struct MemoryFiles {
  KeptFile meminfo;
  KeptFile statm;
  std::vector<MemoryGroupFiles> groups;
};

const MemoryFiles& KeptMemoryFiles() {
  static const MemoryFiles files{
      KeepFile("/proc/meminfo"), KeepFile("/proc/self/statm"),
      KeepMemoryGroupFiles(ProcSelfCgroup(), "/sys/fs/cgroup")};
  return files;
}

}  // namespace

uint64_t ImageBytes(int width, int height) {
  return uint64_t{4} * static_cast<uint64_t>(std::max(width, 0)) *
         static_cast<uint64_t>(std::max(height, 0));
}

std::vector<MemoryGroupFiles> KeepMemoryGroupFiles(
    const std::string& proc_cgroup, const std::string& root) {
  std::vector<MemoryGroupFiles> groups;
  for (const CgroupFolder& folder :
       BindingFolders(proc_cgroup, root, {"memory", "/memory"})) {
    const std::string& dir = folder.path;
    groups.push_back(
        folder.version2
            ? MemoryGroupFiles{KeepFile(dir + "/memory.max"),
                               KeepFile(dir + "/memory.current"),
                               KeepFile(dir + "/memory.stat"), "inactive_file"}
            : MemoryGroupFiles{KeepFile(dir + "/memory.limit_in_bytes"),
                               KeepFile(dir + "/memory.usage_in_bytes"),
                               KeepFile(dir + "/memory.stat"),
                               "total_inactive_file"});
  }
  return groups;
}

uint64_t CgroupRoomBytes(const std::vector<MemoryGroupFiles>& groups) {
  uint64_t least = kUnlimited;
  for (const MemoryGroupFiles& group : groups) {
    // A cgroup's usage counts page cache, of which the inactive part is
    // given back on demand, so it is left out.
    const uint64_t usage = ReadKeptNumber(group.usage);
    const uint64_t cache = ReadStat(group.stat, group.inactive_key);
    least = std::min(least, Room(ReadKeptNumber(group.limit),
                                 usage == kUnlimited || usage < cache
                                     ? 0
                                     : usage - cache));
  }
  return least;
}

void KeepMemoryFiles() { KeptMemoryFiles(); }

uint64_t AddressSpaceBytes() {
  uint64_t pages = 0;
  std::ifstream statm("/proc/self/statm");
  if (!(statm >> pages)) return 0;
  return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

uint64_t AvailableBytes() {
  const MemoryFiles& files = KeptMemoryFiles();
  return std::min({MachineAvailableBytes(files.meminfo),
                   RlimitRoom(RLIMIT_AS, kProgramPages, files.statm),
                   RlimitRoom(RLIMIT_DATA, kDataPages, files.statm),
                   CgroupRoomBytes(files.groups)});
}
