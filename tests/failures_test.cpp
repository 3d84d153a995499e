// End-to-end: every failure's one line, its order, its status, and that it
// leaves no file behind, damaged input and hostile input included.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "jpeg_writer.h"
#include "test_pictures.h"
#include "tool_test.h"

namespace fs = std::filesystem;

namespace {

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
    std::string reason = "";   // the reason, on standard error
    rlim_t processes = RLIM_INFINITY;  // the user's process limit
    bool without_processes = false;    // every process refused
  };
  // Root is held to no process limit: those rows run as a user of no one
  // else's, who counts only the run itself, with the tool where it may run
  // it. Any other user counts the suite's processes too.
  const bool root = getuid() == 0;
  const fs::path bin = MakeTempFolder();
  fs::copy_file(JPEGFADE_EXECUTABLE, bin / "jpegfade");
  fs::permissions(bin, fs::perms::owner_all | fs::perms::group_exec |
                           fs::perms::group_read | fs::perms::others_exec |
                           fs::perms::others_read);
  fs::permissions(dir_, fs::perms::all);
  const std::string tool = bin / "jpegfade";
  WriteFileBytes(Path("turned.jpg"), WriteJpeg(JpegKind::kColor, 40, 30, 1, 6));
  before_ = Listing();
  const std::string kNoProcess =
      ": no process for its decoder: Resource temporarily unavailable\n";
  const Row rows[] = {
      {{}, kArgument},
      {{}, "", true},
      {{"a.jpg"}, kArgument},
      {{"a.jpg", "b.jpg"}, kArgument, false,
       "jpegfade: fewer than three arguments: FIRST, SECOND and PREFIX\n"},
      {{"a.jpg", "a.jpg", "p", "3"}, kArgument, false,
       "jpegfade: FIRST and SECOND are the same text\n"},
      {{"a.jpg", "b.jpg", "a.jpg", "3"}, kArgument, false,
       "jpegfade: PREFIX is the same text as FIRST\n"},
      {{"a.jpg", "b.jpg", "b.jpg", "3"}, kArgument, false,
       "jpegfade: PREFIX is the same text as SECOND\n"},
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
      {{"text.jpg", "b.jpg", "p", "3"}, "file decode error for text.jpg\n",
       false, "jpegfade: text.jpg: not a JPEG\n"},
      {{"a.jpg", "empty.jpg", "p", "3"}, "file decode error for empty.jpg\n",
       false, "jpegfade: empty.jpg: an empty file\n"},
      {{"folder.jpg", "b.jpg", "p", "3"}, "file decode error for folder.jpg\n",
       false, "jpegfade: folder.jpg: it cannot be read"},
      {{"a.jpg", "b.jpg/x", "p", "3"},
       "file open error for b.jpg/x\n",
       false,
       "jpegfade: b.jpg/x: Not a directory\n"},
      {{"text.jpg", "empty.jpg", "p", "3"}, "file decode error for text.jpg\n"},
      {{"a.jpg", "text.jpg", "p", "0"}, "file decode error for text.jpg\n"},
      {{"a.jpg", "tall.jpg", "p", "3"}, kSize, false,
       "jpegfade: a.jpg is 40x30, tall.jpg is 30x40\n"},
      {{"a.jpg", "tall.jpg", "p", "3"}, "", true},
      {{"turned.jpg", "b.jpg", "p", "3"}, kSize, false,
       "jpegfade: turned.jpg is 40x30, b.jpg is 40x30; turned by their "
       "orientation tags, 30x40 and 40x30\n"},
      {{"a.jpg", "short.jpg", "p", "3"}, kSize},
      {{"empty.jpg", "tall.jpg", "p", "3"},
       "file decode error for empty.jpg\n"},
      {{"x\x9b" "31m\xe2\x80\xae" "gpj.jpg", "b.jpg", "p", "3"},
       "file open error for x\\x9b31m\\xe2\\x80\\xaegpj.jpg\n", false,
       "jpegfade: x\\x9b31m\\xe2\\x80\\xaegpj.jpg: No such file or "
       "directory\n"},
      // U+00A0 and U+202F, next to controls, are kept.
      {{"a.jpg", "\xc2\x9b" "1m\xc2\x9f\xc2\xa0\xd8\x9c\xe2\x81\xa9"
        "\xe2\x80\xaf.jpg", "p", "3"},
       "file open error for \\xc2\\x9b1m\\xc2\\x9f\xc2\xa0\\xd8\\x9c"
       "\\xe2\\x81\\xa9\xe2\x80\xaf.jpg\n"},
      // An overlong form, bytes that start no sequence, a surrogate, past
      // U+10FFFF, cut short.
      {{"\xc0\xaf\xff\xfc\x80\x80\x80\xed\xa0\x80\xf4\x90\x80\x80"
        "\xe2\x80.jpg\xe2", "b.jpg", "p", "3"},
       "file open error for \\xc0\\xaf\\xff\\xfc\\x80\\x80\\x80\\xed\\xa0\\x80"
       "\\xf4\\x90\\x80\\x80\\xe2\\x80.jpg\\xe2\n", false,
       "jpegfade: \\xc0\\xaf\\xff\\xfc\\x80\\x80\\x80\\xed\\xa0\\x80\\xf4\\x90"
       "\\x80\\x80\\xe2\\x80.jpg\\xe2: No such file or directory\n"},
      {{"café写真😀.jpg", "b.jpg", "p", "3"},
       "file open error for café写真😀.jpg\n", false,
       "jpegfade: café写真😀.jpg: No such file or directory\n"},
      // The picture whose decoder cannot be had, after a moment's retries.
      {{"a.jpg", "b.jpg", "p", "3"}, "file decode error for a.jpg\n", false,
       "jpegfade: a.jpg" + kNoProcess, 1},
      {{"a.jpg", "b.jpg", "p", "3"},
       root ? "file decode error for b.jpg\n" : "file decode error for a.jpg\n",
       false, (root ? "jpegfade: b.jpg" : "jpegfade: a.jpg") + kNoProcess, 2},
      {{"a.jpg", "b.jpg", "p", "3"}, "file decode error for a.jpg\n", false,
       "jpegfade: a.jpg" + kNoProcess, RLIM_INFINITY, true},
  };
  const bool seccomp = SeccompHolds();
  for (const Row& row : rows) {
    if (row.without_processes && !seccomp) continue;  // a filter refuses them
    // The leak checker's tracer, at the end of a sanitized run, counts
    // against the process limit too.
    if (row.processes != RLIM_INFINITY && !MemoryLimitsTestable()) continue;
    Limits limits;
    limits.reader_gone = row.reader_gone;
    limits.processes = row.processes;
    limits.without_processes = row.without_processes;
    if (root && row.processes != RLIM_INFINITY) {
      limits.user = 54321;
      limits.program = tool.c_str();
    }
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
  fs::remove_all(bin);
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
    std::string reason = "";  // on standard error
  };
  const std::vector<Row> rows = {
      {{"cut.jpg", "b.jpg", "p", "3"}, "file decode error for cut.jpg\n", {},
       "", RLIM_INFINITY, RLIM_INFINITY, "", "jpegfade: cut.jpg: a JPEG cut short\n"},
      {{"a.jpg", "cut.jpg", "p", "3"}, "file decode error for cut.jpg\n"},
      {{"empty.jpg", "b.jpg", "p", "3"}, "file decode error for empty.jpg\n"},
      {{"png.jpg", "b.jpg", "p", "3"}, "file decode error for png.jpg\n", {},
       "", RLIM_INFINITY, RLIM_INFINITY, "",
       "jpegfade: png.jpg: a PNG picture, not a JPEG\n"},
      {{"a.jpg", "soi.jpg", "p", "3"}, "file decode error for soi.jpg\n", {},
       "", RLIM_INFINITY, RLIM_INFINITY, "", "jpegfade: soi.jpg: a JPEG cut short\n"},
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
  const bool limits_testable = MemoryLimitsTestable();
  for (const Row& row : rows) {
    if (row.address_space != RLIM_INFINITY && !limits_testable) continue;
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
    EXPECT_NE(outcome.err.find(row.reason), std::string::npos) << outcome.err;
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

}  // namespace

namespace {

// The processes of the run started as `pid` whose descriptors this user may
// list: the writer, and its decoders as root (they are not dumpable).
std::vector<std::string> RunProcesses(pid_t pid) {
  const std::string self = "/proc/" + std::to_string(pid);
  std::vector<std::string> found = {self};
  std::ifstream children(self + "/task/" + std::to_string(pid) + "/children");
  for (pid_t child; children >> child;) {
    found.push_back("/proc/" + std::to_string(child));
  }
  return found;
}

}  // namespace

TEST_F(JpegfadeTest, ADescriptorTheCallerLeftOpenIsInNoProcessOfTheRun) {
  const std::string secret = Path("secret");
  WriteFileBytes(secret, "private");
  ASSERT_EQ(mkfifo(Path("fifo.jpg").c_str(), 0600), 0);
  before_ = Listing();
  // Left open, under a number of its own, as a careless caller leaves a log.
  const int inherited = dup2(open(secret.c_str(), O_RDONLY), 100);
  const Child child = StartIn(dir_, {"fifo.jpg", "b.jpg", "p", "3"}, {});
  close(inherited);
  // The run then waits for its first picture's head, both decoders started.
  const int fifo = open(Path("fifo.jpg").c_str(), O_WRONLY);
  std::vector<std::string> processes;
  for (int tries = 0; tries < 500 && processes.size() < 3; ++tries) {
    usleep(10000);
    processes = RunProcesses(child.pid);
  }
  EXPECT_EQ(processes.size(), 3u);
  int listed = 0;
  for (const std::string& process : processes) {
    std::error_code error;
    for (const auto& fd : fs::directory_iterator(process + "/fd", error)) {
      EXPECT_NE(fs::read_symlink(fd.path(), error), secret) << fd.path();
      listed += fd.path().filename() == "0";
    }
  }
  // Root lists all three; another user at least the writer (a decoder may
  // not yet have made itself undumpable).
  EXPECT_GE(listed, getuid() == 0 ? 3 : 1);
  close(fifo);
  const Outcome outcome = Finish(child);
  EXPECT_EQ(outcome.out, "file decode error for fifo.jpg\n");
  EXPECT_TRUE(NewFiles().empty());
}
