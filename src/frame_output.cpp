#include "frame_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "metadata.h"
#include "report.h"

std::string FrameFileName(const char* prefix, int i) {
  // The prefix is data, never a format: a '%' in it stays as it is. The name
  // grows with the prefix; only the system limits its length.
  char number[16];
  std::snprintf(number, sizeof number, "%02d", i);
  return std::string(prefix) + number + ".JPG";
}

namespace {

const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// What an interrupt must take away: the temporary file a frame is being
// written to, or, where its folder takes no new file, the frame file being
// written in place (removed, or emptied through its descriptor where it
// cannot be removed). Set and cleared only while interrupts are deferred.
const char* volatile unfinished_temp = nullptr;
const char* volatile unfinished_in_place = nullptr;
volatile int unfinished_fd = -1;

// Set while an interrupt must wait for the end of a step, and the interrupt
// that came meanwhile.
volatile sig_atomic_t deferring = 0;
volatile sig_atomic_t deferred = 0;

// Only async-signal-safe calls: it runs in the handler.
void TakeAwayUnfinishedAndDie(int signal) {
  if (unfinished_temp) {
    unlink(unfinished_temp);
  } else if (unfinished_in_place && unlink(unfinished_in_place) != 0 &&
             ftruncate(unfinished_fd, 0) != 0) {
    // Neither removed nor emptied: the status still tells of the failure.
  }
  // The handler stays installed until now, so a second copy of the signal
  // (timeout(1) sends one to the child and one to its group) waits for this
  // one instead of killing the process before the file is gone. In the
  // handler the signal is held until it returns, after a deferred step not
  // at all; then the default action ends the process, and a shell sees 130,
  // 143 or 129.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  raise(signal);
}

void OnInterrupt(int signal) {
  if (deferring) {
    deferred = signal;
    return;
  }
  TakeAwayUnfinishedAndDie(signal);
}

// A step an interrupt must not cut in two (a file made but not yet marked
// as the run's own, a frame put in place but still marked) defers it to the
// step's end: plain stores, where holding it would take two system calls.
void DeferInterrupts(bool defer) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  deferring = defer;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (!defer && deferred) TakeAwayUnfinishedAndDie(deferred);
}

sigset_t InterruptSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kInterrupts) sigaddset(&set, signal);
  return set;
}


void SetUnfinished(const char* temp, const char* in_place, int fd) {
  unfinished_temp = temp;
  unfinished_in_place = in_place;
  unfinished_fd = fd;
}

// What is under a frame's name before the frame is written.
enum class Existing {
  kNothing,  // nothing yet: the frame is a new file
  kRegular,  // a regular file: replaced, keeping its mode and owner
  kOther,    // a FIFO, a device or a link the user named: written through
};

mode_t CurrentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// A replaced frame keeps the old file's permission bits, and its owner and
// group where this process may give them; a new one gets what fopen would
// give it.
void TakeModeAndOwner(int fd, Existing existing, const struct stat& old) {
  static const mode_t mask = CurrentUmask();
  static const uid_t user = geteuid();
  static const gid_t group = getegid();
  // mkstemp made the file 0600, owned by this process's user and group.
  const mode_t mode = existing == Existing::kRegular ? old.st_mode & 07777
                                                     : 0666 & ~mask;
  if (existing == Existing::kRegular &&
      (old.st_uid != user || old.st_gid != group) &&
      fchown(fd, old.st_uid, old.st_gid) != 0 &&
      fchown(fd, -1, old.st_gid) != 0) {
    // Neither: the frame belongs to whoever runs the tool, as a new one would.
  }
  if (mode != 0600) fchmod(fd, mode);
}

// The rename replaces a file whatever its permissions, so a frame the user
// may not write is refused here, as opening it "wb" would refuse it.
Existing InspectOrDie(const std::string& name, struct stat* info) {
  if (lstat(name.c_str(), info) != 0) return Existing::kNothing;
  if (!S_ISREG(info->st_mode)) return Existing::kOther;
  if (faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) != 0) {
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

bool IsRegularFile(FILE* stream) {
  struct stat info;
  return fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

void HoldInterrupts(bool hold) {
  static const sigset_t set = InterruptSet();
  pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void RemoveUnfinishedFrameOnInterrupt() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  action.sa_mask = InterruptSet();
  // A deferred interrupt returns: what it cut into goes on.
  action.sa_flags = SA_RESTART;
  for (int signal : kInterrupts) {
    struct sigaction old {};
    // A signal ignored on entry (nohup, a background job) stays ignored.
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal, &action, nullptr);
  }
}

namespace {

// Puts frame `i` in place, with `write(out)` writing its bytes into the
// stream and telling whether the library reported nothing while it did.
template <typename Write>
void PutFrameInPlace(const char* prefix, int i, Write write) {
  const std::string name = FrameFileName(prefix, i);
  struct stat old;
  const Existing existing = InspectOrDie(name, &old);
  std::string temp;  // the temporary file, while there is one
  FILE* out = nullptr;
  bool ours = false;
  if (existing == Existing::kOther) {
    out = std::fopen(name.c_str(), "wb");
  } else {
    temp = TempTemplate(name);
    // Between the file's creation and its mark as the run's own, an
    // interrupt would leave it behind.
    DeferInterrupts(true);
    const int fd = mkstemp(&temp[0]);
    if (fd >= 0) {
      TakeModeAndOwner(fd, existing, old);
      out = fdopen(fd, "wb");
      if (out) {
        SetUnfinished(temp.c_str(), nullptr, -1);
      } else {
        close(fd);
        unlink(temp.c_str());
      }
    } else {
      // The folder takes no new file (not writable, read-only), but the
      // frame itself may be writable: written in place, as a plain program
      // would, and taken away if it is not finished.
      temp.clear();
      out = std::fopen(name.c_str(), "wb");
      if (out && IsRegularFile(out)) {
        SetUnfinished(nullptr, name.c_str(), fileno(out));
      }
    }
    ours = unfinished_temp || unfinished_in_place;
    DeferInterrupts(false);
  }
  if (!out) DieWithReason(kFileWriteError, name.c_str(), errno);

  // A failed write shows in the stream's error flag, and a failed flush
  // (disk full, file-size limit) in fflush or fclose. Any of them, or a
  // message from the library, leaves the frame incomplete.
  int error = 0;
  bool complete = write(out);
  if (complete && (std::fflush(out) != 0 || std::ferror(out))) {
    error = errno;
    complete = false;
  }
  // Closing, putting in place and taking away are one step for an interrupt:
  // the mark always names what is still unfinished.
  if (ours) DeferInterrupts(true);
  if (std::fclose(out) != 0 && complete) {
    error = errno;
    complete = false;
  }
  if (complete && !temp.empty() && std::rename(temp.c_str(), name.c_str())) {
    error = errno;
    complete = false;
  }
  if (!complete && ours) {
    if (!temp.empty()) {
      unlink(temp.c_str());
    } else if (unlink(name.c_str()) != 0 && truncate(name.c_str(), 0) != 0) {
      // Neither removed nor emptied: the status still tells of the failure.
    }
  }
  SetUnfinished(nullptr, nullptr, -1);
  if (ours) DeferInterrupts(false);
  if (!complete) DieWithReason(kFileWriteError, name.c_str(), error);
}

}  // namespace

bool EncodeFrame(gdImagePtr canvas, const std::string& segments,
                 std::string* jpeg) {
  // The encoder returns nothing but its bytes: a failure inside it (no
  // memory, a size JPEG cannot hold) shows only as a message from the
  // library.
  const int failures = LibraryFailures();
  int size = 0;
  void* bytes = gdImageJpegPtr(canvas, &size, -1);
  if (!bytes) return false;
  jpeg->assign(static_cast<char*>(bytes), size);
  gdFree(bytes);
  if (!segments.empty()) *jpeg = WithSegments(*jpeg, segments);
  return LibraryFailures() == failures;
}

void WriteFrame(gdImagePtr canvas, const std::string& segments,
                const char* prefix, int i) {
  PutFrameInPlace(prefix, i, [&](FILE* out) {
    // Straight into the stream, as a plain program would, unless the frame
    // carries segments of its own: then in memory first, to put them in.
    const int failures = LibraryFailures();
    std::string jpeg;
    if (segments.empty()) {
      gdImageJpeg(canvas, out, -1);
    } else if (EncodeFrame(canvas, segments, &jpeg)) {
      std::fwrite(jpeg.data(), 1, jpeg.size(), out);
    }
    return LibraryFailures() == failures;
  });
}

void WriteEncodedFrame(const std::string& jpeg, const char* prefix, int i) {
  PutFrameInPlace(prefix, i, [&](FILE* out) {
    std::fwrite(jpeg.data(), 1, jpeg.size(), out);
    return true;
  });
}
