#include "report.h"

#include <gd.h>
#include <gd_errors.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string PrintableName(const char* name) {
  std::string text;
  for (const char* p = name; *p; ++p) {
    const unsigned char byte = static_cast<unsigned char>(*p);
    if (byte >= 0x20 && byte != 0x7f) {
      text += *p;
      continue;
    }
    // A newline in a path must not split the one line a script reads.
    // Bytes 7 to 13 have letters of their own: \a \b \t \n \v \f \r.
    char escape[8];
    if (byte >= '\a' && byte <= '\r') {
      std::snprintf(escape, sizeof escape, "\\%c", "abtnvfr"[byte - '\a']);
    } else {
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
    }
    text += escape;
  }
  return text;
}

void Die(const char* line) {
  std::puts(line);
  std::exit(kFailureStatus);
}

void DieWithUsage(const char* line) {
  // Standard output stays the one line scripts read; the hint is for people.
  // Flushed in this order, the two lines also come in this order with 2>&1.
  std::puts(line);
  std::fflush(stdout);
  std::fputs("usage: jpegfade FIRST SECOND PREFIX ALPHA (see man jpegfade)\n",
             stderr);
  std::exit(kFailureStatus);
}

void DieWithPath(const char* format, const char* name) {
  std::printf(format, PrintableName(name).c_str());
  std::putchar('\n');
  std::exit(kFailureStatus);
}

void DieWithReason(const char* format, const char* name, int error) {
  // Standard output keeps the one line scripts read, flushed first so that
  // with 2>&1 the reason follows it.
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

// The library writes its messages without a final newline, so with 2>&1 the
// tool's own line would run on from them; each becomes a line of its own.
// A failure inside the encoder shows only here: it gives up on the frame
// and returns as if nothing happened.
void PrintLibraryMessage(int priority, const char* format, va_list args) {
  if (priority <= GD_WARNING) ++library_failures;
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (size < 0) return;
  std::string text(static_cast<size_t>(size) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<size_t>(size));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  const std::string line = "jpegfade: " + PrintableName(text.c_str()) + "\n";
  if (held_messages) {
    *held_messages += line;
  } else {
    std::fputs(line.c_str(), stderr);
  }
}

}  // namespace

void ReportLibraryMessages() { gdSetErrorMethod(PrintLibraryMessage); }

int LibraryFailures() { return library_failures; }

void HoldLibraryMessages(std::string* held) { held_messages = held; }
