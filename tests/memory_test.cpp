// End-to-end: memory limits end a run with its line, never a signal, and
// never refuse what a plain program of the same fade fits in.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "jpeg_writer.h"
#include "cgroups.h"
#include "report.h"
#include "test_pictures.h"
#include "tool_test.h"

namespace fs = std::filesystem;

namespace {

TEST_F(JpegfadeTest, AMemoryLimitEndsTheRunWithItsLineNeverASignal) {
  SKIP_UNLESS_MEMORY_LIMITS_TESTABLE();
  // Limits from the least the tool starts under to more than the run needs,
  // so that some stop it before decoding, some partway and some not at all.
  SaveJpeg(MakeTrueColorPicture(2000, 2000, 5).get(), Path("big1.jpg"));
  SaveJpeg(MakeTrueColorPicture(2000, 2000, 6).get(), Path("big2.jpg"));
  // Small pictures with the largest colour profile a JPEG holds, 255 chunks:
  // what the run keeps of it must fail with the same lines as pixels do.
  const std::string icc(255 * 65519, 'p');
  WriteFileBytes(Path("icc1.jpg"), WriteJpeg(JpegKind::kColor, 40, 30, 1, 0, icc));
  WriteFileBytes(Path("icc2.jpg"), WriteJpeg(JpegKind::kColor, 40, 30, 2, 0, icc));
  before_ = Listing();
  // Memory that runs out, wherever it does, ends the run with its own line.
  std::set<std::string> allowed = {"canvas create error\n"};
  for (const char* name : {"big1.jpg", "big2.jpg", "icc1.jpg", "icc2.jpg", "p00.JPG",
                           "p01.JPG"}) {
    allowed.insert("out of memory for " + std::string(name) + "\n");
  }
  std::set<std::string> seen;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"big1.jpg", "big2.jpg", "p", "1"},
        std::vector<std::string>{"icc1.jpg", "icc2.jpg", "p", "2"}}) {
    Limits limits;
    limits.address_space = 1 << 20;
    while (RunIn(dir_, {}, limits).out != "argument error\n") {
      limits.address_space += 4 << 20;
      ASSERT_LT(limits.address_space, rlim_t{1} << 30);
    }
    for (Outcome outcome{"", 255}; outcome.status != 0;
         limits.address_space += 2 << 20) {
      outcome = RunIn(dir_, args, limits);
      const std::string limit =
          args[0] + ", " + std::to_string(limits.address_space >> 20) + " MiB";
      seen.insert(outcome.out);
      if (outcome.status == 0) {
        EXPECT_EQ(outcome.out, "") << limit;
        EXPECT_EQ(NewFiles().size(), std::stoul(args[3])) << limit;
      } else {
        EXPECT_EQ(outcome.status, 255) << limit;
        EXPECT_TRUE(allowed.count(outcome.out)) << limit << ": " << outcome.out;
      }
      for (const std::string& name : NewFiles()) {
        EXPECT_EQ(name.rfind("p0", 0), 0u) << limit << ": " << name;
        fs::remove(Path(name));
      }
      ASSERT_LT(limits.address_space, rlim_t{2} << 30);
    }
  }
  // The size check itself, not only the allocator, must have stopped some.
  EXPECT_TRUE(seen.count("out of memory for big1.jpg\n"));
  EXPECT_TRUE(seen.count("out of memory for icc2.jpg\n"));
}

// A new memory cgroup below this process's own with `limit` bytes, or "" when
// this system does not let the tests make one.
std::string MakeMemoryCgroup(uint64_t limit) {
  std::ifstream in("/proc/self/cgroup");
  const std::string text(std::istreambuf_iterator<char>(in), {});
  for (const CgroupLine& group : ReadCgroupLines(text)) {
    std::string dir, limit_file;
    if (group.controllers.empty()) {
      dir = "/sys/fs/cgroup" + group.path, limit_file = "memory.max";
    } else if (group.controllers == "memory") {
      dir = "/sys/fs/cgroup/memory" + group.path,
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

TEST_F(JpegfadeTest, ARunFitsUnderAnyLimitThePlainProgramFitsUnder) {
  SKIP_UNLESS_MEMORY_LIMITS_TESTABLE();
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
