// How the tool speaks: one line on standard output for the failure that ends
// a run, and the library's own messages as lines on standard error.
#ifndef JPEGFADE_REPORT_H_
#define JPEGFADE_REPORT_H_

#include <cstddef>
#include <string>

/// The status of every failure: -1 to exit(3), which a shell sees as 255.
constexpr int kFailureStatus = -1;

/// The lines the tool prints on standard output, each for the failure that
/// ends a run with kFailureStatus, in the order the checks run; "%s" stands
/// for a path or a frame's name.
constexpr char kArgumentError[] = "argument error";
constexpr char kFileOpenError[] = "file open error for %s";
constexpr char kMissingAlpha[] = "missing alpha, input correctly";
constexpr char kAlphaOutOfRange[] = "alpha out of range, input correctly";
constexpr char kOutOfMemory[] = "out of memory for %s";
constexpr char kFileDecodeError[] = "file decode error for %s";
constexpr char kDifferentSize[] =
    "Input has different size, please input images have same size";
constexpr char kCanvasCreateError[] = "canvas create error";
constexpr char kFileWriteError[] = "file write error for %s";
constexpr const char* kMessages[] = {
    kArgumentError,   kFileOpenError,  kMissingAlpha,
    kAlphaOutOfRange, kOutOfMemory,    kFileDecodeError,
    kDifferentSize,   kCanvasCreateError, kFileWriteError};

/// `name` as it can stand in a one-line message on a terminal. Escaped, each
/// byte as "\xNN" (two lower-case hex digits), or bytes 7 to 13 as "\a" "\b"
/// "\t" "\n" "\v" "\f" "\r": the bytes below 0x20 and 0x7f; the C1
/// controls, alone (0x80 to 0x9f) or in UTF-8 (U+0080 to U+009F: both
/// bytes, "\xc2\x9b"); every byte that is not part of a valid UTF-8 sequence
/// (an overlong form, a surrogate, a code point past U+10FFFF, a cut
/// sequence, a stray continuation byte, 0xc0, 0xc1, 0xf5 to 0xff); every
/// byte of the bidirectional controls U+061C, U+200E, U+200F, U+202A to
/// U+202E and U+2066 to U+2069 ("\xe2\x80\xae"). Any other valid UTF-8 is
/// kept as it is: "café.jpg", "写真.jpg".
std::string PrintableName(const char* name);

/// Prints `line` and a newline on standard output; ends the process with
/// kFailureStatus.
[[noreturn]] void Die(const char* line);

/// Die(`line`), and then, for a person at the terminal, on standard error
/// "jpegfade: `reason`" where it is given, and the usage line: "usage:
/// jpegfade FIRST SECOND PREFIX ALPHA (see man jpegfade)".
[[noreturn]] void DieWithUsage(const char* line, const char* reason = nullptr);

/// Die(`line`), and then, for a person, "jpegfade: `note`" on standard
/// error.
[[noreturn]] void DieWithNote(const char* line, const std::string& note);

/// Prints `format` with PrintableName(`name`) in place of its one "%s", and
/// a newline, on standard output; ends the process with kFailureStatus.
[[noreturn]] void DieWithPath(const char* format, const char* name);

/// DieWithPath(`format`, `name`), and then, for a person, the system's
/// reason on standard error: "jpegfade: NAME: REASON" (strerror(`error`));
/// no reason line when `error` is 0.
[[noreturn]] void DieWithReason(const char* format, const char* name,
                                int error);

/// DieWithPath(`format`, `name`), and then, for a person, `reason` on
/// standard error: "jpegfade: NAME: REASON"; no reason line when it is empty.
[[noreturn]] void DieExplained(const char* format, const char* name,
                               const std::string& reason);

/// "jpegfade: `line`" on standard error, for a person; standard output and
/// the status are unchanged.
void Note(const char* line);

/// From now on the library's messages go to standard error, each as one line
/// "jpegfade: MESSAGE", and its warnings and errors are counted.
void ReportLibraryMessages();

/// While one lives, a failure that ends the process first calls `stop` with
/// `owner`, before its line is printed: threads that must not still run
/// while the process is taken apart are stopped there. One at a time, in the
/// thread that reports failures.
struct StopBeforeDying {
  StopBeforeDying(void (*stop)(void* owner), void* owner);
  ~StopBeforeDying();
  StopBeforeDying(const StopBeforeDying&) = delete;
  StopBeforeDying& operator=(const StopBeforeDying&) = delete;
};

/// The most bytes of one library message that are kept; the rest is cut.
constexpr size_t kLibraryMessageBytes = 1024;

/// Prints `message`, a library message's text, as the library's messages
/// are printed (or held) in this thread: one line "jpegfade: MESSAGE", cut
/// at kLibraryMessageBytes (a sequence cut there is invalid, so escaped) and
/// then escaped as PrintableName escapes a name.
void PrintLibraryText(const char* message);

/// How many warnings and errors the library has reported so far in this
/// thread.
int LibraryFailures();

/// From now on, in this thread, the library's lines are appended to `held`
/// instead of printed; with nullptr they are printed again.
void HoldLibraryMessages(std::string* held);

#endif  // JPEGFADE_REPORT_H_
