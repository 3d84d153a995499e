#include "report.h"

#include <gd.h>
#include <gd_errors.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "progress.h"

namespace {

// Whether `code` is a bidirectional control: one in a name can make a
// terminal show the rest of the line in another order than its bytes, so
// that a name seems to end in ".jpg" when it does not.
bool IsBidiControl(char32_t code) {
  return code == 0x061c || code == 0x200e || code == 0x200f ||
         (code >= 0x202a && code <= 0x202e) ||
         (code >= 0x2066 && code <= 0x2069);
}

// The length of the valid UTF-8 sequence at the start of `bytes`, with its
// code point in `*code`; 0 when the bytes there are none: an overlong form,
// a surrogate, a code point past U+10FFFF, a cut sequence, a stray
// continuation byte. The nul that ends `bytes` is no continuation byte, so
// nothing past it is read.
size_t DecodeSequence(const unsigned char* bytes, char32_t* code) {
  const unsigned char lead = bytes[0];
  size_t length = 1;
  char32_t least = 0;
  if (lead < 0x80) {
    *code = lead;
  } else if (lead >= 0xc0 && lead < 0xe0) {
    length = 2;
    least = 0x80;
    *code = lead & 0x1f;
  } else if (lead >= 0xe0 && lead < 0xf0) {
    length = 3;
    least = 0x800;
    *code = lead & 0x0f;
  } else if (lead >= 0xf0 && lead < 0xf8) {
    length = 4;
    least = 0x10000;
    *code = lead & 0x07;
  } else {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if ((bytes[i] & 0xc0) != 0x80) return 0;
    *code = *code << 6 | (bytes[i] & 0x3f);
  }
  if (*code < least || *code > 0x10ffff ||
      (*code >= 0xd800 && *code <= 0xdfff)) {
    return 0;
  }
  return length;
}

// `byte` as an escape, written to `out`; returns how many bytes, 2 or 4.
// Bytes 7 to 13 have letters of their own: \a \b \t \n \v \f \r.
size_t EscapeByte(unsigned char byte, char* out) {
  out[0] = '\\';
  if (byte >= '\a' && byte <= '\r') {
    out[1] = "abtnvfr"[byte - '\a'];
    return 2;
  }
  out[1] = 'x';
  out[2] = "0123456789abcdef"[byte >> 4];
  out[3] = "0123456789abcdef"[byte & 0xf];
  return 4;
}

// The most bytes EscapeNext writes: a four-byte sequence, each byte escaped.
constexpr size_t kMostEscapedBytes = 4 * 4;

// Writes the next sequence of the nul-ended `*text`, not at its end, to
// `out` as it may stand in a one-line message on a terminal, and moves
// `*text` past it; returns how many bytes it wrote, at most 4 for each byte
// it moved past. A newline in a path must not split the one line a script
// reads; a terminal acts on controls, C0 or C1, raw or encoded, and takes
// a byte that begins no valid sequence as it likes (0x9b begins a control
// sequence on some), so those are escaped byte by byte. An invalid byte is
// escaped alone: the bytes after it are looked at anew, as they may begin a
// valid sequence of their own.
size_t EscapeNext(const char** text, char* out) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(*text);
  char32_t code = 0;
  const size_t length = DecodeSequence(bytes, &code);
  if (length == 0) {
    ++*text;
    return EscapeByte(bytes[0], out);
  }
  *text += length;
  if (code >= 0x20 && (code < 0x7f || code > 0x9f) && !IsBidiControl(code)) {
    std::memcpy(out, bytes, length);
    return length;
  }
  size_t written = 0;
  for (size_t i = 0; i < length; ++i) {
    written += EscapeByte(bytes[i], out + written);
  }
  return written;
}

}  // namespace

std::string PrintableName(const char* name) {
  std::string text;
  char escaped[kMostEscapedBytes];
  for (const char* p = name; *p;) text.append(escaped, EscapeNext(&p, escaped));
  return text;
}

namespace {

// What a failure stops before it prints its line, while a StopBeforeDying
// lives.
void (*stop_before_dying)(void*) = nullptr;
void* stop_owner = nullptr;

// The progress line goes first, so that the failure's lines stand alone on
// the screen.
void StopWhatRuns() {
  EraseProgress();
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

// A line printed over the progress line would run on from it.
void Note(const char* line) {
  EraseProgress();
  std::fprintf(stderr, "jpegfade: %s\n", line);
}

void Die(const char* line) {
  StopWhatRuns();
  std::puts(line);
  std::exit(kFailureStatus);
}

void DieWithUsage(const char* line, const char* reason) {
  // Standard output stays the one line scripts read; the hint is for people.
  // Flushed in this order, the lines also come in this order with 2>&1.
  StopWhatRuns();
  std::puts(line);
  std::fflush(stdout);
  if (reason) std::fprintf(stderr, "jpegfade: %s\n", reason);
  std::fputs("usage: jpegfade FIRST SECOND PREFIX ALPHA (see man jpegfade)\n",
             stderr);
  std::exit(kFailureStatus);
}

void DieWithNote(const char* line, const std::string& note) {
  StopWhatRuns();
  std::puts(line);
  std::fflush(stdout);
  std::fprintf(stderr, "jpegfade: %s\n", note.c_str());
  std::exit(kFailureStatus);
}

void DieWithPath(const char* format, const char* name) {
  DieWithReason(format, name, 0);
}

void DieWithReason(const char* format, const char* name, int error) {
  DieExplained(format, name, error != 0 ? std::strerror(error) : "");
}

void DieExplained(const char* format, const char* name,
                  const std::string& reason) {
  // Standard output keeps the one line scripts read, flushed first so that
  // with 2>&1 the reason follows it.
  StopWhatRuns();
  std::printf(format, PrintableName(name).c_str());
  std::putchar('\n');
  std::fflush(stdout);
  if (!reason.empty()) {
    std::fprintf(stderr, "jpegfade: %s: %s\n", PrintableName(name).c_str(),
                 reason.c_str());
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
  // Each byte of `text` takes at most 4 in `line`, which holds them all with
  // the prefix, the newline and the nul.
  static_assert(sizeof line >= sizeof "jpegfade: " + 4 * (sizeof text - 1) + 1);
  size_t at = std::strlen(line);
  for (const char* p = text; *p;) at += EscapeNext(&p, line + at);
  line[at++] = '\n';
  line[at] = '\0';
  if (!held_messages) {
    EraseProgress();
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
