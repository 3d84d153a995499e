#include "report.h"

#include <gd.h>
#include <gd_errors.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// `c` as it stands in a one-line message, written to `out` (room for 4
// bytes); returns how many bytes. A newline in a path must not split the one
// line a script reads. Bytes 7 to 13 have letters of their own:
// \a \b \t \n \v \f \r.
size_t Escape(char c, char* out) {
  const unsigned char byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte != 0x7f) {
    out[0] = c;
    return 1;
  }
  if (byte >= '\a' && byte <= '\r') {
    out[0] = '\\';
    out[1] = "abtnvfr"[byte - '\a'];
    return 2;
  }
  out[0] = '\\';
  out[1] = 'x';
  out[2] = "0123456789abcdef"[byte >> 4];
  out[3] = "0123456789abcdef"[byte & 0xf];
  return 4;
}

}  // namespace

std::string PrintableName(const char* name) {
  std::string text;
  char escaped[4];
  for (const char* p = name; *p; ++p) text.append(escaped, Escape(*p, escaped));
  return text;
}

namespace {

// What a failure stops before it prints its line, while a StopBeforeDying
// lives.
void (*stop_before_dying)(void*) = nullptr;
void* stop_owner = nullptr;

void StopWhatRuns() {
  void (*stop)(void*) = stop_before_dying;
  stop_before_dying = nullptr;
  if (stop) stop(stop_owner);
}

}  // namespace

StopBeforeDying::StopBeforeDying(void (*stop)(void* owner), void* owner) {
  stop_before_dying = stop;
  stop_owner = owner;
}

StopBeforeDying::~StopBeforeDying() { stop_before_dying = nullptr; }

void Note(const char* line) { std::fprintf(stderr, "jpegfade: %s\n", line); }

void Die(const char* line) {
  StopWhatRuns();
  std::puts(line);
  std::exit(kFailureStatus);
}

void DieWithUsage(const char* line) {
  // Standard output stays the one line scripts read; the hint is for people.
  // Flushed in this order, the two lines also come in this order with 2>&1.
  StopWhatRuns();
  std::puts(line);
  std::fflush(stdout);
  std::fputs("usage: jpegfade FIRST SECOND PREFIX ALPHA (see man jpegfade)\n",
             stderr);
  std::exit(kFailureStatus);
}

void DieWithPath(const char* format, const char* name) {
  DieWithReason(format, name, 0);
}

void DieWithReason(const char* format, const char* name, int error) {
  // Standard output keeps the one line scripts read, flushed first so that
  // with 2>&1 the reason follows it.
  StopWhatRuns();
  std::printf(format, PrintableName(name).c_str());
  std::putchar('\n');
  std::fflush(stdout);
  if (error != 0) {
    std::fprintf(stderr, "jpegfade: %s: %s\n", PrintableName(name).c_str(),
                 std::strerror(error));
  }
  std::exit(kFailureStatus);
}

namespace {

// Per thread: a frame encoded by a worker has its own count and lines,
// which the writer reports when it reaches that frame.
thread_local int library_failures = 0;
thread_local std::string* held_messages = nullptr;

// This runs under the library's C frames, often because memory ran out: it
// allocates nothing, and nothing thrown leaves it.
void PrintLibraryMessage(int priority, const char* format, va_list args) {
  if (priority <= GD_WARNING) ++library_failures;
  char text[kLibraryMessageBytes];
  if (std::vsnprintf(text, sizeof text, format, args) < 0) return;
  PrintLibraryText(text);
}

}  // namespace

// The library writes its messages without a final newline, so with 2>&1 the
// tool's own line would run on from them; each becomes a line of its own.
// A failure inside the encoder shows only here: it gives up on the frame
// and returns as if nothing happened.
void PrintLibraryText(const char* message) {
  char text[kLibraryMessageBytes];
  std::snprintf(text, sizeof text, "%s", message);
  size_t end = std::strlen(text);
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  text[end] = '\0';
  char line[sizeof text * 4 + 16] = "jpegfade: ";
  size_t at = std::strlen(line);
  for (const char* p = text; *p; ++p) at += Escape(*p, line + at);
  line[at++] = '\n';
  line[at] = '\0';
  if (!held_messages) {
    std::fputs(line, stderr);
    return;
  }
  try {
    *held_messages += line;
  } catch (...) {
    // A worker's lines are only kept for a frame it may have to give up.
  }
}

void ReportLibraryMessages() { gdSetErrorMethod(PrintLibraryMessage); }

int LibraryFailures() { return library_failures; }

void HoldLibraryMessages(std::string* held) { held_messages = held; }
