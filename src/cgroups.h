// The files the memory and CPU checks read: opened once, before the run
// confines itself, and read again through their descriptors whenever a
// number is asked for, since the numbers change as the run goes on and a
// confined run opens no file. Among them, the cgroup folders a process is in.
#ifndef JPEGFADE_CGROUPS_H_
#define JPEGFADE_CGROUPS_H_

#include <cstdint>
#include <string>
#include <vector>

/// A small file held open, to be read again; -1 where it could not be
/// opened, which reads as empty.
struct KeptFile {
  int fd = -1;
};

/// `path`, opened for reading for the rest of the process.
KeptFile KeepFile(const std::string& path);

/// The whole text of a kept file, read now; empty where it is not open.
std::string ReadKept(const KeptFile& file);

/// The first word of a kept file as a number; UINT64_MAX where it is "max"
/// or not a number, which the checks read as no limit.
uint64_t ReadKeptNumber(const KeptFile& file);

/// The text of /proc/self/cgroup, read now: which cgroups this process is
/// in, which does not change during a run.
std::string ProcSelfCgroup();

/// One line of /proc/self/cgroup, "ID:CONTROLLERS:PATH": version 2 has no
/// controllers; the top group's path is empty here.
struct CgroupLine {
  std::string controllers;
  std::string path;
};

/// The lines of `proc_cgroup`, the text of /proc/self/cgroup.
std::vector<CgroupLine> ReadCgroupLines(const std::string& proc_cgroup);

/// A cgroup hierarchy's place: where its controller is mounted below the
/// cgroup root in version 1 ("/memory", "/cpu").
struct Controller {
  const char* name;
  const char* folder;
};

/// A cgroup folder that may set a limit, and its version.
struct CgroupFolder {
  std::string path;
  bool version2;
};

/// Every folder whose limits bind the process that `proc_cgroup` describes,
/// for `controller`, with the hierarchies mounted below `root`: its own
/// groups' folders and all their parents up to each mount's top (a group's
/// limit binds its children), version 2's at the top or under "unified".
std::vector<CgroupFolder> BindingFolders(const std::string& proc_cgroup,
                                         const std::string& root,
                                         const Controller& controller);

#endif  // JPEGFADE_CGROUPS_H_
