#include "frame_output.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <new>
#include <sstream>

#include "cgroups.h"
#include "interrupts.h"
#include "report.h"
#include "whole_io.h"

std::string FrameFileName(const char* prefix, int i) {
  // The prefix is data, never a format: a '%' in it stays as it is. The name
  // grows with the prefix; only the system limits its length.
  char number[16];
  std::snprintf(number, sizeof number, "%02d", i);
  return std::string(prefix) + number + ".JPG";
}

namespace {

// What is under a frame's name before the frame is written.
enum class Existing {
  kNothing,  // nothing yet: the frame is a new file
  kRegular,  // a regular file: replaced, keeping its mode and owner
  kOther,    // a FIFO, a device or a link the user named: written through
};

// The process's umask, read once as the program starts: reading it means
// setting it, which must not happen while threads make files.
mode_t ReadUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}
const mode_t process_umask = ReadUmask();

// What a frame's file is to be: a replaced frame keeps the old file's
// permission bits, a new one gets what fopen would give it.
mode_t FrameMode(Existing existing, const struct stat& old) {
  return existing == Existing::kRegular ? old.st_mode & 07777
                                        : 0666 & ~process_umask;
}

// A replaced frame keeps the old file's owner and group where this process
// may give them, and its mode, of which MakeTemporary could give only what
// the umask lets through.
void TakeModeAndOwner(int fd, Existing existing, const struct stat& old) {
  static const uid_t user = geteuid();
  static const gid_t group = getegid();
  const mode_t mode = FrameMode(existing, old);
  const mode_t made = mode & 0777 & ~process_umask;
  bool changed = false;  // a change of owner drops the set-ID bits
  if (existing == Existing::kRegular &&
      (old.st_uid != user || old.st_gid != group)) {
    changed = true;
    // Not the owner: the group alone, where this user may give it; else the
    // frame belongs to whoever runs the tool, as a new one would.
    if (fchown(fd, old.st_uid, old.st_gid) != 0) (void)!fchown(fd, -1, old.st_gid);
  }
  if (changed || mode != made) fchmod(fd, mode);
}

// The rename replaces a file whatever its permissions, so a frame the user
// may not write is refused here, as opening it "wb" would refuse it. Its
// owner with the write bit set, or root, may: no need to ask the kernel.
Existing InspectOrDie(const std::string& name, struct stat* info) {
  static const uid_t user = geteuid();
  if (lstat(name.c_str(), info) != 0) return Existing::kNothing;
  if (!S_ISREG(info->st_mode)) return Existing::kOther;
  const bool writable =
      user == 0 || (info->st_uid == user && (info->st_mode & S_IWUSR));
  if (!writable && faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) != 0) {
    DieWithReason(kFileWriteError, name.c_str(), errno);
  }
  return Existing::kRegular;
}

// The temporary file beside the frame: in the frame's own folder, so that a
// rename puts it in place at once, and under a short name that fits wherever
// the frame's name fits and never looks like a frame.
std::string TempTemplate(const std::string& name) {
  const size_t slash = name.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "" : name.substr(0, slash + 1);
  return folder + ".jpegfade-XXXXXX";
}

// mkstemp's promise, a new file of a name no other process holds, but made
// with the frame's own `mode` (as far as the umask lets it) and opened for
// writing only: the confined run may make and write files beside its frames,
// never read them. The names need not be hard to guess, since O_EXCL never
// follows a link someone placed there: one draw of randomness serves the
// whole run, its threads drawing names from one counter.
int MakeTemporary(std::string* name, mode_t mode) {
  static const char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::atomic<uint64_t> counter{[] {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
      seed = static_cast<uint64_t>(getpid()) << 32 ^
             static_cast<uint64_t>(time(nullptr));
    }
    return seed;
  }()};
  const size_t tail = name->size() - 6;
  for (int attempt = 0; attempt < 100; ++attempt) {
    // splitmix64: successive counts give unrelated names.
    uint64_t bits = counter.fetch_add(0x9e3779b97f4a7c15u);
    bits = (bits ^ (bits >> 30)) * 0xbf58476d1ce4e5b9u;
    bits = (bits ^ (bits >> 27)) * 0x94d049bb133111ebu;
    bits ^= bits >> 31;
    for (size_t k = 0; k < 6; ++k, bits /= 62) {
      (*name)[tail + k] = kLetters[bits % 62];
    }
    const int fd = open(name->c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 0777);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Where a write goes: at a place in a regular file, or to a stream, a FIFO
// or a device, where it stands.
enum class WriteTo { kPlace, kStream };

// All of `size` bytes, at `offset` or to the stream; false, with errno, if
// not.
bool WriteAll(int fd, const char* data, size_t size, WriteTo to,
              off_t offset = 0) {
  return WriteWhole(fd, data, size, to == WriteTo::kStream ? -1 : offset);
}

[[noreturn]] void WriteFailed(const std::string& name, int error) {
  DieWithReason(kFileWriteError, name.c_str(), error);
}

// A FIFO a video encoder reads, a link to /dev/null, a device: opened as a
// plain program opens a frame, and written like any stream.
void WriteThroughOrDie(const std::string& jpeg, const std::string& name) {
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                      0666);
  if (fd < 0) WriteFailed(name, errno);
  int error = 0;
  if (!WriteAll(fd, jpeg.data(), jpeg.size(), WriteTo::kStream)) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) WriteFailed(name, error);
}

// How room was made in the older file for the new frame to go over it.
enum class Room {
  kNone,      // the frame does not fit (errno says why): the file is as it was
  kReserved,  // reserved past the file's end; its length and bytes unchanged
  kTailWritten,  // the part past the older file's end is written already
};

// Whether the older file's bytes can all stay as they are until the new
// frame goes over them in one write: room for the frame reserved ahead, or,
// where the file system cannot reserve, the part past the older file's end
// written first and taken back if that fails.
Room MakeRoomInPlace(int fd, const std::string& jpeg, off_t old_size) {
  // The kernel would cut a write short at a file-size limit, having changed
  // the older bytes before it: such a frame is refused first.
  rlimit limit{};
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      jpeg.size() > limit.rlim_cur) {
    errno = EFBIG;
    return Room::kNone;
  }
  const off_t size = static_cast<off_t>(jpeg.size());
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0) return Room::kReserved;
  if (errno != EOPNOTSUPP && errno != ENOSYS) return Room::kNone;
  if (size <= old_size) return Room::kReserved;
  if (WriteAll(fd, jpeg.data() + old_size, size - old_size, WriteTo::kPlace,
               old_size)) {
    return Room::kTailWritten;
  }
  const int error = errno;
  (void)!ftruncate(fd, old_size);
  errno = error;
  return Room::kNone;
}

// Where no temporary file can be made (a folder that takes no new file, or
// no inode left) or the name cannot be replaced (another user's file in a
// sticky folder), a frame the user may write is written in place, as a
// plain program writes it, but never emptied first: the older file stays
// whole until the frame, already encoded, goes over it in one write, which
// an interrupt waits for.
void WriteInPlaceOrDie(const std::string& jpeg, const std::string& name) {
  const int fd = open(name.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) WriteFailed(name, errno);
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    WriteThroughOrDie(jpeg, name);
    return;
  }
  const off_t size = static_cast<off_t>(jpeg.size());
  int error = 0;
  {
    InterruptsDeferred defer;
    const Room room = MakeRoomInPlace(fd, jpeg, info.st_size);
    if (room == Room::kNone) {
      error = errno;
    } else if (!WriteAll(fd, jpeg.data(),
                         room == Room::kTailWritten
                             ? static_cast<size_t>(info.st_size)
                             : jpeg.size(),
                         WriteTo::kPlace) ||
               (size < info.st_size && ftruncate(fd, size) != 0)) {
      // Part old, part new: emptied rather than left damaged.
      error = errno;
      (void)!ftruncate(fd, 0);
    }
  }
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) WriteFailed(name, error);
}

// The mount table, kept open from before the run confines itself, when no
// file can be opened any more.
const KeptFile& KeptMountTable() {
  static const KeptFile file = KeepFile("/proc/self/mountinfo");
  return file;
}

// What a temporary needs before it is renamed over an older frame, so that
// after a power cut the name holds the whole older frame or the whole new
// one, never an empty or a zeroed file: the log or journal must not commit
// the rename before the file's blocks are written.
enum class WriteOut {
  // The file system orders it itself. ext4 with auto_da_alloc (its
  // default) starts writing a file's delayed blocks when it is renamed
  // over another, before the rename's transaction, and in data=ordered
  // (the default) or data=journal the journal commits no transaction
  // before the data of the blocks it allocated. btrfs puts a file renamed
  // over another on a list its transaction writes out before it commits.
  // tmpfs keeps nothing across a power cut, the older frame no more than
  // the new one.
  kNone,
  // ext4 without auto_da_alloc, in data=ordered: what auto_da_alloc would
  // do, starting the write-out, which allocates the blocks and so puts
  // their data before the next commit.
  kStart,
  // XFS logs a rename at once but a file's new size only once its blocks
  // are written, so a log written before them holds the name on an empty
  // file; it writes a file out only at the close of one it truncated, as
  // a plain program's frame is. ext4 in data=writeback orders no data.
  // The same for a file system not named here. The write-out is waited
  // for: the size is logged before the blocks are marked written, so the
  // rename comes after it in the log.
  kFinish,
};

// The super options of the mount of device `device` in the mount table
// `mounts` (/proc/self/mountinfo: the third field the device, the options
// the third after " - "), with commas at both ends; empty if not found.
std::string SuperOptions(const std::string& mounts, dev_t device) {
  const std::string wanted = std::to_string(major(device)) + ":" +
                             std::to_string(minor(device));
  std::istringstream lines(mounts);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string id, parent, numbers;
    if (!(fields >> id >> parent >> numbers) || numbers != wanted) continue;
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string type, source, options;
    if (rest >> type >> source >> options) return "," + options + ",";
  }
  return "";
}

// What the file system of `fd`, a temporary, needs; kStart for ext4 where
// its mount options cannot be read.
WriteOut WriteOutFor(int fd) {
  struct statfs system {};
  if (fstatfs(fd, &system) != 0) return WriteOut::kFinish;
  switch (static_cast<unsigned long>(system.f_type)) {
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
      return WriteOut::kNone;
    case EXT4_SUPER_MAGIC: {
      struct stat info {};
      const std::string options =
          fstat(fd, &info) == 0
              ? SuperOptions(ReadKept(KeptMountTable()), info.st_dev)
              : "";
      if (options.find(",data=writeback,") != std::string::npos) {
        return WriteOut::kFinish;
      }
      if (options.empty() ||
          options.find(",noauto_da_alloc,") != std::string::npos) {
        return WriteOut::kStart;
      }
      return WriteOut::kNone;
    }
    default:
      return WriteOut::kFinish;
  }
}

// Writes out the temporary `fd` as its file system needs before a rename
// over an older frame (the frames' folder is one file system, learnt from
// the first); 0, or errno.
int WriteOutBeforeRename(int fd) {
  static const WriteOut write_out = WriteOutFor(fd);
  unsigned flags = 0;
  if (write_out == WriteOut::kStart) flags = SYNC_FILE_RANGE_WRITE;
  if (write_out == WriteOut::kFinish) {
    flags = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
            SYNC_FILE_RANGE_WAIT_AFTER;
  }
  if (flags == 0 || sync_file_range(fd, 0, 0, flags) == 0) return 0;
  // A system without the call (an emulator, a sandbox) writes the file out
  // and waits for it; a file system that writes out nothing this way leaves
  // the frame as a plain program's.
  if (errno == ENOSYS && fdatasync(fd) == 0) return 0;
  return errno == ENOSYS || errno == EINVAL ? 0 : errno;
}

// Puts the finished temporary `temp` under the frame's `name`; 0, or errno.
int PutTemporaryInPlace(const std::string& temp, const std::string& name) {
  return std::rename(temp.c_str(), name.c_str()) == 0 ? 0 : errno;
}

// A file system without room left, or the user's quota used up.
bool NoRoom(int error) { return error == ENOSPC || error == EDQUOT; }

// How putting a frame in place through a temporary file went.
enum class Replaced {
  kDone,         // the frame is in place
  kNoTemporary,  // no temporary file could be made (errno says why)
  kRefused,      // the name may be written but not replaced
  kNoRoom,       // no room for the temporary beside an older frame
};

// Writes `jpeg` to a temporary file beside `name`, with the mode and owner
// of what stands there (`existing`, `old`), and renames it into place. On
// any failure but the three it returns, prints the frame's line and ends
// the process; no temporary file is left behind in any case.
Replaced ReplaceThroughTemporary(const std::string& jpeg,
                                 const std::string& name, Existing existing,
                                 const struct stat& old) {
  std::string temp = TempTemplate(name);
  int fd;
  {
    // Between the file's creation and its mark as the run's own, an
    // interrupt would leave it behind.
    InterruptsDeferred defer;
    fd = MakeTemporary(&temp, FrameMode(existing, old));
    if (fd >= 0) MarkUnfinished(temp.c_str());
  }
  if (fd < 0) return Replaced::kNoTemporary;
  TakeModeAndOwner(fd, existing, old);
  int error = 0;
  if (!WriteAll(fd, jpeg.data(), jpeg.size(), WriteTo::kPlace)) error = errno;
  // A new frame's name held nothing to lose: it is written out as a plain
  // program's new file is, by the file system's own timers.
  if (error == 0 && existing == Existing::kRegular) {
    error = WriteOutBeforeRename(fd);
  }
  if (close(fd) != 0 && error == 0) error = errno;
  Replaced failed = Replaced::kDone;  // how, if the older frame stays
  {
    // Putting in place and taking away are one step for an interrupt: the
    // mark always names what is still unfinished.
    InterruptsDeferred defer;
    if (error == 0) error = PutTemporaryInPlace(temp, name);
    if (existing == Existing::kRegular) {
      // Where there is no room for a second copy of the frame, it goes
      // over the older one, as a plain program writes it.
      if (error == EPERM || error == EACCES) failed = Replaced::kRefused;
      if (NoRoom(error)) failed = Replaced::kNoRoom;
    }
    if (error != 0) unlink(temp.c_str());
    MarkUnfinished(nullptr);
  }
  if (failed != Replaced::kDone) return failed;
  if (error != 0) WriteFailed(name, error);
  return Replaced::kDone;
}

}  // namespace

void PutFrameInPlace(const std::string& jpeg, const char* prefix, int i) {
  const std::string name = FrameFileName(prefix, i);
  struct stat old {};
  const Existing existing = InspectOrDie(name, &old);
  if (existing == Existing::kOther) {
    WriteThroughOrDie(jpeg, name);
    return;
  }
  switch (ReplaceThroughTemporary(jpeg, name, existing, old)) {
    case Replaced::kDone:
      return;
    case Replaced::kNoTemporary:
      if (existing != Existing::kRegular) WriteFailed(name, errno);
      WriteInPlaceOrDie(jpeg, name);
      return;
    case Replaced::kRefused:
    case Replaced::kNoRoom:
      WriteInPlaceOrDie(jpeg, name);
      return;
  }
}

void KeepMountTable() { KeptMountTable(); }
