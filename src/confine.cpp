#include "confine.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "cpu_count.h"
#include "frame_output.h"
#include "memory_limit.h"

namespace {

// Landlock's interface, written out here: the headers of older systems
// (Debian 12's among them) lack the later ABIs' rights and fields.

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

// The rights writing the frames needs: on a file a frame's name leads to,
// and on a folder a frame is made in.
struct FrameRights {
  uint64_t file;
  uint64_t folder;
};

// What a frame written through needs: write access to what the name leads
// to, and, for a link that leads nowhere yet, making that file in the
// folder where the last link of the chain points, as open(2) would.
bool AllowWritingThrough(int ruleset, const std::string& path,
                         const FrameRights& rights) {
  struct stat target {};
  if (stat(path.c_str(), &target) == 0) {
    return S_ISDIR(target.st_mode) || AllowBeneath(ruleset, path, rights.file);
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
                      rights.folder);
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
  const FrameRights rights{kWriteFile | truncate,
                           kMakeReg | kWriteFile | kRemoveFile | truncate};
  if (!AllowBeneath(ruleset, folder + ".", rights.folder)) return false;
  DIR* listing = opendir((folder + ".").c_str());
  if (!listing) return false;
  bool allowed = true;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (entry->d_type == DT_REG || !IsFrameName(name, base, alpha)) continue;
    struct stat info {};
    const std::string path = folder + name;
    if (lstat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) continue;
    allowed = allowed && AllowWritingThrough(ruleset, path, rights);
  }
  closedir(listing);
  return allowed;
}

// A ruleset handling every right `abi` knows on the file system and TCP, and
// the `scopes` (abstract sockets, signals outside the process's own domain):
// whatever no rule of it allows is refused. -1 where the kernel has none.
int MakeRuleset(int abi, uint64_t scopes) {
  if (abi <= 0) return -1;
  RulesetAttr attr{FileSystemRights(abi), 0, 0};
  size_t size = sizeof attr.handled_access_fs;
  if (abi >= 4) {
    attr.handled_access_net = kBindTcp | kConnectTcp;
    size = offsetof(RulesetAttr, scoped);
  }
  if (abi >= 6) {
    attr.scoped = scopes;
    size = sizeof attr;
  }
  return static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0));
}

// Signals are left to the allow list, which lets the writer signal itself
// and its decoders: the scope would forbid even those, which confined
// themselves apart from it. Whether the ruleset is in force.
bool ConfineFileSystem(const char* prefix, int alpha, int abi) {
  const int ruleset = MakeRuleset(abi, kScopeAbstractUnix);
  if (ruleset < 0) return false;
  const bool enforced = AllowFrames(ruleset, abi, prefix, alpha) &&
                        syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
  close(ruleset);
  return enforced;
}

scmp_arg_cmp Argument(unsigned index, scmp_compare op, uint64_t value,
                      uint64_t mask = 0) {
  // For a masked comparison the mask comes first.
  return op == SCMP_CMP_MASKED_EQ ? scmp_arg_cmp{index, op, mask, value}
                                  : scmp_arg_cmp{index, op, value, 0};
}

// An allow list being made: any call it does not let through is answered
// ENOSYS, as a kernel that lacks it would answer, so that a newer C library
// that tries a new call first falls back to an older one rather than
// failing the run. `whole` stays true while every rule given was added.
struct AllowList {
  scmp_filter_ctx filter;
  bool whole;
};

AllowList NewAllowList() {
  return {seccomp_init(SCMP_ACT_ERRNO(ENOSYS)), true};
}

// Lets `name` through where its arguments meet `conditions`. A call this
// architecture lacks (mmap2 on x86-64, open on arm64) is no rule at all.
void Allow(AllowList* list, const char* name,
           std::initializer_list<scmp_arg_cmp> conditions = {}) {
  const int call = seccomp_syscall_resolve_name(name);
  if (call == __NR_SCMP_ERROR) return;
  if (seccomp_rule_add_array(list->filter, SCMP_ACT_ALLOW, call,
                             static_cast<unsigned>(conditions.size()),
                             conditions.begin()) != 0) {
    list->whole = false;
  }
}

// Memory without PROT_EXEC: no code can be made at run time. Of madvise,
// only the advice the processes give, huge pages or not for the pictures'
// rows and the C library's giving back of freed pages, compared on the low
// 32 bits the kernel reads: none that reaches past the process's own use
// of its pages (poisoning or offlining one, removing a file's, keeping
// pages from a child).
void AllowMemory(AllowList* list) {
  const scmp_arg_cmp no_exec = Argument(2, SCMP_CMP_MASKED_EQ, 0, PROT_EXEC);
  for (const char* name : {"mmap", "mmap2", "mprotect"}) {
    Allow(list, name, {no_exec});
  }
  for (const char* name : {"munmap", "mremap", "brk"}) Allow(list, name);
  for (const int advice :
       {MADV_HUGEPAGE, MADV_NOHUGEPAGE, MADV_DONTNEED, MADV_FREE}) {
    Allow(list, "madvise",
          {Argument(2, SCMP_CMP_MASKED_EQ, static_cast<uint64_t>(advice),
                    0xffffffffu)});
  }
}

// Loads the list even where a rule could not be added: a missing rule only
// refuses one more call, so the process is no less confined, at worst kept
// from a call it needs. Unlike a frame's Landlock rule, which fails with
// what stands in the user's folder, a rule fails the same on every run of
// a build (an argument the library cannot compare there), where the tests
// find it. Whether the list is in force with all its rules.
bool LoadAndRelease(AllowList* list) {
  const bool loaded = seccomp_load(list->filter) == 0;
  seccomp_release(list->filter);
  return loaded && list->whole;
}

// What a decoder does once it has its picture: reads the picture, talks to
// the frame writer over its channel, takes and gives back memory, and ends.
// Whether the list is in force whole.
bool AllowDecoding(int picture, int channel) {
  AllowList list = NewAllowList();
  if (!list.filter) return false;
  for (const int fd : {picture, channel}) {
    Allow(&list, "read", {Argument(0, SCMP_CMP_EQ, fd)});
  }
  for (const char* name : {"write", "writev"}) {
    Allow(&list, name, {Argument(0, SCMP_CMP_EQ, channel)});
  }
  for (const char* name : {"lseek", "_llseek"}) {
    Allow(&list, name, {Argument(0, SCMP_CMP_EQ, picture)});
  }
  AllowMemory(&list);
  // The C library's once-only set-ups wait and wake through futex: the
  // first exception a process throws (no memory for a profile) sets up the
  // unwinder so, and refused, glibc ends the process instead.
  for (const char* name : {"futex", "futex_time64", "exit", "exit_group"}) {
    Allow(&list, name);
  }
  return LoadAndRelease(&list);
}

// What the frame writer does: the calls of its threads, its files, its
// memory and its decoders, and nothing of other processes or the system.
// Whether the list is in force whole.
bool AllowWritingFrames(const std::vector<pid_t>& decoders) {
  AllowList list = NewAllowList();
  if (!list.filter) return false;
  for (const char* name : {
           // Files: which ones, Landlock says.
           "read", "write", "pread64", "pwrite64", "openat", "open", "close",
           "lseek", "_llseek", "fstat", "fstat64", "newfstatat", "fstatat64",
           "statx", "lstat", "lstat64", "stat", "stat64", "faccessat",
           "faccessat2", "access", "rename", "renameat", "renameat2",
           "unlink", "unlinkat", "fchmod", "fchown", "fchown32", "fallocate",
           "ftruncate", "ftruncate64", "fstatfs", "fstatfs64",
           "sync_file_range", "sync_file_range2", "arm_sync_file_range",
           "fdatasync",
           // Threads, signals and time.
           "futex", "futex_time64", "set_robust_list", "rseq", "exit",
           "exit_group", "rt_sigaction", "rt_sigprocmask", "rt_sigreturn",
           "sigreturn", "sched_yield", "restart_syscall", "clock_gettime",
           "clock_gettime64", "clock_nanosleep", "clock_nanosleep_time64",
           "nanosleep", "gettimeofday",
           // This process's own state.
           "getpid", "gettid", "getuid", "getuid32", "geteuid", "geteuid32",
           "getgid", "getgid32", "getegid", "getegid32", "getpgrp",
           "getrandom",
           "sysinfo",
       }) {
    Allow(&list, name);
  }
  AllowMemory(&list);
  // Threads, not processes: CLONE_THREAD and no new namespace, in one
  // comparison, the library refusing two on one argument. CLONE_NEWTIME is
  // clone3's alone: in clone's flags its bit is the exit signal's. clone3's
  // flags sit in memory no filter can read; answered ENOSYS, the C library
  // falls back to clone.
  constexpr uint64_t kThread = CLONE_VM | CLONE_THREAD | CLONE_SIGHAND;
  constexpr uint64_t kNewNamespace =
      CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC |
      CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;
  Allow(&list, "clone",
        {Argument(0, SCMP_CMP_MASKED_EQ, kThread, kThread | kNewNamespace)});
  const uint64_t self = static_cast<uint64_t>(getpid());
  Allow(&list, "tgkill", {Argument(0, SCMP_CMP_EQ, self)});
  // A decoder's address-space limit is raised once its picture's head has
  // been checked; none of its other limits.
  for (const pid_t decoder : decoders) {
    if (decoder > 0) {
      const scmp_arg_cmp pid =
          Argument(0, SCMP_CMP_EQ, static_cast<uint64_t>(decoder));
      Allow(&list, "kill", {pid});
      Allow(&list, "prlimit64", {pid, Argument(1, SCMP_CMP_EQ, RLIMIT_AS)});
    }
  }
  for (const char* name : {"wait4", "waitpid", "waitid"}) Allow(&list, name);
  for (const char* name : {"prlimit64", "sched_getaffinity"}) {
    Allow(&list, name, {Argument(0, SCMP_CMP_EQ, 0)});
  }
  for (const char* name : {"getrlimit", "ugetrlimit"}) Allow(&list, name);
  // Where the C library asks for its own process group so (arm64 has no
  // getpgrp).
  Allow(&list, "getpgid", {Argument(0, SCMP_CMP_EQ, 0)});
  // Whether standard output is a terminal, for its buffering, and whose
  // job its foreground is, for the progress line: the command is compared
  // on its low 32 bits, the ones the kernel reads.
  for (const unsigned long command : {TCGETS, TIOCGPGRP}) {
    Allow(&list, "ioctl",
          {Argument(1, SCMP_CMP_MASKED_EQ, command, 0xffffffffu)});
  }
  for (const int command : {F_GETFD, F_SETFD, F_GETFL}) {
    for (const char* name : {"fcntl", "fcntl64"}) {
      Allow(&list, name, {Argument(1, SCMP_CMP_EQ, static_cast<uint64_t>(command))});
    }
  }
  return LoadAndRelease(&list);
}

// A decoder keeps nothing of root's where root started it: no capability
// (locking memory, reaching others' files and processes), none to regain
// by running a program; and, whoever started it, may lock no memory and
// leaves no core file of a crash. Best effort: emptying the bounding set
// needs CAP_SETPCAP, so it comes before the capabilities themselves go, and
// an ordinary user has none to give up.
void GiveUpPrivileges() {
  const rlimit none{0, 0};
  setrlimit(RLIMIT_MEMLOCK, &none);
  setrlimit(RLIMIT_CORE, &none);
  for (int capability = 0; prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0;
       ++capability) {
    prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
  }
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3]{};
  syscall(SYS_capset, &header, sets);
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

void CloseDescriptorsFrom(int first) {
  if (close_range(static_cast<unsigned>(first), ~0U, 0) == 0) return;
  // Linux before 5.9.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  for (rlim_t fd = first; fd < files.rlim_cur && fd < (1 << 20); ++fd) {
    close(static_cast<int>(fd));
  }
}

Confinement ConfineToFrames(const char* prefix, int alpha, int abi,
                            const std::vector<pid_t>& decoders) {
  if (kSanitized) return {};
  // Both Landlock and a filter need it from an unprivileged process; it also
  // keeps a set-user-ID program from gaining rights.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return {};
  const bool landlock = ConfineFileSystem(prefix, alpha, abi);
  return {true, landlock, AllowWritingFrames(decoders)};
}

Confinement ConfineDecoder(int picture, int channel, int abi) {
  if (kSanitized) return {};
  GiveUpPrivileges();
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return {};
  const int ruleset = MakeRuleset(abi, kScopeAbstractUnix | kScopeSignal);
  const bool landlock =
      ruleset >= 0 && syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
  if (ruleset >= 0) close(ruleset);
  return {true, landlock, AllowDecoding(picture, channel)};
}
