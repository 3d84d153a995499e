// End-to-end: runs the built jpegfade in a fresh folder and checks what it
// prints, its status and every file it leaves, byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "jpeg_writer.h"
#include "test_pictures.h"

namespace fs = std::filesystem;

namespace {

struct Limits {
  rlim_t file_size = RLIM_INFINITY;
  rlim_t address_space = RLIM_INFINITY;
  std::string cgroup = "";  // a cgroup folder to run in
  rlim_t data_size = RLIM_INFINITY;
  uid_t user = 0;            // run as this user when the tests run as root
  bool reader_gone = false;  // nobody reads standard output
  const char* program = JPEGFADE_EXECUTABLE;
  int cpus = 0;  // run on only this many of the CPUs allowed; 0: on all
};

// Keeps the calling process to the first `cpus` of the CPUs it may use.
void KeepToCpus(int cpus) {
  cpu_set_t allowed, kept;
  if (cpus <= 0 || sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  CPU_ZERO(&kept);
  for (int cpu = 0, left = cpus; cpu < CPU_SETSIZE && left > 0; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) {
      CPU_SET(cpu, &kept);
      --left;
    }
  }
  sched_setaffinity(0, sizeof kept, &kept);
}

struct Outcome {
  std::string out;       // standard output
  int status;            // exit status, or 128 + signal
  long max_rss = 0;      // peak resident memory, KiB
  std::string err = "";  // standard error
};

// A run under way.
struct Child {
  pid_t pid;
  int out_fd;  // read end of its standard output
  int err_fd;  // a memory file that holds its standard error
};

void SetLimit(int resource, rlim_t value) {
  if (value == RLIM_INFINITY) return;
  const rlimit limit{value, value};
  setrlimit(resource, &limit);
}

Child StartIn(const fs::path& dir, const std::vector<std::string>& args,
              const Limits& limits) {
  const std::vector<std::string> command = ToolCommand(limits.program, args);
  std::vector<char*> argv;
  for (const std::string& arg : command)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {-1, -1, -1};
  const int err_fd = memfd_create("stderr", 0);
  if (limits.reader_gone) close(pipe_fds[0]);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    close(pipe_fds[1]);
    if (!limits.reader_gone) close(pipe_fds[0]);
    if (chdir(dir.c_str()) != 0) _exit(126);
    SetLimit(RLIMIT_FSIZE, limits.file_size);
    SetLimit(RLIMIT_AS, limits.address_space);
    SetLimit(RLIMIT_DATA, limits.data_size);
    KeepToCpus(limits.cpus);
    if (!limits.cgroup.empty()) {
      FILE* procs = std::fopen((limits.cgroup + "/cgroup.procs").c_str(), "w");
      if (!procs || std::fputs("0\n", procs) < 0 || std::fclose(procs) != 0) {
        _exit(125);  // the cgroup cannot be joined here
      }
    }
    if (limits.user != 0 && getuid() == 0 &&
        (setgid(limits.user) != 0 || setuid(limits.user) != 0)) {
      _exit(124);
    }
    signal(SIGXFSZ, SIG_DFL);  // the tool must not rely on inheriting SIG_IGN
    signal(SIGPIPE, SIG_DFL);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  return {pid, limits.reader_gone ? -1 : pipe_fds[0], err_fd};
}

Outcome Finish(const Child& child) {
  Outcome outcome{"", -1};
  char buffer[4096];
  for (ssize_t n; child.out_fd >= 0 &&
                  (n = read(child.out_fd, buffer, sizeof buffer)) > 0;) {
    outcome.out.append(buffer, n);
  }
  if (child.out_fd >= 0) close(child.out_fd);
  int status = 0;
  rusage usage{};
  wait4(child.pid, &status, 0, &usage);
  outcome.max_rss = usage.ru_maxrss;
  outcome.status =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  lseek(child.err_fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(child.err_fd, buffer, sizeof buffer)) > 0;) {
    outcome.err.append(buffer, n);
  }
  close(child.err_fd);
  return outcome;
}

Outcome RunIn(const fs::path& dir, const std::vector<std::string>& args,
              Limits limits = {}) {
  return Finish(StartIn(dir, args, limits));
}

// Standard error holds only whole lines of the tool's own, so that a
// script's grep on `2>&1` finds the failure line at the start of a line.
void ExpectToolLinesOnly(const std::string& err, const std::string& context) {
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.rfind("jpegfade: ", 0) == 0 ||
                line ==
                    "usage: jpegfade FIRST SECOND PREFIX ALPHA (see man "
                    "jpegfade)")
        << context << ": " << line;
  }
  EXPECT_TRUE(err.empty() || err.back() == '\n') << context << ": " << err;
}

// `jpeg` with more than 32 MiB of comment segments before its frame header,
// as a picture with a large embedded profile or preview may have.
std::string WithComments(const std::string& jpeg) {
  const std::string comment =
      std::string("\xff\xfe\xff\xff", 4) + std::string(0xffff - 2, 'c');
  std::string out = jpeg.substr(0, 2);
  for (int i = 0; i < 520; ++i) out += comment;
  return out + jpeg.substr(2);
}

std::string Args(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += " '" + arg + "'";
  return text;
}

class JpegfadeTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempFolder();
    ASSERT_FALSE(dir_.empty());
    SaveJpeg(MakeTrueColorPicture(40, 30, 1).get(), Path("a.jpg"));
    SaveJpeg(MakeTrueColorPicture(40, 30, 2).get(), Path("b.jpg"));
    SaveJpeg(MakeTrueColorPicture(30, 40, 3).get(), Path("tall.jpg"));
    SaveJpeg(MakeTrueColorPicture(40, 20, 4).get(), Path("short.jpg"));
    WriteFileBytes(Path("text.jpg"), "not a picture\n");
    WriteFileBytes(Path("empty.jpg"), "");
    fs::create_directory(dir_ / "folder.jpg");
    first_ = LoadJpeg(Path("a.jpg"));
    second_ = LoadJpeg(Path("b.jpg"));
    ASSERT_TRUE(first_ && second_);
    before_ = Listing();
  }

  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ / name; }

  // Every path under the folder, relative to it.
  std::set<std::string> Listing() const {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
      names.insert(entry.path().lexically_relative(dir_).string());
    }
    return names;
  }

  // What the run left that was not there before it.
  std::set<std::string> NewFiles() const {
    std::set<std::string> added;
    for (const std::string& name : Listing()) {
      if (!before_.count(name)) added.insert(name);
    }
    return added;
  }

  // Frame i of alpha, computed here from the decoded pictures and encoded in
  // this process.
  static std::string ExpectedFrame(gdImagePtr first, gdImagePtr second, int i,
                                   int alpha) {
    const int width = gdImageSX(first), height = gdImageSY(first);
    const double t = ReferenceWeight(i, alpha);
    Image canvas(gdImageCreateTrueColor(width, height));
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const int c1 = first->tpixels[y][x], c2 = second->tpixels[y][x];
        canvas->tpixels[y][x] = gdTrueColor(
            ReferenceMix(gdTrueColorGetRed(c1), gdTrueColorGetRed(c2), t),
            ReferenceMix(gdTrueColorGetGreen(c1), gdTrueColorGetGreen(c2), t),
            ReferenceMix(gdTrueColorGetBlue(c1), gdTrueColorGetBlue(c2), t));
      }
    }
    return EncodeJpeg(canvas.get());
  }

  void ExpectFrame(const std::string& name, int i, int alpha) const {
    EXPECT_TRUE(ReadFileBytes(Path(name)) ==
                ExpectedFrame(first_.get(), second_.get(), i, alpha))
        << name << " is not frame " << i << " of " << alpha;
  }

  fs::path dir_;
  Image first_, second_;
  std::set<std::string> before_;
};

TEST_F(JpegfadeTest, EachFailurePrintsItsLineInOrderAndWritesNothing) {
  const std::string kArgument = "argument error\n";
  const std::string kMissing = "missing alpha, input correctly\n";
  const std::string kRange = "alpha out of range, input correctly\n";
  const std::string kSize =
      "Input has different size, please input images have same size\n";
  struct Row {
    std::vector<std::string> args;
    std::string out;
    bool reader_gone = false;  // the line is lost, but the status stays
    std::string reason = "";   // the system's reason, on standard error
  };
  const Row rows[] = {
      {{}, kArgument},
      {{}, "", true},
      {{"a.jpg"}, kArgument},
      {{"a.jpg", "b.jpg"}, kArgument},
      {{"a.jpg", "a.jpg", "p", "3"}, kArgument},
      {{"a.jpg", "b.jpg", "a.jpg", "3"}, kArgument},
      {{"a.jpg", "b.jpg", "b.jpg", "3"}, kArgument},
      {{"none.jpg", "none.jpg", "p", "3"}, kArgument},  // before any open
      {{"", "", "p", "3"}, kArgument},
      {{"none.jpg", "b.jpg", "p", "3"},
       "file open error for none.jpg\n",
       false,
       "jpegfade: none.jpg: No such file or directory\n"},
      {{"a.jpg", "none.jpg", "p", "3"}, "file open error for none.jpg\n"},
      {{"none1.jpg", "none2.jpg", "p"}, "file open error for none1.jpg\n"},
      {{"", "b.jpg", "p", "3"}, "file open error for \n"},
      {{"a.jpg", "", "p", "3"}, "file open error for \n"},
      {{"a\nb.jpg", "b.jpg", "p", "3"}, "file open error for a\\nb.jpg\n"},
      {{"a.jpg", "\t\x1b[1m\x7f\r.jpg", "p", "3"},
       "file open error for \\t\\x1b[1m\\x7f\\r.jpg\n"},
      {{"a.jpg", "b.jpg", "p"}, kMissing},
      {{"--help", "b.jpg", "p", "3"}, "file open error for --help\n"},
      {{"--version", "--help"}, kArgument},
      {{"text.jpg", "b.jpg", "p"}, kMissing},  // before any decoding
      {{"a.jpg", "b.jpg", "p", "2147483648"}, kRange},
      {{"a.jpg", "b.jpg", "p", "-2147483649"}, kRange},
      {{"a.jpg", "b.jpg", "p", "123456789012345678901234567890"}, kRange},
      {{"text.jpg", "b.jpg", "p", " 99999999999"}, kRange},
      {{"text.jpg", "b.jpg", "p", "3"}, "file decode error for text.jpg\n"},
      {{"a.jpg", "empty.jpg", "p", "3"}, "file decode error for empty.jpg\n"},
      {{"folder.jpg", "b.jpg", "p", "3"}, "file decode error for folder.jpg\n"},
      {{"a.jpg", "b.jpg/x", "p", "3"},
       "file open error for b.jpg/x\n",
       false,
       "jpegfade: b.jpg/x: Not a directory\n"},
      {{"text.jpg", "empty.jpg", "p", "3"}, "file decode error for text.jpg\n"},
      {{"a.jpg", "text.jpg", "p", "0"}, "file decode error for text.jpg\n"},
      {{"a.jpg", "tall.jpg", "p", "3"}, kSize},
      {{"a.jpg", "tall.jpg", "p", "3"}, "", true},
      {{"a.jpg", "short.jpg", "p", "3"}, kSize},
      {{"empty.jpg", "tall.jpg", "p", "3"},
       "file decode error for empty.jpg\n"},
  };
  for (const Row& row : rows) {
    Limits limits;
    limits.reader_gone = row.reader_gone;
    const Outcome outcome = RunIn(dir_, row.args, limits);
    EXPECT_EQ(outcome.out, row.out) << Args(row.args);
    EXPECT_EQ(outcome.status, 255) << Args(row.args);
    EXPECT_TRUE(NewFiles().empty()) << Args(row.args);
    ExpectToolLinesOnly(outcome.err, Args(row.args));
    EXPECT_NE(outcome.err.find(row.reason), std::string::npos)
        << Args(row.args) << ": " << outcome.err;
    // A person who typed the command wrong is shown how it goes.
    const bool usage = row.out == kArgument || row.out == kMissing ||
                       (row.reader_gone && row.args.empty());
    EXPECT_EQ(outcome.err.find("usage: jpegfade ") != std::string::npos, usage)
        << Args(row.args);
  }
}

TEST_F(JpegfadeTest, WritesExactlyTheFramesOfTheFade) {
  fs::create_directory(dir_ / "out");
  // A name far longer than any fixed buffer, in parts the system accepts.
  const std::string deep = std::string(200, 'd') + "/" + std::string(100, 'e');
  fs::create_directory(dir_ / std::string(200, 'd'));
  WriteFileBytes(Path("meta.jpg"), WithComments(ReadFileBytes(Path("a.jpg"))));
  before_ = Listing();
  struct Row {
    std::vector<std::string> args;
    std::string prefix;
    int frames;
  };
  const Row rows[] = {
      {{"a.jpg", "b.jpg", "fade", "3"}, "fade", 3},
      {{"meta.jpg", "b.jpg", "fade", "3"}, "fade", 3},  // a.jpg's pixels
      {{"a.jpg", "b.jpg", "fade", "1"}, "fade", 1},     // the second picture
      {{"a.jpg", "b.jpg", "fade", "12"}, "fade", 12},
      {{"a.jpg", "b.jpg", "fade", "12abc"}, "fade", 12},
      {{"a.jpg", "b.jpg", "fade", " 7"}, "fade", 7},
      {{"a.jpg", "b.jpg", "fade", "\t+2"}, "fade", 2},
      {{"a.jpg", "b.jpg", "fade", "2", "more", "args"}, "fade", 2},
      {{"a.jpg", "b.jpg", "out/fade_", "2"}, "out/fade_", 2},
      {{"a.jpg", "b.jpg", "f%d%s%n", "2"}, "f%d%s%n", 2},
      {{"a.jpg", "b.jpg", deep, "2"}, deep, 2},
      {{"a.jpg", "b.jpg", "fade", "0"}, "fade", 0},
      {{"a.jpg", "b.jpg", "fade", "-3"}, "fade", 0},
      {{"a.jpg", "b.jpg", "fade", "-2147483648"}, "fade", 0},
      {{"a.jpg", "b.jpg", "fade", "abc"}, "fade", 0},
      {{"a.jpg", "b.jpg", "fade", "0x5"}, "fade", 0},
      {{"a.jpg", "b.jpg", "fade", ""}, "fade", 0},
  };
  for (const Row& row : rows) {
    const Outcome outcome = RunIn(dir_, row.args);
    EXPECT_EQ(outcome.out, "") << Args(row.args);
    EXPECT_EQ(outcome.status, 0) << Args(row.args);
    EXPECT_EQ(outcome.err, "") << Args(row.args);
    std::set<std::string> expected;
    for (int i = 0; i < row.frames; ++i) {
      char number[16];
      std::snprintf(number, sizeof number, "%02d", i);
      const std::string name = row.prefix + number + ".JPG";
      expected.insert(name);
      ExpectFrame(name, i, row.frames);
    }
    EXPECT_EQ(NewFiles(), expected) << Args(row.args);
    for (const std::string& name : NewFiles()) fs::remove(Path(name));
  }
}

TEST_F(JpegfadeTest, AFrameMayReplaceAnInputPicture) {
  // Both pictures are decoded before the first frame overwrites one of them.
  fs::copy_file(Path("a.jpg"), Path("p00.JPG"));
  const Outcome outcome = RunIn(dir_, {"p00.JPG", "b.jpg", "p", "2"});
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.status, 0);
  ExpectFrame("p00.JPG", 0, 2);
  ExpectFrame("p01.JPG", 1, 2);
}

TEST_F(JpegfadeTest, DamagedOrHostileInputEndsInOneLineAndNoDamagedFrame) {
  const std::string a = ReadFileBytes(Path("a.jpg"));
  WriteFileBytes(Path("cut.jpg"), a.substr(0, a.size() / 2));
  WriteFileBytes(Path("soi.jpg"), "\xff\xd8");
  int png_size = 0;
  void* png = gdImagePngPtr(first_.get(), &png_size);
  WriteFileBytes(Path("png.jpg"),
                 std::string(static_cast<char*>(png), png_size));
  gdFree(png);
  // Nineteen bytes that claim 46000 x 46000 pixels: 24 GiB for the run.
  WriteFileBytes(Path("huge.jpg"),
                 std::string("\xff\xd8\xff\xc0\x00\x11\x08\xb3\xb0\xb3\xb0"
                             "\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01",
                             21));
  const std::string long_prefix(300, 'x');  // over the system's name limit
  before_ = Listing();
  const rlim_t k8GiB = rlim_t{8} << 30;
  struct Row {
    std::vector<std::string> args;
    std::string out;
    std::set<std::string> left = {};  // complete frames that stay
    std::string link = "";  // a frame name made to point at a full disk,
                            // which stays: it is the user's, not the run's
    rlim_t file_size = RLIM_INFINITY;
    rlim_t address_space = RLIM_INFINITY;
    std::string old = "";  // an older fade00.JPG, which a failure must keep
  };
  const std::vector<Row> rows = {
      {{"cut.jpg", "b.jpg", "p", "3"}, "file decode error for cut.jpg\n"},
      {{"a.jpg", "cut.jpg", "p", "3"}, "file decode error for cut.jpg\n"},
      {{"empty.jpg", "b.jpg", "p", "3"}, "file decode error for empty.jpg\n"},
      {{"text.jpg", "b.jpg", "p", "3"}, "file decode error for text.jpg\n"},
      {{"png.jpg", "b.jpg", "p", "3"}, "file decode error for png.jpg\n"},
      {{"a.jpg", "soi.jpg", "p", "3"}, "file decode error for soi.jpg\n"},
      {{"folder.jpg", "b.jpg", "p", "3"}, "file decode error for folder.jpg\n"},
      {{"huge.jpg", "text.jpg", "p", "3"},
       "out of memory for huge.jpg\n",
       {},
       "",
       RLIM_INFINITY,
       k8GiB},
      {{"a.jpg", "huge.jpg", "p", "3"},
       "out of memory for huge.jpg\n",
       {},
       "",
       RLIM_INFINITY,
       k8GiB},
      {{"a.jpg", "b.jpg", "nodir/f", "4"},
       "file write error for nodir/f00.JPG\n"},  // with the system's reason
      {{"a.jpg", "b.jpg", long_prefix, "4"},
       "file write error for " + long_prefix + "00.JPG\n"},
      {{"a.jpg", "b.jpg", "no\ndir/f", "4"},
       "file write error for no\\ndir/f00.JPG\n"},
      {{"a.jpg", "b.jpg", "fade", "4"},
       "file write error for fade00.JPG\n",
       {},
       "fade00.JPG"},
      {{"a.jpg", "b.jpg", "fade", "4"},
       "file write error for fade02.JPG\n",
       {"fade00.JPG", "fade01.JPG"},
       "fade02.JPG"},
      {{"a.jpg", "b.jpg", "fade", "4"},
       "file write error for fade00.JPG\n",
       {},
       "",
       100},
      {{"a.jpg", "b.jpg", "fade", "4"},
       "file write error for fade00.JPG\n",
       {},
       "",
       100,
       RLIM_INFINITY,
       "the user's older frame"},
  };
  const bool limits_hold = ResourceLimitHolds(RLIMIT_AS);
  for (const Row& row : rows) {
#ifdef JPEGFADE_UNDER_ASAN
    if (row.address_space != RLIM_INFINITY) continue;
#endif
    if (row.address_space != RLIM_INFINITY && !limits_hold) continue;
    if (!row.link.empty()) fs::create_symlink("/dev/full", dir_ / row.link);
    if (!row.old.empty()) WriteFileBytes(Path("fade00.JPG"), row.old);
    const Outcome outcome =
        RunIn(dir_, row.args, {row.file_size, row.address_space});
    EXPECT_EQ(outcome.out, row.out) << Args(row.args);
    EXPECT_EQ(outcome.status, 255) << Args(row.args);
    std::set<std::string> left = row.left;
    if (!row.link.empty()) {
      left.insert(row.link);
      EXPECT_TRUE(fs::is_symlink(dir_ / row.link)) << Args(row.args);
    }
    if (row.out == "file write error for nodir/f00.JPG\n") {
      EXPECT_EQ(outcome.err,
                "jpegfade: nodir/f00.JPG: No such file or directory\n");
    }
    if (!row.old.empty()) {
      left.insert("fade00.JPG");
      EXPECT_EQ(ReadFileBytes(Path("fade00.JPG")), row.old) << Args(row.args);
    }
    EXPECT_EQ(NewFiles(), left) << Args(row.args);
    for (const std::string& name : row.left) {
      ExpectFrame(name, std::stoi(name.substr(4, 2)), 4);  // fadeNN.JPG
    }
    ExpectToolLinesOnly(outcome.err, Args(row.args));
    for (const std::string& name : NewFiles()) fs::remove(Path(name));
  }
}

TEST_F(JpegfadeTest, AFileCutShortIsRefusedBeforeItIsDecoded) {
  // A few hundred bytes of a picture that claims 8192 x 8192 pixels: decoded,
  // the missing rows would be made grey, 256 MiB of them, before the end
  // showed the picture incomplete.
  std::string bytes = ReadFileBytes(Path("a.jpg"));
  const size_t frame = bytes.find("\xff\xc0");
  ASSERT_NE(frame, std::string::npos);
  bytes.replace(frame + 5, 4, std::string("\x20\x00\x20\x00", 4));
  WriteFileBytes(Path("cut.jpg"),
                 bytes.substr(0, bytes.find("\xff\xda") + 100));
  before_ = Listing();
  const Outcome outcome = RunIn(dir_, {"cut.jpg", "b.jpg", "p", "3"});
  EXPECT_EQ(outcome.out, "file decode error for cut.jpg\n");
  EXPECT_EQ(outcome.status, 255);
  EXPECT_LT(outcome.max_rss, 100 << 10) << "KiB";
}

TEST_F(JpegfadeTest, AMemoryLimitEndsTheRunWithItsLineNeverASignal) {
#ifdef JPEGFADE_UNDER_ASAN
  GTEST_SKIP() << "the address sanitizer's shadow needs more address space";
#endif
  if (!ResourceLimitHolds(RLIMIT_AS)) GTEST_SKIP() << "limits do not hold";
  // Limits from the least the tool starts under to more than the run needs,
  // so that some stop it before decoding, some partway and some not at all.
  SaveJpeg(MakeTrueColorPicture(2000, 2000, 5).get(), Path("big1.jpg"));
  SaveJpeg(MakeTrueColorPicture(2000, 2000, 6).get(), Path("big2.jpg"));
  before_ = Listing();
  const std::set<std::string> allowed = {"out of memory for big1.jpg\n",
                                         "out of memory for big2.jpg\n",
                                         "file decode error for big1.jpg\n",
                                         "file decode error for big2.jpg\n",
                                         "canvas create error\n",
                                         "file write error for p00.JPG\n"};
  const std::vector<std::string> args{"big1.jpg", "big2.jpg", "p", "1"};
  Limits limits;
  limits.address_space = 1 << 20;
  while (RunIn(dir_, {}, limits).out != "argument error\n") {
    limits.address_space += 4 << 20;
    ASSERT_LT(limits.address_space, rlim_t{1} << 30);
  }
  std::set<std::string> seen;
  for (Outcome outcome{"", 255}; outcome.status != 0;
       limits.address_space += 2 << 20) {
    outcome = RunIn(dir_, args, limits);
    const std::string limit =
        std::to_string(limits.address_space >> 20) + " MiB";
    seen.insert(outcome.out);
    if (outcome.status == 0) {
      EXPECT_EQ(outcome.out, "") << limit;
      EXPECT_EQ(NewFiles(), std::set<std::string>{"p00.JPG"}) << limit;
    } else {
      EXPECT_EQ(outcome.status, 255) << limit;
      EXPECT_TRUE(allowed.count(outcome.out)) << limit << ": " << outcome.out;
      EXPECT_TRUE(NewFiles().empty()) << limit;
    }
    for (const std::string& name : NewFiles()) fs::remove(Path(name));
    ASSERT_LT(limits.address_space, rlim_t{2} << 30);
  }
  // The size check itself, not only the allocator, must have stopped some.
  EXPECT_TRUE(seen.count("out of memory for big1.jpg\n"));
}

// A new memory cgroup below this process's own with `limit` bytes, or "" when
// this system does not let the tests make one.
std::string MakeMemoryCgroup(uint64_t limit) {
  std::ifstream in("/proc/self/cgroup");
  for (std::string line; std::getline(in, line);) {
    const size_t second = line.find(':', line.find(':') + 1);
    const std::string controllers =
        line.substr(line.find(':') + 1, second - line.find(':') - 1);
    const std::string path = line.substr(second + 1);
    std::string dir, limit_file;
    if (controllers.empty()) {
      dir = "/sys/fs/cgroup" + path, limit_file = "memory.max";
    } else if (controllers == "memory") {
      dir = "/sys/fs/cgroup/memory" + path,
      limit_file = "memory.limit_in_bytes";
    } else {
      continue;
    }
    dir += "/jpegfade-test-" + std::to_string(getpid());
    if (mkdir(dir.c_str(), 0755) != 0) continue;
    if (std::ofstream(dir + "/" + limit_file) << limit) return dir;
    rmdir(dir.c_str());
  }
  return "";
}

TEST_F(JpegfadeTest, ACgroupMemoryLimitIsHeld) {
  SaveJpeg(MakeTrueColorPicture(2000, 2000, 5).get(), Path("big1.jpg"));
  SaveJpeg(MakeTrueColorPicture(2000, 2000, 6).get(), Path("big2.jpg"));
  before_ = Listing();
  Limits limits;
  limits.cgroup = MakeMemoryCgroup(uint64_t{40} << 20);  // the run needs 46
  if (limits.cgroup.empty()) GTEST_SKIP() << "no memory cgroup to make here";
  const Outcome outcome =
      RunIn(dir_, {"big1.jpg", "big2.jpg", "p", "1"}, limits);
  const Outcome small = RunIn(dir_, {"a.jpg", "b.jpg", "p", "1"}, limits);
  rmdir(limits.cgroup.c_str());
  if (outcome.status == 125) GTEST_SKIP() << "the cgroup could not be joined";
  EXPECT_EQ(outcome.out, "out of memory for big1.jpg\n");
  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(small.out, "");
  EXPECT_EQ(small.status, 0);
}

TEST_F(JpegfadeTest, EveryKindOfPictureFadesExactly) {
  for (const JpegKind kind :
       {JpegKind::kGray, JpegKind::kProgressive, JpegKind::kCmyk,
        JpegKind::kRestarts, JpegKind::kArithmetic, JpegKind::kMetadata}) {
    const std::string kind_name = std::to_string(static_cast<int>(kind));
    WriteFileBytes(Path("k1.jpg"), WriteJpeg(kind, 33, 17, 1));
    WriteFileBytes(Path("k2.jpg"), WriteJpeg(JpegKind::kColor, 33, 17, 2));
    before_ = Listing();
    const Outcome outcome = RunIn(dir_, {"k1.jpg", "k2.jpg", "k", "3"});
    EXPECT_EQ(outcome.out, "") << kind_name;
    EXPECT_EQ(outcome.status, 0) << kind_name;
    const Image first = LoadJpeg(Path("k1.jpg"));
    const Image second = LoadJpeg(Path("k2.jpg"));
    for (int i = 0; i < 3; ++i) {
      const std::string name = "k0" + std::to_string(i) + ".JPG";
      EXPECT_TRUE(ReadFileBytes(Path(name)) ==
                  ExpectedFrame(first.get(), second.get(), i, 3))
          << kind_name << ": " << name;
      fs::remove(Path(name));
    }
  }
}

TEST_F(JpegfadeTest, FramesCarryTheOrientationAndProfileBothPicturesCarry) {
  // Phone pictures: an Exif orientation and a colour profile, which every
  // frame carries when both pictures carry the same; otherwise none of that
  // kind, with a line on standard error. The rest of each frame is the
  // encoder's output, byte for byte.
  std::string small(3000, '\0'), other(3000, '\0'), large(70000, '\0');
  for (size_t k = 0; k < large.size(); ++k) {
    large[k] = static_cast<char>(k * 7 + k / 251);
    if (k < small.size()) small[k] = static_cast<char>(k), other[k] = 'o';
  }
  // The minimal APP1 segment a frame carries: big-endian TIFF, IFD0 with
  // the one entry.
  auto exif = [](int orientation) {
    return std::string("Exif\0\0MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01",
                       24) +
           std::string(1, '\0') + static_cast<char>(orientation) +
           std::string(6, '\0');
  };
  const std::string none;
  auto differ = [](int a, int b) {
    return "jpegfade: the pictures carry different orientations (" +
           std::to_string(a) + " and " + std::to_string(b) +
           "); the frames carry none\n";
  };
  struct Row {
    int first, second;  // orientations; 0 for none
    const std::string &first_icc, &second_icc;
    int carried;  // the frames' orientation; 0 for none
    const std::string& icc;
    std::string err;
  };
  const Row rows[] = {
      {1, 1, none, none, 0, none, ""},
      {3, 3, none, none, 3, none, ""},
      {6, 6, none, none, 6, none, ""},
      {8, 8, none, none, 8, none, ""},
      {6, 1, none, none, 0, none, differ(6, 1)},
      {0, 6, none, none, 0, none, differ(1, 6)},
      {6, 6, small, small, 6, small, ""},
      {0, 0, large, large, 0, large, ""},  // in two chunks
      {0, 0, small, other, 0, none,
       "jpegfade: the pictures carry different colour profiles; the frames "
       "carry none\n"},
      {0, 0, small, none, 0, none,
       "jpegfade: only the first picture carries a colour profile; the "
       "frames carry none\n"},
  };
  for (const Row& row : rows) {
    const std::string what = std::to_string(row.first) + "/" +
                             std::to_string(row.second) + ", profiles " +
                             std::to_string(row.first_icc.size()) + "/" +
                             std::to_string(row.second_icc.size());
    WriteFileBytes(Path("s1.jpg"), WriteJpeg(JpegKind::kColor, 40, 30, 1,
                                             row.first, row.first_icc));
    WriteFileBytes(Path("s2.jpg"), WriteJpeg(JpegKind::kColor, 40, 30, 2,
                                             row.second, row.second_icc));
    const Outcome outcome = RunIn(dir_, {"s1.jpg", "s2.jpg", "s", "3"});
    EXPECT_EQ(outcome.out, "") << what;
    EXPECT_EQ(outcome.status, 0) << what;
    EXPECT_EQ(outcome.err, row.err) << what;
    const Image first = LoadJpeg(Path("s1.jpg"));
    const Image second = LoadJpeg(Path("s2.jpg"));
    for (int i = 0; i < 3; ++i) {
      const std::string frame =
          ReadFileBytes(Path("s0" + std::to_string(i) + ".JPG"));
      const Carried carried = ReadCarried(frame);
      EXPECT_EQ(carried.app1, row.carried ? std::vector<std::string>{exif(
                                                row.carried)}
                                          : std::vector<std::string>{})
          << what;
      EXPECT_TRUE(carried.icc == row.icc) << what;
      EXPECT_TRUE(WithoutApp1AndApp2(frame) ==
                  ExpectedFrame(first.get(), second.get(), i, 3))
          << what << ": frame " << i;
    }
  }
}

TEST_F(JpegfadeTest, EveryCpuCountGivesTheSameFramesInOrder) {
  // Workers make the frames in parallel and one writer puts them in place in
  // order: the frames are those of one CPU, byte for byte, and a failure
  // part way leaves the frames before it and none after it.
  const int allowed = static_cast<int>(std::thread::hardware_concurrency());
  WriteFileBytes(Path("k1.jpg"), WriteJpeg(JpegKind::kProgressive, 33, 17, 1));
  WriteFileBytes(Path("k2.jpg"), WriteJpeg(JpegKind::kGray, 33, 17, 2));
  WriteFileBytes(Path("t1.jpg"),
                 WriteJpeg(JpegKind::kColor, 40, 30, 1, 6, "a profile"));
  WriteFileBytes(Path("t2.jpg"),
                 WriteJpeg(JpegKind::kColor, 40, 30, 2, 6, "a profile"));
  SaveJpeg(MakeTrueColorPicture(301, 203, 7).get(), Path("m1.jpg"));
  SaveJpeg(MakeTrueColorPicture(301, 203, 8).get(), Path("m2.jpg"));
  before_ = Listing();
  const std::vector<std::string> pairs[] = {{"a.jpg", "b.jpg", "12"},
                                            {"k1.jpg", "k2.jpg", "5"},
                                            {"t1.jpg", "t2.jpg", "4"},
                                            {"m1.jpg", "m2.jpg", "13"}};
  for (const std::vector<std::string>& pair : pairs) {
    std::map<std::string, std::string> one_cpu;
    for (int cpus = 1; cpus <= 3; ++cpus) {
      if (cpus > allowed) {
        std::printf("%d CPUs here: no run on %d\n", allowed, cpus);
        continue;
      }
      Limits limits;
      limits.cpus = cpus;
      const Outcome outcome =
          RunIn(dir_, {pair[0], pair[1], "p", pair[2]}, limits);
      EXPECT_EQ(outcome.out, "") << pair[0] << " on " << cpus;
      EXPECT_EQ(outcome.status, 0) << pair[0] << " on " << cpus;
      std::map<std::string, std::string> frames;
      for (const std::string& name : NewFiles()) {
        frames[name] = ReadFileBytes(Path(name));
        fs::remove(Path(name));
      }
      EXPECT_EQ(frames.size(), static_cast<size_t>(std::stoi(pair[2])));
      if (cpus == 1) one_cpu = frames;
      EXPECT_TRUE(frames == one_cpu) << pair[0] << " on " << cpus << " CPUs";
    }
  }

  fs::create_symlink("/dev/full", Path("p02.JPG"));
  Limits limits;
  limits.cpus = 2;
  const Outcome outcome = RunIn(dir_, {"a.jpg", "b.jpg", "p", "6"}, limits);
  EXPECT_EQ(outcome.out, "file write error for p02.JPG\n");
  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(NewFiles(),
            (std::set<std::string>{"p00.JPG", "p01.JPG", "p02.JPG"}));
  ExpectFrame("p00.JPG", 0, 6);
  ExpectFrame("p01.JPG", 1, 6);
  EXPECT_TRUE(fs::is_symlink(Path("p02.JPG")));
  ExpectToolLinesOnly(outcome.err, "a failure on 2 CPUs");
}

// Writes `bytes` into the FIFO at `path` from a child process; its pid.
pid_t FeedFifo(const std::string& path, const std::string& bytes) {
  const pid_t writer = fork();
  if (writer == 0) {
    signal(SIGPIPE, SIG_IGN);  // the reader may stop early
    FILE* out = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    _exit(std::fclose(out) == 0 ? 0 : 1);
  }
  return writer;
}

TEST_F(JpegfadeTest, APictureMayComeThroughAPipe) {
  // As from `jpegfade <(curl ...) ...`: a stream that cannot be rewound, so
  // what comes before the frame header is kept, up to 32 MiB.
  ASSERT_EQ(mkfifo(Path("pipe.jpg").c_str(), 0600), 0);
  before_ = Listing();
  const std::string a = ReadFileBytes(Path("a.jpg"));
  struct Row {
    std::string bytes;
    std::string out;
  };
  const Row rows[] = {
      {a, ""},
      {WithComments(a), "file decode error for pipe.jpg\n"},
  };
  for (const Row& row : rows) {
    const pid_t writer = FeedFifo(Path("pipe.jpg"), row.bytes);
    const Outcome outcome = RunIn(dir_, {"pipe.jpg", "b.jpg", "p", "2"});
    waitpid(writer, nullptr, 0);
    EXPECT_EQ(outcome.out, row.out);
    EXPECT_EQ(outcome.status, row.out.empty() ? 0 : 255);
    if (row.out.empty()) {
      ExpectFrame("p00.JPG", 0, 2);
      ExpectFrame("p01.JPG", 1, 2);
    }
    for (const std::string& name : NewFiles()) fs::remove(Path(name));
  }
}

TEST_F(JpegfadeTest, WhatStandsUnderAFrameNameIsWrittenThroughReplacedOrKept) {
  // A FIFO read by a video encoder, a link to /dev/null: written through and
  // left what they are. A regular file: replaced whole by a rename, keeping
  // its mode and owner, unless the user may not write it. In a folder that
  // takes no new file, a writable frame is written in place, and emptied if
  // that fails. Some rows run as an ordinary user, since root writes any file
  // and creates files in any folder.
  const passwd* nobody = getpwnam("nobody");
  ASSERT_TRUE(nobody);
  const bool root = getuid() == 0;
  const std::string frame0 = ExpectedFrame(first_.get(), second_.get(), 0, 2);
  // The tool where that user may run it, outside the folder under test.
  const fs::path bin = MakeTempFolder();
  fs::copy_file(JPEGFADE_EXECUTABLE, bin / "jpegfade");
  fs::permissions(
      bin, fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
  fs::permissions(dir_, fs::perms::all);
  const std::string tool = bin / "jpegfade";
  const mode_t mask = umask(0);
  umask(mask);
  const std::string older = "an older frame";
  auto mode = [&](const std::string& name) {
    struct stat info {};
    stat(Path(name).c_str(), &info);
    return info.st_mode & 07777;
  };
  enum Kind {
    kFifo,
    kNullLink,
    kWriteOnly,
    kKeptModeAndOwner,
    kReadOnly,
    kFolderNotWritable,
    kFolderNotWritableFull,
  };
  for (const Kind kind : {kFifo, kNullLink, kWriteOnly, kKeptModeAndOwner,
                          kReadOnly, kFolderNotWritable, kFolderNotWritableFull}) {
    SCOPED_TRACE(kind);
    pid_t reader = -1;
    Limits limits;
    std::string prefix = "f", out = "";
    std::vector<std::string> theirs;  // files the ordinary user must own
    switch (kind) {
      case kFifo:
        ASSERT_EQ(mkfifo(Path("f00.JPG").c_str(), 0600), 0);
        reader = fork();
        if (reader == 0) {
          _exit(ReadFileBytes(Path("f00.JPG")) == frame0 ? 0 : 1);
        }
        break;
      case kNullLink:
        fs::create_symlink("/dev/null", Path("f01.JPG"));
        break;
      case kWriteOnly:
        WriteFileBytes(Path("f00.JPG"), older);
        ASSERT_EQ(chmod(Path("f00.JPG").c_str(), 0200), 0);
        theirs = {"f00.JPG"};
        break;
      case kKeptModeAndOwner:
        WriteFileBytes(Path("f00.JPG"), older);
        ASSERT_EQ(chmod(Path("f00.JPG").c_str(), 0640), 0);
        if (root) {
          ASSERT_EQ(chown(Path("f00.JPG").c_str(), nobody->pw_uid,
                          nobody->pw_gid),
                    0);
        }
        break;
      case kReadOnly:
        WriteFileBytes(Path("f00.JPG"), older);
        ASSERT_EQ(chmod(Path("f00.JPG").c_str(), 0444), 0);
        out = "file write error for f00.JPG\n";
        limits.user = nobody->pw_uid;
        break;
      case kFolderNotWritable:
      case kFolderNotWritableFull:
        fs::create_directory(Path("ro"));
        WriteFileBytes(Path("ro/f00.JPG"), older);
        WriteFileBytes(Path("ro/f01.JPG"), older);
        ASSERT_EQ(chmod(Path("ro").c_str(), 0555), 0);
        theirs = {"ro/f00.JPG", "ro/f01.JPG"};
        prefix = "ro/f";
        if (kind == kFolderNotWritableFull) {
          limits.file_size = 100;
          out = "file write error for ro/f00.JPG\n";
        }
        break;
    }
    if (!theirs.empty()) limits.user = nobody->pw_uid;
    for (const std::string& name : theirs) {
      if (root) {
        ASSERT_EQ(chown(Path(name).c_str(), nobody->pw_uid, -1), 0);
      }
    }
    if (limits.user != 0 && root) limits.program = tool.c_str();
    const Outcome outcome =
        RunIn(dir_, {"a.jpg", "b.jpg", prefix, "2"}, limits);
    EXPECT_EQ(outcome.out, out);
    EXPECT_EQ(outcome.status, out.empty() ? 0 : 255);
    for (const std::string& name : Listing()) {
      EXPECT_EQ(fs::path(name).filename().string().rfind(".jpegfade-", 0),
                std::string::npos)
          << "a temporary file is left: " << name;
    }
    switch (kind) {
      case kFifo: {
        int status = -1;
        waitpid(reader, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "the FIFO's reader did not get frame 0";
        EXPECT_EQ(fs::status(Path("f00.JPG")).type(), fs::file_type::fifo);
        break;
      }
      case kNullLink:
        EXPECT_TRUE(fs::is_symlink(Path("f01.JPG")));
        break;
      case kWriteOnly:
        EXPECT_EQ(mode("f00.JPG"), 0200u);
        // Its owner (or root) may read it once it is readable again.
        ASSERT_EQ(chmod(Path("f00.JPG").c_str(), 0600), 0);
        break;
      case kKeptModeAndOwner: {
        EXPECT_EQ(mode("f00.JPG"), 0640u);
        struct stat info {};
        stat(Path("f00.JPG").c_str(), &info);
        if (root) {
          EXPECT_EQ(info.st_uid, nobody->pw_uid);
        }
        break;
      }
      case kReadOnly:
        EXPECT_EQ(ReadFileBytes(Path("f00.JPG")), older);
        EXPECT_FALSE(fs::exists(Path("f01.JPG")));
        break;
      case kFolderNotWritable:
        ExpectFrame("ro/f00.JPG", 0, 2);
        ExpectFrame("ro/f01.JPG", 1, 2);
        break;
      case kFolderNotWritableFull:
        // Neither removable nor left half-written: emptied.
        EXPECT_EQ(ReadFileBytes(Path("ro/f00.JPG")), "");
        EXPECT_EQ(ReadFileBytes(Path("ro/f01.JPG")), older);
        break;
    }
    if (kind != kFifo && kind < kReadOnly) ExpectFrame("f00.JPG", 0, 2);
    if (kind != kNullLink && kind < kReadOnly) {
      ExpectFrame("f01.JPG", 1, 2);
      EXPECT_EQ(mode("f01.JPG"), 0666u & ~mask) << "a new frame's mode";
    }
    if (fs::exists(Path("ro"))) chmod(Path("ro").c_str(), 0755);
    for (const std::string& name : NewFiles()) fs::remove_all(Path(name));
  }
  fs::remove_all(bin);
}

// Names of the temporary files in `dir`.
std::vector<std::string> Temporaries(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    const std::string name = entry.path().filename();
    if (name.rfind(".jpegfade-", 0) == 0) names.push_back(name);
  }
  return names;
}

TEST_F(JpegfadeTest, HoweverARunEndsEveryFrameLeftIsWhole) {
  // Pictures large enough that a frame takes a while to make: the run is
  // ended once frame 0 is in place, while frame 1 is made (on one CPU, in
  // its temporary file; on more, in a worker or its temporary file).
  // timeout(1) and two quick Ctrl-C send a signal twice; SIGKILL cannot be
  // handled, and may leave its temporary file, never a damaged frame.
  SaveJpeg(MakeTrueColorPicture(2000, 2000, 5).get(), Path("big1.jpg"));
  SaveJpeg(MakeTrueColorPicture(2000, 2000, 6).get(), Path("big2.jpg"));
  const Image first = LoadJpeg(Path("big1.jpg"));
  const Image second = LoadJpeg(Path("big2.jpg"));
  std::vector<std::string> frames, reversed;
  for (int i = 0; i < 3; ++i) {
    frames.push_back(ExpectedFrame(first.get(), second.get(), i, 3));
    reversed.push_back(ExpectedFrame(second.get(), first.get(), i, 3));
  }
  before_ = Listing();
  const std::vector<std::string> args = {"big1.jpg", "big2.jpg", "f", "3"};
  // On all CPUs (workers make the frames, this thread writes them), and
  // once on one.
  const std::pair<int, int> endings[] = {
      {SIGINT, 0}, {SIGTERM, 0}, {SIGHUP, 0}, {SIGKILL, 0}, {SIGTERM, 1}};
  for (const auto& [signal, cpus] : endings) {
    Limits limits;
    limits.cpus = cpus;
    bool hit = false;
    for (int attempt = 0; attempt < 20 && !hit; ++attempt) {
      const Child child = StartIn(dir_, args, limits);
      for (int wait = 0; wait < 100000; ++wait) {
        if (fs::exists(Path("f00.JPG"))) break;
        usleep(100);
      }
      kill(child.pid, signal);
      if (signal != SIGKILL) kill(child.pid, signal);
      const Outcome outcome = Finish(child);
      if (outcome.status != 0) {
        EXPECT_EQ(outcome.status, 128 + signal);
      }
      // Whatever is under a frame's name is whole: frame 0 always, frame 1
      // only if it was in place before the signal came.
      for (const std::string& name : NewFiles()) {
        if (name.rfind(".jpegfade-", 0) == 0) continue;
        const int i = name[2] - '0';
        EXPECT_TRUE(ReadFileBytes(Path(name)) == frames[i])
            << name << " is damaged after signal " << signal;
      }
      EXPECT_TRUE(NewFiles().count("f00.JPG")) << signal;
      EXPECT_LE(Temporaries(dir_).size(), signal == SIGKILL ? 1u : 0u)
          << signal;
      hit = outcome.status == 128 + signal && !NewFiles().count("f01.JPG");
      for (const std::string& name : NewFiles()) fs::remove(Path(name));
    }
    EXPECT_TRUE(hit) << "no run on " << cpus << " CPUs was stopped by signal "
                     << signal << " in the middle of a frame";
  }

  // Two runs into one prefix at once, one fading each way: every frame is
  // whole, one run's or the other's.
  const Child one = StartIn(dir_, args, {});
  const Child other = StartIn(dir_, {"big2.jpg", "big1.jpg", "f", "3"}, {});
  EXPECT_EQ(Finish(one).status, 0);
  EXPECT_EQ(Finish(other).status, 0);
  EXPECT_EQ(NewFiles(),
            (std::set<std::string>{"f00.JPG", "f01.JPG", "f02.JPG"}));
  for (int i = 0; i < 3; ++i) {
    const std::string frame =
        ReadFileBytes(Path("f0" + std::to_string(i) + ".JPG"));
    EXPECT_TRUE(frame == frames[i] || frame == reversed[i]) << "frame " << i;
  }
}

TEST_F(JpegfadeTest, ARunFitsUnderAnyLimitThePlainProgramFitsUnder) {
#ifdef JPEGFADE_UNDER_ASAN
  GTEST_SKIP() << "the address sanitizer's shadow needs more address space";
#endif
  if (!ResourceLimitHolds(RLIMIT_AS) || !ResourceLimitHolds(RLIMIT_DATA)) {
    GTEST_SKIP() << "limits do not hold";
  }
  // 25 MB a picture, more than the 16 MiB of slack allowed: a check that
  // asked room for an image it already holds would show. Three frames, so
  // that a run on several CPUs must take no more workers than fit.
  SaveJpeg(MakeTrueColorPicture(2500, 2500, 5).get(), Path("big1.jpg"));
  SaveJpeg(MakeTrueColorPicture(2500, 2500, 6).get(), Path("big2.jpg"));
  before_ = Listing();
  // The least limit, to 2 MiB, under which `program` makes the fade.
  const auto least = [&](const char* program, rlim_t Limits::*limit) {
    rlim_t low = 0, high = rlim_t{512} << 20;
    while (high - low > (2 << 20)) {
      Limits limits;
      limits.program = program;
      limits.*limit = (low + high) / 2;
      const Outcome outcome =
          RunIn(dir_, {"big1.jpg", "big2.jpg", "p", "3"}, limits);
      (outcome.status == 0 ? high : low) = (low + high) / 2;
      for (const std::string& name : NewFiles()) fs::remove(Path(name));
    }
    return high;
  };
  for (const auto limit : {&Limits::address_space, &Limits::data_size}) {
    const rlim_t plain = least(JPEGFADE_PLAIN_FADE, limit);
    const rlim_t tool = least(JPEGFADE_EXECUTABLE, limit);
    EXPECT_LE(tool, plain + (16 << 20))
        << (limit == &Limits::data_size ? "data" : "address space")
        << ": jpegfade needs " << (tool >> 20) << " MiB, the plain program "
        << (plain >> 20) << " MiB";
  }
}

}  // namespace
