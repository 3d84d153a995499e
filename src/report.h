// How the tool speaks: one line on standard output for the failure that ends
// a run, and the library's own messages as lines on standard error.
#ifndef JPEGFADE_REPORT_H_
#define JPEGFADE_REPORT_H_

#include <string>

/// `name` as it can stand in a one-line message: each byte below 0x20 and
/// 0x7f as a C escape ("\n", "\t", "\x1b"), every other byte as it is.
std::string PrintableName(const char* name);

/// Prints `line` and a newline on standard output; ends the process with
/// status 255.
[[noreturn]] void Die(const char* line);

/// Die(`line`), and then, for a person at the terminal, the usage line on
/// standard error: "usage: jpegfade FIRST SECOND PREFIX ALPHA (see man
/// jpegfade)".
[[noreturn]] void DieWithUsage(const char* line);

/// Prints `format` with PrintableName(`name`) in place of its one "%s" on
/// standard output; ends the process with status 255.
[[noreturn]] void DieWithPath(const char* format, const char* name);

/// DieWithPath(`format`, `name`), and then, for a person, the system's
/// reason on standard error: "jpegfade: NAME: REASON" (strerror(`error`));
/// no reason line when `error` is 0.
[[noreturn]] void DieWithReason(const char* format, const char* name,
                                int error);

/// From now on the library's messages go to standard error, each as one line
/// "jpegfade: MESSAGE", and its warnings and errors are counted.
void ReportLibraryMessages();

/// How many warnings and errors the library has reported so far in this
/// thread.
int LibraryFailures();

/// From now on, in this thread, the library's lines are appended to `held`
/// instead of printed; with nullptr they are printed again.
void HoldLibraryMessages(std::string* held);

#endif  // JPEGFADE_REPORT_H_
