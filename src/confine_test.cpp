#include "confine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "decoder_child.h"
#include "frame_output.h"
#include "test_pictures.h"

namespace fs = std::filesystem;

namespace {

enum Process { kDecoder, kWriter, kBoth };

// `attempt` in a child confined as `process`, with the Landlock ABI `abi`:
// 0 where it was let through, else the errno that refused it. The writer's
// frames are `prefix`00.JPG to 03.JPG; the decoder reads `picture`.
int ConfinedErrno(Process process, int abi, const std::string& prefix,
                  const std::string& picture,
                  const std::function<bool()>& attempt) {
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    if (process == kDecoder) {
      int ends[2];
      socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
      DecoderStart start;
      start.picture = open(picture.c_str(), O_RDONLY);
      start.channel = ends[1];
      start.abi = abi;
      start.writer = parent;
      if (!EnterDecoder(start)) {
        _exit(254);
      }
    } else {
      KeepMountTable();
      ConfineToFrames(prefix.c_str(), 4, abi, {parent});
    }
    errno = 0;
    _exit(attempt() ? 0 : errno ? errno : 255);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What `process`, confined in a child with the Landlock ABI `abi`, says it
// put in force, one bit a part.
int Enforced(Process process, int abi, const std::string& prefix) {
  const pid_t pid = fork();
  if (pid == 0) {
    const Confinement got = process == kDecoder
                                ? ConfineDecoder(0, 1, abi)
                                : ConfineToFrames(prefix.c_str(), 4, abi, {});
    _exit(got.no_new_privileges | got.landlock << 1 | got.allow_list << 2);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts, through clone(2) itself, a thread that ends at once, with `flags`
// added to a thread's own: whether it started.
bool StartsThread(int flags) {
  alignas(16) static char stack[65536];
  return clone([](void*) { return 0; }, stack + sizeof stack,
               CLONE_VM | CLONE_THREAD | CLONE_SIGHAND | flags, nullptr) > 0;
}

bool Opens(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
  return fd >= 0 && close(fd) == 0;
}

// A terminal's input, typed into: the command's low 32 bits are what the
// kernel reads, so the high ones must not let it through.
bool TypesIntoTerminal(unsigned long high) {
  const char key = 'x';
  return ioctl(STDIN_FILENO, TIOCSTI | high, &key) == 0;
}

TEST(Confine, EachProcessIsRefusedEveryEscapeAndTheWriterWritesItsFrames) {
  if (!ConfinesItself()) GTEST_SKIP() << "this build does not confine itself";
  if (!SeccompHolds()) GTEST_SKIP() << "seccomp filters do not hold here";
  const fs::path frames = MakeTempFolder(), elsewhere = MakeTempFolder();
  const std::string secret = elsewhere / "secret", prefix = frames / "f";
  const std::string picture = frames / "picture.jpg";
  WriteFileBytes(picture, "a picture");
  WriteFileBytes(secret, "private");
  WriteFileBytes(prefix + "00.JPG", "an older frame");
  WriteFileBytes(frames / "beside", "private");
  fs::create_symlink("/dev/null", prefix + "01.JPG");
  fs::create_symlink(elsewhere / "target", prefix + "02.JPG");
  WriteFileBytes(elsewhere / "target", "linked");
  // A chain of links to no file yet: the frame is made where the last
  // link points, and that folder is opened to the writer.
  fs::create_directory(elsewhere / "later");
  fs::create_symlink(elsewhere / "hop", prefix + "03.JPG");
  fs::create_symlink(elsewhere / "later/fresh", elsewhere / "hop");
  // What the caller left open: a log the decoder must not reach, under a
  // number the decoder's own descriptors do not take.
  const int inherited =
      fcntl(open(secret.c_str(), O_WRONLY | O_APPEND), F_DUPFD, 100);
  auto put = [&](int i) {
    return std::function<bool()>([&, i] {
      PutFrameInPlace("a frame", prefix.c_str(), i);
      return true;
    });
  };
  // Refused by the allow list with ENOSYS, or, in the writer, for a row of
  // Landlock's, with EACCES. A process that does not exist, so that a call
  // the filter let through would fail with ESRCH, not ENOSYS.
  constexpr pid_t kNobody = 0x7fffffff;
  const pid_t decoder = getpid();  // the confined writer's, to ConfinedErrno
  struct Row {
    const char* what;
    Process process;
    int abi;  // the Landlock ABI the row needs in the writer; 0: none
    bool refused;
    std::function<bool()> attempt;
    int refused_with = 0;  // the errno refusing it where not the usual one
  };
  const Row rows[] = {
      {"read its picture", kDecoder, 0, false, [] { char c; return read(3, &c, 1) == 1; }},
      {"write a file beside the frames", kDecoder, 0, true, [&] { return Opens(frames / "beside", O_WRONLY); }},
      {"read a file beside the frames", kBoth, 1, true, [&] { return Opens(frames / "beside", O_RDONLY); }},
      {"make a file elsewhere", kBoth, 1, true, [&] { return Opens(elsewhere / "new", O_WRONLY | O_CREAT); }},
      {"write a file elsewhere", kBoth, 1, true, [&] { return Opens(secret, O_WRONLY); }},
      {"read a file elsewhere", kBoth, 1, true, [&] { return Opens(secret, O_RDONLY); }},
      {"rename a file elsewhere", kBoth, 1, true, [&] { return rename(secret.c_str(), (elsewhere / "moved").c_str()) == 0; }},
      {"remove a file elsewhere", kBoth, 1, true, [&] { return unlink(secret.c_str()) == 0; }},
      {"truncate a file by its path", kBoth, 0, true, [&] { return truncate(secret.c_str(), 0) == 0; }},
      {"write an inherited descriptor", kDecoder, 0, true, [&] { return write(inherited, "x", 1) == 1; }},
      {"chmod a file", kBoth, 0, true, [&] { return chmod(secret.c_str(), 0666) == 0; }},
      {"chown a file", kBoth, 0, true, [&] { return chown(secret.c_str(), 0, 0) == 0; }},
      {"chown through an O_PATH descriptor", kBoth, 0, true, [&] { return fchownat(open(secret.c_str(), O_PATH), "", 0, 0, AT_EMPTY_PATH) == 0; }},
      {"set an extended attribute", kBoth, 0, true, [&] { return setxattr(secret.c_str(), "user.x", "1", 1, 0) == 0; }},
      {"set a file's times", kBoth, 0, true, [&] { return utimes(secret.c_str(), nullptr) == 0; }},
      {"type into the terminal", kBoth, 0, true, [] { return TypesIntoTerminal(0); }},
      {"type into the terminal, bit 32 set", kBoth, 0, true, [] { return TypesIntoTerminal(1ul << 32); }},
      {"start a process", kBoth, 0, true, [] { return syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0) >= 0; }},
      {"clone into a new user namespace", kBoth, 0, true, [] { return syscall(SYS_clone, CLONE_NEWUSER | SIGCHLD, 0, 0, 0, 0) >= 0; }},
      {"start a thread through clone", kWriter, 0, false, [] { return StartsThread(0); }},
      {"start a thread in a new network namespace", kBoth, 0, true, [] { return StartsThread(CLONE_NEWNET); }},
      {"start a thread in new mount, UTS and IPC namespaces", kBoth, 0, true, [] { return StartsThread(CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC); }},
      {"start a session", kBoth, 0, true, [] { return setsid() >= 0; }},
      {"run a program", kBoth, 0, true, [] { return execl("/bin/true", "true", nullptr) == 0; }},
      {"open a TCP socket", kBoth, 0, true, [] { return socket(AF_INET, SOCK_STREAM, 0) >= 0; }},
      {"open a UNIX socket", kBoth, 0, true, [] { return socket(AF_UNIX, SOCK_STREAM, 0) >= 0; }},
      {"signal the writer", kDecoder, 0, true, [] { return kill(getppid(), 0) == 0; }},
      {"signal another process", kBoth, 0, true, [] { return kill(kNobody, 0) == 0; }},
      {"ask SIGIO for another process", kBoth, 0, true, [] { return fcntl(0, F_SETOWN, kNobody) == 0; }},
      {"limits of another process", kBoth, 0, true, [] { return prlimit(kNobody, RLIMIT_NOFILE, nullptr, nullptr) == 0; }},
      {"a decoder's address-space limit", kWriter, 0, false, [&] { return prlimit(decoder, RLIMIT_AS, nullptr, nullptr) == 0; }},
      {"another limit of a decoder", kWriter, 0, true, [&] { return prlimit(decoder, RLIMIT_NOFILE, nullptr, nullptr) == 0; }},
      {"priority of another process", kBoth, 0, true, [] { return setpriority(PRIO_PROCESS, kNobody, 0) == 0; }},
      {"CPUs of another process", kBoth, 0, true, [] { cpu_set_t set; CPU_ZERO(&set); return sched_setaffinity(kNobody, sizeof set, &set) == 0; }},
      {"SysV shared memory", kBoth, 0, true, [] { return shmget(IPC_PRIVATE, 0, 0600) >= 0; }},
      {"read another process's memory", kBoth, 0, true, [] { return syscall(SYS_process_vm_readv, kNobody, nullptr, 0, nullptr, 0, 0) >= 0; }},
      {"executable memory", kBoth, 0, true, [] { return mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED; }},
      {"give memory back", kBoth, 0, false, [] { return madvise(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0), 4096, MADV_DONTNEED) == 0; }},
      // Of no length: let through, it would poison nothing and answer 0.
      {"poison a page", kBoth, 0, true, [] { return madvise(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0), 0, MADV_HWPOISON) == 0; }},
      // A capability kept (CAP_IPC_LOCK) or a locked-memory limit would do.
      {"lock memory", kDecoder, 0, true, [] { return mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_LOCKED, -1, 0) != MAP_FAILED; }, EPERM},
      {"ask a file's seals", kBoth, 0, true, [] { return fcntl(0, F_GET_SEALS) >= 0; }},
      {"reboot (a wrong magic)", kBoth, 0, true, [] { return syscall(SYS_reboot, 0, 0, 0, nullptr) == 0; }},
      {"load a module (none given)", kBoth, 0, true, [] { return syscall(SYS_init_module, nullptr, 0, "") == 0; }},
      {"profile another process", kBoth, 0, true, [] { return syscall(SYS_perf_event_open, nullptr, kNobody, -1, -1, 0) >= 0; }},
      {"set the host name (too long)", kBoth, 0, true, [] { static char name[1000]; return sethostname(name, sizeof name) == 0; }},
      {"start a thread", kWriter, 0, false, [] { std::thread([] {}).join(); return true; }},
      {"replace an older frame", kWriter, 1, false, put(0)},
      {"write through a link to /dev/null", kWriter, 1, false, put(1)},
      {"write through a link to a file elsewhere", kWriter, 1, false, put(2)},
      {"write through a chain of links to no file yet", kWriter, 1, false, put(3)},
  };
  std::vector<int> abis{LandlockAbi()};
  for (const int seen : {6, 2, 0}) {
    if (seen < abis[0]) abis.push_back(seen);
  }
  for (const int abi : abis) {
    for (const Process process : {kDecoder, kWriter}) {
      EXPECT_EQ(Enforced(process, abi, prefix), abi > 0 ? 0b111 : 0b101)
          << (process == kDecoder ? "decoder" : "writer") << ", ABI " << abi;
    }
    for (const Row& row : rows) {
      for (const Process process : {kDecoder, kWriter}) {
        if (row.process != kBoth && row.process != process) continue;
        // Landlock's rows alone rely on it in the writer; the decoder's
        // allow list refuses them whatever the kernel's Landlock.
        if (process == kWriter && abi < row.abi) continue;
        const int expected = !row.refused ? 0
                             : row.refused_with ? row.refused_with
                             : process == kWriter && row.abi > 0 ? EACCES
                                                                  : ENOSYS;
        EXPECT_EQ(ConfinedErrno(process, abi, prefix, picture, row.attempt),
                  expected)
            << (process == kDecoder ? "decoder" : "writer") << ", ABI " << abi
            << ": " << row.what;
      }
    }
  }
  close(inherited);
  EXPECT_EQ(ReadFileBytes(secret), "private");
  EXPECT_EQ(ReadFileBytes(elsewhere / "target"), "a frame");
  EXPECT_EQ(ReadFileBytes(elsewhere / "later/fresh"), "a frame");
  EXPECT_EQ(ReadFileBytes(prefix + "00.JPG"), "a frame");
  fs::remove_all(frames);
  fs::remove_all(elsewhere);
}

}  // namespace
