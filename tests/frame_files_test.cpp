// End-to-end: what stands under a frame's name (a FIFO, a link, a file the
// user may or may not write, a folder that takes no new file) and how a run
// ends (signals, SIGKILL, two runs at once) leave only whole frames.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ioctl.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "jpeg_writer.h"
#include "test_pictures.h"
#include "tool_test.h"

namespace fs = std::filesystem;

namespace {

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

TEST_F(JpegfadeTest, WhatStandsUnderAFrameNameIsWrittenThroughReplacedOrKept) {
  // A FIFO read by a video encoder, a link to /dev/null: written through and
  // left what they are. A regular file: replaced whole by a new file, keeping
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
  auto write = [&](const std::string& name, const std::string& bytes,
                   mode_t file_mode) {
    WriteFileBytes(Path(name), bytes);
    return chmod(Path(name).c_str(), file_mode) == 0;
  };
  // A folder `name` the ordinary user may not write, with older frames.
  auto read_only_folder = [&](const std::string& name) {
    fs::create_directory(Path(name));
    return write(name + "/f00.JPG", older, 0644) &&
           write(name + "/f01.JPG", older, 0644) &&
           chmod(Path(name).c_str(), 0555) == 0;
  };
  // A tmpfs `full` of 256 KiB and `inodes` inodes, its frames as given,
  // and, where `filled`, a file taking every page left.
  auto full_tmpfs = [&](const std::string& frame0_bytes,
                        const std::string& frame1_bytes, int inodes = 3,
                        bool filled = false) {
    fs::create_directory(Path("full"));
    if (mount("tmpfs", Path("full").c_str(), "tmpfs", 0,
              ("size=256k,nr_inodes=" + std::to_string(inodes)).c_str()) != 0) {
      fs::remove(Path("full"));
      return false;
    }
    WriteFileBytes(Path("full/f00.JPG"), frame0_bytes);
    WriteFileBytes(Path("full/f01.JPG"), frame1_bytes);
    return !filled || std::system(("cat /dev/zero > " + Path("full/fill") +
                                   " 2>/dev/null").c_str()) != 0;
  };
  pid_t reader = -1;  // the FIFO's
  struct Row {
    const char* what;
    bool needs_root;  // to set up
    std::function<bool()> set_up;  // false: no way to set up here
    std::string prefix;
    bool as_nobody;  // the ordinary user runs the tool
    std::vector<std::string> theirs;  // files that user owns
    rlim_t file_size;
    std::string out;  // the line printed; none for a run that succeeds
    std::function<void()> check;
    bool frame0_here, frame1_here;  // f00.JPG, f01.JPG: new frames
  };
  const Row rows[] = {
      {"a FIFO", false,
       [&] {
         if (mkfifo(Path("f00.JPG").c_str(), 0600) != 0) return false;
         reader = fork();
         if (reader == 0) _exit(ReadFileBytes(Path("f00.JPG")) == frame0 ? 0 : 1);
         return true;
       },
       "f", false, {}, RLIM_INFINITY, "",
       [&] {
         int status = -1;
         waitpid(reader, &status, 0);
         EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
             << "the FIFO's reader did not get frame 0";
         EXPECT_EQ(fs::status(Path("f00.JPG")).type(), fs::file_type::fifo);
       },
       false, true},
      {"a link to /dev/null", false,
       [&] { fs::create_symlink("/dev/null", Path("f01.JPG")); return true; },
       "f", false, {}, RLIM_INFINITY, "",
       [&] { EXPECT_TRUE(fs::is_symlink(Path("f01.JPG"))); }, true, false},
      {"a frame the user may write, not read", false,
       [&] { return write("f00.JPG", older, 0200); },
       "f", true, {"f00.JPG"}, RLIM_INFINITY, "",
       [&] {
         EXPECT_EQ(mode("f00.JPG"), 0200u);
         // Its owner (or root) may read it once it is readable again.
         ASSERT_EQ(chmod(Path("f00.JPG").c_str(), 0600), 0);
       },
       true, true},
      {"a frame of its own mode and owner", false,
       [&] {
         return write("f00.JPG", older, 0640) &&
                (!root || chown(Path("f00.JPG").c_str(), nobody->pw_uid,
                                nobody->pw_gid) == 0);
       },
       "f", false, {}, RLIM_INFINITY, "",
       [&] {
         EXPECT_EQ(mode("f00.JPG"), 0640u);
         struct stat info {};
         stat(Path("f00.JPG").c_str(), &info);
         if (root) {
           EXPECT_EQ(info.st_uid, nobody->pw_uid);
         }
       },
       true, true},
      {"a frame with another name, which keeps the older bytes", false,
       [&] {
         WriteFileBytes(Path("f00.JPG"), older);
         fs::create_hard_link(Path("f00.JPG"), Path("kept"));
         return true;
       },
       "f", false, {}, RLIM_INFINITY, "",
       [&] { EXPECT_EQ(ReadFileBytes(Path("kept")), older); }, true, true},
      {"a frame the user may not write", false,
       [&] { return write("f00.JPG", older, 0444); },
       "f", true, {}, RLIM_INFINITY, "file write error for f00.JPG\n",
       [&] {
         EXPECT_EQ(ReadFileBytes(Path("f00.JPG")), older);
         EXPECT_FALSE(fs::exists(Path("f01.JPG")));
       },
       false, false},
      {"a folder that takes no new file: written in place", false,
       [&] { return read_only_folder("ro"); },
       "ro/f", true, {"ro/f00.JPG", "ro/f01.JPG"}, RLIM_INFINITY, "",
       [&] {
         ExpectFrame("ro/f00.JPG", 0, 2);
         ExpectFrame("ro/f01.JPG", 1, 2);
       },
       false, false},
      {"the same, the frame too large for a file-size limit", false,
       [&] { return read_only_folder("ro"); },
       "ro/f", true, {"ro/f00.JPG", "ro/f01.JPG"}, 100,
       "file write error for ro/f00.JPG\n",
       [&] {
         // Written in place, but never emptied first: the older file stays.
         EXPECT_EQ(ReadFileBytes(Path("ro/f00.JPG")), older);
         EXPECT_EQ(ReadFileBytes(Path("ro/f01.JPG")), older);
       },
       false, false},
      {"another user's frame in a sticky folder: written, not replaced", true,
       [&] {
         fs::create_directory(Path("sticky"));
         return chmod(Path("sticky").c_str(), 01777) == 0 &&
                write("sticky/f00.JPG", older, 0666);
       },
       "sticky/f", true, {}, RLIM_INFINITY, "",
       [&] {
         ExpectFrame("sticky/f00.JPG", 0, 2);
         EXPECT_EQ(mode("sticky/f00.JPG"), 0666u);
       },
       false, false},
      {"no inode left, room for the frames", true,
       [&] { return full_tmpfs(older, older); },
       "full/f", false, {}, RLIM_INFINITY, "",
       [&] {
         ExpectFrame("full/f00.JPG", 0, 2);
         ExpectFrame("full/f01.JPG", 1, 2);
       },
       false, false},
      // An empty file holds no page of the tmpfs, so a frame needs one.
      {"no inode left, and no room", true,
       [&] { return full_tmpfs("", std::string(256 << 10, 'x')); },
       "full/f", false, {}, RLIM_INFINITY, "file write error for full/f00.JPG\n",
       [&] {
         EXPECT_TRUE(fs::exists(Path("full/f00.JPG")));
         EXPECT_EQ(Temporaries(dir_ / "full").size(), 0u);
       },
       false, false},
      // A rerun where the run before filled the disk: a frame that fits in
      // its older file's pages goes over it; one that does not leaves it.
      {"room for no temporary: written over the older frames", true,
       [&] { return full_tmpfs(older, older, 8, true); },
       "full/f", false, {}, RLIM_INFINITY, "",
       [&] {
         ExpectFrame("full/f00.JPG", 0, 2);
         ExpectFrame("full/f01.JPG", 1, 2);
       },
       false, false},
      {"room for no temporary, nor over the older frame", true,
       [&] { return full_tmpfs("", older, 8, true); },
       "full/f", false, {}, RLIM_INFINITY, "file write error for full/f00.JPG\n",
       [&] {
         EXPECT_EQ(ReadFileBytes(Path("full/f00.JPG")), "");
         EXPECT_EQ(ReadFileBytes(Path("full/f01.JPG")), older);
       },
       false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.needs_root && !root) {
      std::printf("row \"%s\" skipped: it needs root to set up\n", row.what);
      continue;
    }
    if (!row.set_up()) {
      std::printf("row \"%s\" skipped: no way to set it up here\n", row.what);
      continue;
    }
    Limits limits;
    limits.file_size = row.file_size;
    if (row.as_nobody) {
      limits.user = nobody->pw_uid;
      if (root) limits.program = tool.c_str();
    }
    for (const std::string& name : row.theirs) {
      if (root) {
        ASSERT_EQ(chown(Path(name).c_str(), nobody->pw_uid, -1), 0);
      }
    }
    const Outcome outcome = RunIn(dir_, {"a.jpg", "b.jpg", row.prefix, "2"}, limits);
    EXPECT_EQ(outcome.out, row.out);
    EXPECT_EQ(outcome.status, row.out.empty() ? 0 : 255);
    for (const std::string& name : Listing()) {
      EXPECT_EQ(fs::path(name).filename().string().rfind(".jpegfade-", 0),
                std::string::npos)
          << "a temporary file is left: " << name;
    }
    row.check();
    if (fs::exists(Path("full"))) umount(Path("full").c_str());
    if (row.frame0_here) ExpectFrame("f00.JPG", 0, 2);
    if (row.frame1_here) {
      ExpectFrame("f01.JPG", 1, 2);
      EXPECT_EQ(mode("f01.JPG"), 0666u & ~mask) << "a new frame's mode";
    }
    if (fs::exists(Path("ro"))) chmod(Path("ro").c_str(), 0755);
    for (const std::string& name : NewFiles()) fs::remove_all(Path(name));
  }
  fs::remove_all(bin);
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

// A power cut as xfstests' godown makes one: the file system stops at once,
// its log not flushed (EXT4_IOC_SHUTDOWN and XFS_IOC_GOINGDOWN share the
// number and the flag NOLOGFLUSH). False where the call is refused
// (qemu-user does not pass it on).
bool CutThePower(const std::string& mounted) {
  const int fd = open(mounted.c_str(), O_RDONLY | O_DIRECTORY);
  uint32_t flags = 2;  // *_GOING_FLAGS_NOLOGFLUSH
  const bool cut = ioctl(fd, _IOR('X', 125, uint32_t), &flags) == 0;
  close(fd);
  return cut;
}

TEST_F(JpegfadeTest, AfterAPowerCutEveryReplacedFrameIsOldOrWholeNew) {
  // Each file system as a user may have it. After the run, an fsync of
  // another file on it commits its log, the renames included, as another
  // program or the file system's own timer would; a cut right after it
  // finds the frames' blocks on disk only where something wrote them out
  // before the rename reached the log.
  const char* const rows[][3] = {  // what, its type, its mount options
      {"ext4", "ext4", "loop"},
      {"ext4 without auto_da_alloc", "ext4", "loop,noauto_da_alloc"},
      {"XFS", "xfs", "loop"},
  };
  if (getuid() != 0 || access("/dev/loop-control", F_OK) != 0) {
    std::printf("skipped: it needs root and a loop device\n");
    return;
  }
  const std::string image = Path("disk.img"), disk = Path("disk");
  fs::create_directory(disk);
  for (const auto& [what, type, options] : rows) {
    SCOPED_TRACE(what);
    const std::string mount_disk = std::string("mount -t ") + type + " -o " +
                                   options + " " + image + " " + disk;
    if (std::system(("truncate -s 320M " + image + " && mkfs." + type +
                     (type[0] == 'x' ? " -f " : " -F ") + image +
                     " >/dev/null 2>&1 && " + mount_disk + " 2>/dev/null")
                        .c_str()) != 0) {
      std::printf("%s skipped: no mkfs.%s or no %s here\n", what, type, type);
      continue;
    }
    const std::unique_ptr<const char, void (*)(const char*)> unmount(
        disk.c_str(), [](const char* dir) { umount2(dir, MNT_DETACH); });
    SaveJpeg(MakePhotoLikePicture(320, 240, 1).get(), disk + "/a.jpg");
    SaveJpeg(MakePhotoLikePicture(320, 240, 2).get(), disk + "/b.jpg");
    const Image a = LoadJpeg(disk + "/a.jpg"), b = LoadJpeg(disk + "/b.jpg");
    for (const int cpus : {0, 1}) {  // workers and a writer; one thread
      Limits limits;
      limits.cpus = cpus;
      ASSERT_EQ(RunIn(disk, {"a.jpg", "b.jpg", "f", "20"}, limits).status, 0);
      sync();
      ASSERT_EQ(RunIn(disk, {"b.jpg", "a.jpg", "f", "20"}, limits).status, 0);
      const int other = open((disk + "/other").c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_TRUE(other >= 0 && write(other, "x", 1) == 1 && fsync(other) == 0);
      close(other);
      if (!CutThePower(disk)) {
        std::printf("skipped: the file system cannot be shut down here\n");
        return;
      }
      ASSERT_EQ(std::system(("umount " + disk + " && " + mount_disk).c_str()), 0);
      for (int i = 0; i < 20; ++i) {
        const std::string frame = ReadFileBytes(
            disk + "/f" + (i < 10 ? "0" : "") + std::to_string(i) + ".JPG");
        EXPECT_TRUE(frame == ExpectedFrame(a.get(), b.get(), i, 20) ||
                    frame == ExpectedFrame(b.get(), a.get(), i, 20))
            << "frame " << i << " on " << cpus << " CPUs: " << frame.size()
            << " bytes, neither the older frame nor the new one";
      }
    }
  }
}

}  // namespace
