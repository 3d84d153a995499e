#include "confine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "frame_output.h"
#include "test_pictures.h"

namespace fs = std::filesystem;

namespace {

// `attempt` in a child confined to the frames `prefix`00.JPG to 03.JPG: 0
// where it was let through, else the errno that refused it.
int ConfinedErrno(const std::string& prefix,
                  const std::function<bool()>& attempt) {
  const pid_t pid = fork();
  if (pid == 0) {
    ConfineToFrames(prefix.c_str(), 4);
    errno = 0;
    _exit(attempt() ? 0 : errno ? errno : 255);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool Opens(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
  return fd >= 0 && close(fd) == 0;
}

TEST(ConfineToFrames, RefusesEveryEscapeAndLetsEveryFrameThrough) {
  const int abi = LandlockAbi();
  if (!ConfinesItself()) GTEST_SKIP() << "this build does not confine itself";
  const fs::path frames = MakeTempFolder(), elsewhere = MakeTempFolder();
  const std::string secret = elsewhere / "secret", prefix = frames / "f";
  WriteFileBytes(secret, "private");
  WriteFileBytes(prefix + "00.JPG", "an older frame");
  WriteFileBytes(frames / "beside", "private");
  fs::create_symlink("/dev/null", prefix + "01.JPG");
  fs::create_symlink(elsewhere / "target", prefix + "02.JPG");
  WriteFileBytes(elsewhere / "target", "linked");
  // A link to no file yet opens its folder for new files, and only that one.
  fs::create_directory(elsewhere / "later");
  fs::create_symlink(elsewhere / "later/fresh", prefix + "03.JPG");
  auto put = [&](int i) {
    return std::function<bool()>([&, i] {
      PutFrameInPlace("a frame", prefix.c_str(), i);
      return true;
    });
  };
  struct Row {
    const char* what;
    int abi;  // the Landlock ABI the row needs; 0: seccomp alone
    int refused_with;
    std::function<bool()> attempt;
  };
  const Row rows[] = {
      {"make a file elsewhere", 1, EACCES, [&] { return Opens(elsewhere / "new", O_WRONLY | O_CREAT); }},
      {"write a file elsewhere", 1, EACCES, [&] { return Opens(secret, O_WRONLY); }},
      {"truncate a file elsewhere", 3, EACCES, [&] { return truncate(secret.c_str(), 0) == 0; }},
      {"rename a file elsewhere", 1, EACCES, [&] { return rename(secret.c_str(), (elsewhere / "moved").c_str()) == 0; }},
      {"remove a file elsewhere", 1, EACCES, [&] { return unlink(secret.c_str()) == 0; }},
      {"read a file elsewhere", 1, EACCES, [&] { return Opens(secret, O_RDONLY); }},
      {"read a file beside the frames", 1, EACCES, [&] { return Opens(frames / "beside", O_RDONLY); }},
      {"run a program", 0, EPERM, [] { return execl("/bin/true", "true", nullptr) == 0; }},
      {"open a TCP socket", 0, EPERM, [] { return socket(AF_INET, SOCK_STREAM, 0) >= 0; }},
      {"open a UNIX socket", 0, EPERM, [] { return socket(AF_UNIX, SOCK_STREAM, 0) >= 0; }},
      {"signal the parent", 6, EPERM, [] { return kill(getppid(), 0) == 0; }},
      {"replace an older frame", 1, 0, put(0)},
      {"write through a link to /dev/null", 1, 0, put(1)},
      {"write through a link to a file elsewhere", 1, 0, put(2)},
      {"write through a link to no file yet", 1, 0, put(3)},
  };
  for (const Row& row : rows) {
    if (abi < row.abi) {
      std::printf("row \"%s\" skipped: the kernel's Landlock ABI is %d\n",
                  row.what, abi);
      continue;
    }
    EXPECT_EQ(ConfinedErrno(prefix, row.attempt), row.refused_with) << row.what;
  }
  EXPECT_EQ(ReadFileBytes(secret), "private");
  EXPECT_EQ(ReadFileBytes(elsewhere / "target"), "a frame");
  EXPECT_EQ(ReadFileBytes(elsewhere / "later/fresh"), "a frame");
  EXPECT_EQ(ReadFileBytes(prefix + "00.JPG"), "a frame");
  fs::remove_all(frames);
  fs::remove_all(elsewhere);
}

}  // namespace
