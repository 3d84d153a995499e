#include "progress.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "whole_io.h"

namespace {

constexpr int64_t kSecond = 1000000000;  // in nanoseconds
// A run shorter than this leaves the terminal untouched: a line that comes
// and goes at once tells nothing.
constexpr int64_t kShownAfter = kSecond;
// Redrawn no more often, so that a run of small frames pays for a draw
// only a few times a second, whatever its frame rate.
constexpr int64_t kRedrawEvery = kSecond / 4;
// The line's longest text: it must stay one row on any usual terminal,
// since "\r" only goes back to the start of the row the cursor is on and
// the line could not be erased in place once it wrapped. The width cannot
// be asked here: the confined writer may not query the terminal's size.
constexpr size_t kMostColumns = 59;

int64_t Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * kSecond + now.tv_nsec;
}

// The run starts with the process, so that the time spent decoding the
// pictures counts towards the second before the line is shown.
const int64_t run_start = Now();

enum class Terminal { kNotAskedYet, kNo, kYes };
Terminal terminal = Terminal::kNotAskedYet;

int64_t next_draw = 0;  // the line is drawn no earlier
// Where the rate of frames is counted from: the first frame in place, since
// the time before it went into decoding, not into frames.
int64_t frames_start = 0;
int frames_start_done = 0;

// Whether the line may be on the screen; the interrupt handler reads it.
volatile sig_atomic_t shown = 0;

// `seconds` as M:SS, or H:MM:SS from an hour on.
void FormatTime(int64_t seconds, char* out, size_t size) {
  if (seconds >= 3600) {
    std::snprintf(
        out, size, "%lld:%02d:%02d", static_cast<long long>(seconds / 3600),
        static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  } else {
    std::snprintf(out, size, "%d:%02d", static_cast<int>(seconds / 60),
                  static_cast<int>(seconds % 60));
  }
}

void Draw(int done, int total, int64_t now) {
  // The time left at the rate so far; where no frame has followed the first
  // yet, at the rate of the whole run.
  const bool counted = done > frames_start_done;
  const double per_frame =
      counted
          ? static_cast<double>(now - frames_start) / (done - frames_start_done)
          : static_cast<double>(now - run_start) / (done > 0 ? done : 1);
  char so_far[32];
  char left[32];
  FormatTime((now - run_start) / kSecond, so_far, sizeof so_far);
  FormatTime(static_cast<int64_t>(per_frame * (total - done) / kSecond), left,
             sizeof left);
  // "\r", the text cut to kMostColumns, "\x1b[K" (erases what a longer draw
  // left to the right).
  // 128 holds the longest text: two ten-digit counts and two times.
  char line[1 + 128 + 3];
  line[0] = '\r';
  const int length = std::snprintf(line + 1, sizeof line - 1 - 3,
                                   "frame %d of %d, %s so far, %s left", done,
                                   total, so_far, left);
  if (length < 0) return;
  const size_t end = 1 + std::min(static_cast<size_t>(length), kMostColumns);
  std::memcpy(line + end, "\x1b[K", 3);
  // Marked shown before the write: an interrupt between the two then erases
  // a line not yet drawn, which is harmless, rather than leave one drawn.
  shown = 1;
  WriteWhole(STDERR_FILENO, line, end + 3);
}

}  // namespace

void ShowProgress(int done, int total) {
  if (terminal == Terminal::kNo) return;
  if (terminal == Terminal::kNotAskedYet) {
    // Asked once: a run whose standard error is a file or a pipe writes not
    // one byte more, and pays no clock read a frame.
    terminal = isatty(STDERR_FILENO) ? Terminal::kYes : Terminal::kNo;
    if (terminal == Terminal::kNo) return;
    frames_start = Now();
    frames_start_done = done;
    next_draw = run_start + kShownAfter;
  }
  if (done >= total) {
    // The run's last frame: nothing of the line is left behind it.
    EraseProgress();
    return;
  }
  const int64_t now = Now();
  if (now < next_draw) return;
  next_draw = now + kRedrawEvery;
  // A run sent to the background (`&`, ^Z then bg) would draw over the
  // shell's prompt, or be stopped where the terminal stops background
  // writers: only the terminal's foreground job draws.
  if (tcgetpgrp(STDERR_FILENO) != getpgrp()) {
    EraseProgress();
    return;
  }
  Draw(done, total, now);
}

void EraseProgress() {
  if (!shown) return;
  const int saved = errno;
  WriteWhole(STDERR_FILENO, "\r\x1b[K", 4);  // async-signal-safe
  // Cleared only once erased: an interrupt in between erases it again,
  // which is harmless, rather than find it cleared and leave it drawn.
  shown = 0;
  errno = saved;
}
