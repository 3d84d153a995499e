#include "cgroups.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

KeptFile KeepFile(const std::string& path) {
  return KeptFile{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
}

std::string ReadKept(const KeptFile& file) {
  std::string text;
  if (file.fd < 0) return text;
  char block[16 << 10];
  for (ssize_t got; (got = pread(file.fd, block, sizeof block,
                                 static_cast<off_t>(text.size()))) > 0;) {
    text.append(block, static_cast<size_t>(got));
  }
  return text;
}

uint64_t ReadKeptNumber(const KeptFile& file) {
  std::istringstream in(ReadKept(file));
  std::string word;
  if (!(in >> word) || word.find_first_not_of("0123456789") != word.npos) {
    return UINT64_MAX;
  }
  // Too large a number reads as ULLONG_MAX, which is no limit too.
  return std::strtoull(word.c_str(), nullptr, 10);
}

std::string ProcSelfCgroup() {
  KeptFile file = KeepFile("/proc/self/cgroup");
  std::string text = ReadKept(file);
  if (file.fd >= 0) close(file.fd);
  return text;
}

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

namespace {

bool HasController(const CgroupLine& group, const char* controller) {
  return ("," + group.controllers + ",").find("," + std::string(controller) +
                                               ",") != std::string::npos;
}

// Version 2 sits at the top on a unified system, under "unified" on a
// hybrid one; version 1 under each controller's own folder.
const char* const kVersion2Tops[] = {"", "/unified"};

// `dir` and its parents up to the mount's `top`, onto `folders`.
void AddUpFrom(std::string dir, const std::string& top, bool version2,
               std::vector<CgroupFolder>* folders) {
  for (;;) {
    folders->push_back({dir, version2});
    if (dir.size() <= top.size()) return;
    dir.erase(dir.find_last_of('/'));
  }
}

}  // namespace

std::vector<CgroupFolder> BindingFolders(const std::string& proc_cgroup,
                                         const std::string& root,
                                         const Controller& controller) {
  std::vector<CgroupFolder> folders;
  for (const CgroupLine& group : ReadCgroupLines(proc_cgroup)) {
    if (group.controllers.empty()) {
      for (const char* top : kVersion2Tops) {
        AddUpFrom(root + top + group.path, root + top, true, &folders);
      }
    } else if (HasController(group, controller.name)) {
      const std::string top = root + controller.folder;
      AddUpFrom(top + group.path, top, false, &folders);
    }
  }
  return folders;
}
