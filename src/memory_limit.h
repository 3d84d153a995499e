// How much memory a run needs, and how much this process can have.
#ifndef JPEGFADE_MEMORY_LIMIT_H_
#define JPEGFADE_MEMORY_LIMIT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "cgroups.h"

/// Bytes one true-colour image of `width` x `height` holds, 4 a pixel; the
/// run holds three: the two pictures and the canvas.
uint64_t ImageBytes(int width, int height);

/// Address space a thread takes besides its work: the default stack, and
/// the arena the allocator gives each new thread. Under `ulimit -v` these
/// count like any memory.
constexpr uint64_t kThreadBytes = uint64_t{72} << 20;

/// One memory cgroup folder's files, kept open.
struct MemoryGroupFiles {
  KeptFile limit;
  KeptFile usage;
  KeptFile stat;
  const char* inactive_key;  // memory.stat's inactive page cache
};

/// The files of every memory cgroup folder that binds the process whose
/// /proc/self/cgroup text is `proc_cgroup`, mounted below `root`, opened.
std::vector<MemoryGroupFiles> KeepMemoryGroupFiles(
    const std::string& proc_cgroup, const std::string& root);

/// The room under the memory cgroups of `groups`: the least of their limits
/// less their usage (the inactive page cache, which the kernel gives back
/// first, left out); UINT64_MAX where nothing limits it.
uint64_t CgroupRoomBytes(const std::vector<MemoryGroupFiles>& groups);

/// The address space this process holds now, from /proc/self/statm; 0
/// where it cannot be told.
uint64_t AddressSpaceBytes();

/// Opens, once, the files AvailableBytes reads: the machine's memory, this
/// process's size, and its memory cgroups'. Call it before the run confines
/// itself; later calls do nothing.
void KeepMemoryFiles();

/// Bytes this process can still take: the least of the memory the machine
/// has available and its free swap, the room under its address-space and
/// data-size limits, and the room under every memory cgroup it is in.
uint64_t AvailableBytes();

#endif  // JPEGFADE_MEMORY_LIMIT_H_
