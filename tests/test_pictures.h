// Pictures and files for the tests, made with the library itself.
#ifndef JPEGFADE_TESTS_TEST_PICTURES_H_
#define JPEGFADE_TESTS_TEST_PICTURES_H_

#include <gd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Built with the address sanitizer, whose shadow memory needs more address
// space than the tests' address-space limits leave.
#if defined(__SANITIZE_ADDRESS__)
#define JPEGFADE_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define JPEGFADE_UNDER_ASAN 1
#endif
#endif

struct ImageDeleter {
  void operator()(gdImagePtr image) const { gdImageDestroy(image); }
};
using Image = std::unique_ptr<gdImage, ImageDeleter>;

/// The first picture's weight in frame `i` of `alpha`, written out here
/// apart from the tool: (1.0 / (alpha - 1)) * i, and 0 for a single frame.
inline double ReferenceWeight(int i, int alpha) {
  return alpha > 1 ? (1.0 / (alpha - 1)) * i : 0.0;
}

/// One channel of a frame, written out here apart from the tool.
inline int ReferenceMix(int c1, int c2, double t) {
  return static_cast<int>(c2 * (1.0 - t) + c1 * t);
}

/// Whether a limit on `resource` (RLIMIT_AS, RLIMIT_DATA) set by this
/// process binds it: qemu-user takes the call and ignores it.
bool ResourceLimitHolds(int resource);

/// Whether a seccomp filter this process loads holds: not under qemu-user,
/// which refuses filters, so that nothing is confined there.
bool SeccompHolds();

/// Whether address-space and data-size limits can be tested here: they
/// hold (not under qemu-user), and the build has no address sanitizer,
/// whose shadow memory needs more address space than they leave.
bool MemoryLimitsTestable();

/// In a test body: skips the test where MemoryLimitsTestable() is false.
#define SKIP_UNLESS_MEMORY_LIMITS_TESTABLE()                            \
  if (!MemoryLimitsTestable())                                          \
  GTEST_SKIP() << "memory limits do not hold, or the address sanitizer's " \
                  "shadow needs more address space"

/// The command line that runs the built `program` with `args`: through the
/// emulator where the tests run on another architecture's binaries.
std::vector<std::string> ToolCommand(const std::string& program,
                                     const std::vector<std::string>& args);

/// A fresh empty folder under the system's temporary folder.
std::string MakeTempFolder();

/// A true-colour picture whose channels vary from pixel to pixel, different
/// for each `seed`, with some alpha bits set that a blend must drop.
Image MakeTrueColorPicture(int width, int height, unsigned seed);

/// Smooth photo-like content with some texture and a little noise, so that
/// the encoder works about as hard as on a photograph; different for each
/// `seed`.
Image MakePhotoLikePicture(int width, int height, int seed);

/// Writes `image` as a JPEG at the library's default quality to `path`.
void SaveJpeg(gdImagePtr image, const std::string& path);

/// Decodes the JPEG at `path`; null if it does not decode.
Image LoadJpeg(const std::string& path);

/// `image` encoded as a JPEG at the library's default quality.
std::string EncodeJpeg(gdImagePtr image);

/// The bytes of the file at `path`; empty if it cannot be read.
std::string ReadFileBytes(const std::string& path);

/// Writes `bytes` to the file at `path`, replacing it.
void WriteFileBytes(const std::string& path, const std::string& bytes);

/// A stream of `bytes` like a pipe's, which cannot be rewound (fmemopen), or
/// with `as_file` like a regular file's; null if none can be made (an
/// empty pipe). `bytes` must outlive the stream.
FILE* OpenAsStream(std::string* bytes, bool as_file);

/// From now on, in this process, the library's messages are dropped.
void QuietLibrary();

/// Decodes `bytes` as the tool does, quietly, through a stream that cannot be rewound
/// like a pipe, or with `as_file` through a regular file; null where the
/// tool refuses them.
Image DecodeAsTheTool(std::string bytes, bool as_file = false);

#endif  // JPEGFADE_TESTS_TEST_PICTURES_H_
