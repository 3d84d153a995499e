// The fuzz target's checks on every seed kind and on everything the fuzzer
// ever found, in the ordinary test run.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "jpeg_writer.h"
#include "test_pictures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void RunTarget(const std::string& input) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()),
                         input.size());
}

std::string Pair(const std::string& first, const std::string& second) {
  return std::string{static_cast<char>(first.size() >> 8),
                     static_cast<char>(first.size() & 0xff)} +
         first + second;
}

TEST(FuzzTarget, PassesOnEveryKindOfPicture) {
  // Through a pipe and a file, the walk's size is the decoder's, and the
  // pixels are the library's own decode's, bytes after the end or not.
  for (const NamedJpegKind& named : kJpegKinds) {
    SCOPED_TRACE(named.name);
    RunTarget(Pair(WriteJpeg(named.kind, 37, 21, 1) + "after the end",
                   WriteJpeg(JpegKind::kColor, 37, 21, 2)));
  }
}

TEST(FuzzTarget, PassesOnEveryFinding) {
  int count = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(JPEGFADE_FINDINGS)) {
    if (entry.path().filename() == "README") continue;
    SCOPED_TRACE(entry.path().string());
    RunTarget(ReadFileBytes(entry.path()));
    ++count;
  }
  RecordProperty("findings", count);
  EXPECT_GT(count, 0) << "nothing in " << JPEGFADE_FINDINGS;
}

}  // namespace
