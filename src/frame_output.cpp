#include "frame_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

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

// The frame file an interrupt must take away, prepared before it was opened;
// set only while a regular file this run created or truncated is incomplete.
const char* volatile unfinished_frame = nullptr;

void RemoveUnfinishedFrameAndDie(int signal) {
  const char* name = unfinished_frame;
  if (name) unlink(name);
  // The default action is back (SA_RESETHAND) and the signal is held until
  // this returns, so the process then ends by it: a shell sees 130, 143 or
  // 129 and a calling loop stops.
  raise(signal);
}

sigset_t InterruptSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kInterrupts) sigaddset(&set, signal);
  return set;
}

// While a frame file is opened and marked as the run's own, interrupts wait:
// one in between would leave an empty file behind.
void HoldInterrupts(bool hold) {
  static const sigset_t set = InterruptSet();
  sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

// A FIFO, a device or a link the user named as a frame is written through
// like any stream, and never removed. Only a name that is a regular file, or
// none yet, can become the run's own; its open does not wait on a reader, so
// it may be held from interrupts.
bool MayBecomeOurs(const std::string& name) {
  struct stat info;
  return lstat(name.c_str(), &info) != 0 || S_ISREG(info.st_mode);
}

bool IsRegularFile(FILE* stream) {
  struct stat info;
  return fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

void RemoveUnfinishedFrameOnInterrupt() {
  struct sigaction action {};
  action.sa_handler = RemoveUnfinishedFrameAndDie;
  action.sa_flags = SA_RESETHAND;
  action.sa_mask = InterruptSet();
  for (int signal : kInterrupts) {
    struct sigaction old {};
    // A signal ignored on entry (nohup, a background job) stays ignored.
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal, &action, nullptr);
  }
}

void WriteFrame(gdImagePtr canvas, const char* prefix, int i) {
  const std::string name = FrameFileName(prefix, i);
  const bool may_be_ours = MayBecomeOurs(name);
  if (may_be_ours) HoldInterrupts(true);
  FILE* out = std::fopen(name.c_str(), "wb");
  const bool ours = out && may_be_ours && IsRegularFile(out);
  if (ours) unfinished_frame = name.c_str();
  if (may_be_ours) HoldInterrupts(false);
  // Nothing was created or truncated, so there is nothing to remove.
  if (!out) DieWithPath("file write error for %s\n", name.c_str());

  // The encoder returns nothing: a failure inside it (no memory, a size JPEG
  // cannot hold, a failed write) shows only as a message from the library, a
  // failed write in the stream's error flag, and a failed flush (disk full,
  // file-size limit) in fflush or fclose. Any of them leaves the frame
  // incomplete. Once flushed, the frame is whole in the file, and an
  // interrupt may leave it there.
  const int failures = LibraryFailures();
  gdImageJpeg(canvas, out, -1);
  bool complete = LibraryFailures() == failures && std::fflush(out) == 0 &&
                  !std::ferror(out);
  if (complete) unfinished_frame = nullptr;
  complete = std::fclose(out) == 0 && complete;
  if (!complete) {
    if (ours) std::remove(name.c_str());
    unfinished_frame = nullptr;
    DieWithPath("file write error for %s\n", name.c_str());
  }
}
