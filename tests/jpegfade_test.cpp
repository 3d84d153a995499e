// End-to-end: runs the built jpegfade in a fresh folder and checks what it
// prints, its status and every file it leaves, byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "jpeg_writer.h"
#include "test_pictures.h"

namespace fs = std::filesystem;

namespace {

struct Limits {
  rlim_t file_size = RLIM_INFINITY;
  rlim_t address_space = RLIM_INFINITY;
  std::string cgroup = "";  // a cgroup folder to run in
};

struct Outcome {
  std::string out;   // standard output
  int status;        // exit status, or 128 + signal
  long max_rss = 0;  // peak resident memory, KiB
};

void SetLimit(int resource, rlim_t value) {
  if (value == RLIM_INFINITY) return;
  const rlimit limit{value, value};
  setrlimit(resource, &limit);
}

Outcome RunIn(const fs::path& dir, const std::vector<std::string>& args,
              Limits limits = {}) {
  std::vector<char*> argv{const_cast<char*>(JPEGFADE_EXECUTABLE)};
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {"pipe failed", -1};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    // The library's own warnings go to standard error; only stdout is ours.
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDERR_FILENO);
    if (chdir(dir.c_str()) != 0) _exit(126);
    SetLimit(RLIMIT_FSIZE, limits.file_size);
    SetLimit(RLIMIT_AS, limits.address_space);
    if (!limits.cgroup.empty()) {
      FILE* procs = std::fopen((limits.cgroup + "/cgroup.procs").c_str(), "w");
      if (!procs || std::fputs("0\n", procs) < 0 || std::fclose(procs) != 0) {
        _exit(125);  // the cgroup cannot be joined here
      }
    }
    signal(SIGXFSZ, SIG_DFL);  // the tool must not rely on inheriting SIG_IGN
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  Outcome outcome{"", -1};
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
    outcome.out.append(buffer, n);
  }
  close(pipe_fds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  outcome.max_rss = usage.ru_maxrss;
  outcome.status =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
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
  };
  const Row rows[] = {
      {{}, kArgument},
      {{"a.jpg"}, kArgument},
      {{"a.jpg", "b.jpg"}, kArgument},
      {{"a.jpg", "a.jpg", "p", "3"}, kArgument},
      {{"a.jpg", "b.jpg", "a.jpg", "3"}, kArgument},
      {{"a.jpg", "b.jpg", "b.jpg", "3"}, kArgument},
      {{"none.jpg", "none.jpg", "p", "3"}, kArgument},  // before any open
      {{"", "", "p", "3"}, kArgument},
      {{"none.jpg", "b.jpg", "p", "3"}, "file open error for none.jpg\n"},
      {{"a.jpg", "none.jpg", "p", "3"}, "file open error for none.jpg\n"},
      {{"none1.jpg", "none2.jpg", "p"}, "file open error for none1.jpg\n"},
      {{"", "b.jpg", "p", "3"}, "file open error for \n"},
      {{"a.jpg", "", "p", "3"}, "file open error for \n"},
      {{"a.jpg", "b.jpg", "p"}, kMissing},
      {{"text.jpg", "b.jpg", "p"}, kMissing},  // before any decoding
      {{"a.jpg", "b.jpg", "p", "2147483648"}, kRange},
      {{"a.jpg", "b.jpg", "p", "-2147483649"}, kRange},
      {{"a.jpg", "b.jpg", "p", "123456789012345678901234567890"}, kRange},
      {{"text.jpg", "b.jpg", "p", " 99999999999"}, kRange},
      {{"text.jpg", "b.jpg", "p", "3"}, "file decode error for text.jpg\n"},
      {{"a.jpg", "empty.jpg", "p", "3"}, "file decode error for empty.jpg\n"},
      {{"folder.jpg", "b.jpg", "p", "3"}, "file decode error for folder.jpg\n"},
      {{"text.jpg", "empty.jpg", "p", "3"}, "file decode error for text.jpg\n"},
      {{"a.jpg", "text.jpg", "p", "0"}, "file decode error for text.jpg\n"},
      {{"a.jpg", "tall.jpg", "p", "3"}, kSize},
      {{"a.jpg", "short.jpg", "p", "3"}, kSize},
      {{"empty.jpg", "tall.jpg", "p", "3"},
       "file decode error for empty.jpg\n"},
  };
  for (const Row& row : rows) {
    const Outcome outcome = RunIn(dir_, row.args);
    EXPECT_EQ(outcome.out, row.out) << Args(row.args);
    EXPECT_EQ(outcome.status, 255) << Args(row.args);
    EXPECT_TRUE(NewFiles().empty()) << Args(row.args);
  }
}

TEST_F(JpegfadeTest, WritesExactlyTheFramesOfTheFade) {
  fs::create_directory(dir_ / "out");
  // A name far longer than any fixed buffer, in parts the system accepts.
  const std::string deep = std::string(200, 'd') + "/" + std::string(100, 'e');
  fs::create_directory(dir_ / std::string(200, 'd'));
  before_ = Listing();
  struct Row {
    std::vector<std::string> args;
    std::string prefix;
    int frames;
  };
  const Row rows[] = {
      {{"a.jpg", "b.jpg", "fade", "3"}, "fade", 3},
      {{"a.jpg", "b.jpg", "fade", "1"}, "fade", 1},  // the second picture
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
    std::string link = "";  // a frame name made to point at a full disk
    rlim_t file_size = RLIM_INFINITY;
    rlim_t address_space = RLIM_INFINITY;
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
       "file write error for nodir/f00.JPG\n"},
      {{"a.jpg", "b.jpg", long_prefix, "4"},
       "file write error for " + long_prefix + "00.JPG\n"},
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
  };
  for (const Row& row : rows) {
#ifdef JPEGFADE_UNDER_ASAN
    if (row.address_space != RLIM_INFINITY) continue;
#endif
    if (!row.link.empty()) fs::create_symlink("/dev/full", dir_ / row.link);
    const Outcome outcome =
        RunIn(dir_, row.args, {row.file_size, row.address_space});
    EXPECT_EQ(outcome.out, row.out) << Args(row.args);
    EXPECT_EQ(outcome.status, 255) << Args(row.args);
    EXPECT_EQ(NewFiles(), row.left) << Args(row.args);
    for (const std::string& name : row.left) {
      ExpectFrame(name, std::stoi(name.substr(4, 2)), 4);  // fadeNN.JPG
    }
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

TEST_F(JpegfadeTest, APictureMayComeThroughAPipe) {
  // As from `jpegfade <(curl ...) ...`: a stream that cannot be rewound.
  ASSERT_EQ(mkfifo(Path("pipe.jpg").c_str(), 0600), 0);
  const pid_t writer = fork();
  if (writer == 0) {
    const std::string bytes = ReadFileBytes(Path("a.jpg"));
    FILE* out = std::fopen(Path("pipe.jpg").c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    _exit(std::fclose(out) == 0 ? 0 : 1);
  }
  const Outcome outcome = RunIn(dir_, {"pipe.jpg", "b.jpg", "p", "2"});
  waitpid(writer, nullptr, 0);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.status, 0);
  ExpectFrame("p00.JPG", 0, 2);
  ExpectFrame("p01.JPG", 1, 2);
}

}  // namespace
