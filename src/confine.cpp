#include "confine.h"

#include <dirent.h>
#include <fcntl.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "frame_output.h"
#include "memory_limit.h"

namespace {

// Landlock's interface, written out here: the headers of older systems
// (Debian 12's among them) lack the later ABIs' rights and fields.
#ifndef SYS_landlock_create_ruleset
#define SYS_landlock_create_ruleset 444
#define SYS_landlock_add_rule 445
#define SYS_landlock_restrict_self 446
#endif

struct RulesetAttr {
  uint64_t handled_access_fs;
  uint64_t handled_access_net;  // ABI 4
  uint64_t scoped;              // ABI 6
};

struct __attribute__((packed)) PathBeneathAttr {
  uint64_t allowed_access;
  int32_t parent_fd;
};

constexpr uint32_t kCreateRulesetVersion = 1;
constexpr int kRulePathBeneath = 1;

constexpr uint64_t kWriteFile = 1 << 1;
constexpr uint64_t kRemoveFile = 1 << 5;
constexpr uint64_t kMakeReg = 1 << 8;
constexpr uint64_t kTruncate = 1 << 14;     // ABI 3
constexpr uint64_t kBindTcp = 1 << 0;       // ABI 4
constexpr uint64_t kConnectTcp = 1 << 1;    // ABI 4
constexpr uint64_t kScopeAbstractUnix = 1 << 0;  // ABI 6
constexpr uint64_t kScopeSignal = 1 << 1;        // ABI 6

// Every file-system right the ABI knows: 13 in the first, then REFER (2),
// TRUNCATE (3) and IOCTL_DEV (5). A right left out would stay allowed.
uint64_t FileSystemRights(int abi) {
  const int rights = abi >= 5 ? 16 : abi >= 3 ? 15 : abi == 2 ? 14 : 13;
  return (uint64_t{1} << rights) - 1;
}

// Allows `rights` beneath `path` (on it alone, for a file); false if the
// path cannot be opened or the kernel refuses the rule.
bool AllowBeneath(int ruleset, const std::string& path, uint64_t rights) {
  const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return false;
  const PathBeneathAttr rule{rights, fd};
  const bool added =
      syscall(SYS_landlock_add_rule, ruleset, kRulePathBeneath, &rule, 0) == 0;
  close(fd);
  return added;
}

// Whether `name`, an entry of the frames' folder, is the name of one of the
// run's frames: `base`, a frame number below `alpha` as FrameFileName
// writes it, ".JPG".
bool IsFrameName(const std::string& name, const std::string& base, int alpha) {
  if (name.size() < base.size() + 6 || name.compare(0, base.size(), base) != 0 ||
      name.compare(name.size() - 4, 4, ".JPG") != 0) {
    return false;
  }
  const size_t digits = name.size() - base.size() - 4;
  if (digits > 10) return false;
  const std::string number = name.substr(base.size(), digits);
  if (number.find_first_not_of("0123456789") != std::string::npos) return false;
  const long long i = std::strtoll(number.c_str(), nullptr, 10);
  return i < alpha &&
         FrameFileName(base.c_str(), static_cast<int>(i)) == name;
}

// What a frame written through needs: write access to what the name leads
// to, and, for a link that leads nowhere yet, making that file in the
// folder where the last link of the chain points, as open(2) would.
bool AllowWritingThrough(int ruleset, const std::string& path,
                         uint64_t file_rights, uint64_t folder_rights) {
  struct stat target {};
  if (stat(path.c_str(), &target) == 0) {
    return S_ISDIR(target.st_mode) || AllowBeneath(ruleset, path, file_rights);
  }
  std::string leads_to = path;
  for (int hop = 0; hop < 40; ++hop) {  // the kernel's own limit
    char link[4096];
    const ssize_t size = readlink(leads_to.c_str(), link, sizeof link - 1);
    if (size <= 0) break;
    const std::string next(link, static_cast<size_t>(size));
    leads_to = next[0] == '/'
                   ? next
                   : leads_to.substr(0, leads_to.rfind('/') + 1) + next;
  }
  if (leads_to == path) return false;
  return AllowBeneath(ruleset, leads_to.substr(0, leads_to.rfind('/') + 1) + ".",
                      folder_rights);
}

// The rules for the frames: the folder they go to, and whatever stands under
// their names that is not a regular file, found in one listing of the folder
// (ALPHA may be two billion). False if one could not be given, so that the
// run is not confined rather than kept from a frame it may write.
bool AllowFrames(int ruleset, int abi, const char* prefix, int alpha) {
  const std::string text(prefix);
  const size_t slash = text.rfind('/');
  const std::string folder = slash == std::string::npos ? "./" : text.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? text : text.substr(slash + 1);
  const uint64_t truncate = abi >= 3 ? kTruncate : 0;
  const uint64_t folder_rights = kMakeReg | kWriteFile | kRemoveFile | truncate;
  if (!AllowBeneath(ruleset, folder + ".", folder_rights)) return false;
  DIR* listing = opendir((folder + ".").c_str());
  if (!listing) return false;
  bool allowed = true;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (entry->d_type == DT_REG || !IsFrameName(name, base, alpha)) continue;
    struct stat info {};
    const std::string path = folder + name;
    if (lstat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) continue;
    allowed = allowed && AllowWritingThrough(ruleset, path, kWriteFile | truncate,
                                             folder_rights);
  }
  closedir(listing);
  return allowed;
}

void ConfineFileSystem(const char* prefix, int alpha) {
  const int abi = LandlockAbi();
  if (abi <= 0) return;
  RulesetAttr attr{FileSystemRights(abi), 0, 0};
  size_t size = sizeof attr.handled_access_fs;
  if (abi >= 4) {
    attr.handled_access_net = kBindTcp | kConnectTcp;
    size = offsetof(RulesetAttr, scoped);
  }
  if (abi >= 6) {
    attr.scoped = kScopeAbstractUnix | kScopeSignal;
    size = sizeof attr;
  }
  const int ruleset = static_cast<int>(
      syscall(SYS_landlock_create_ruleset, &attr, size, 0));
  if (ruleset < 0) return;
  if (AllowFrames(ruleset, abi, prefix, alpha)) {
    syscall(SYS_landlock_restrict_self, ruleset, 0);
  }
  close(ruleset);
}

// A deny list, not an allow list: it stays right when the C library starts
// using other calls, and threads, memory and files work as before.
void RefuseEscapes() {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (!filter) return;
  const int calls[] = {
      SCMP_SYS(socket),        SCMP_SYS(socketpair),     SCMP_SYS(execve),
      SCMP_SYS(execveat),      SCMP_SYS(ptrace),         SCMP_SYS(process_vm_readv),
      SCMP_SYS(process_vm_writev), SCMP_SYS(bpf),        SCMP_SYS(keyctl),
      SCMP_SYS(add_key),       SCMP_SYS(request_key),    SCMP_SYS(mount),
      SCMP_SYS(umount2),       SCMP_SYS(unshare),        SCMP_SYS(setns),
      // io_uring makes sockets and opens files past the filter.
      SCMP_SYS(io_uring_setup),
  };
  for (const int call : calls) {
    // A call this architecture lacks is refused by the kernel anyway.
    seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 0);
  }
  seccomp_load(filter);
  seccomp_release(filter);
}

// The sanitizers' runtimes read /proc/self/maps and start a tracer to look
// for leaks as the process ends; confined, they would fail every run.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

}  // namespace

int LandlockAbi() {
  const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0,
                           kCreateRulesetVersion);
  return abi > 0 ? static_cast<int>(abi) : 0;
}

bool ConfinesItself() { return !kSanitized; }

void ConfineToFrames(const char* prefix, int alpha) {
  if (kSanitized) return;
  KeepLimitFilesOpen();
  // Both Landlock and a filter need it from an unprivileged process; it also
  // keeps a set-user-ID program from gaining rights.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return;
  ConfineFileSystem(prefix, alpha);
  RefuseEscapes();
}
