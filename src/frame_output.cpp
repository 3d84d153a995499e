#include "frame_output.h"

#include <cstdio>
#include <cstdlib>

std::string FrameFileName(const char* prefix, int i) {
  // The prefix is data, never a format: a '%' in it stays as it is. The name
  // grows with the prefix; only the system limits its length.
  char number[16];
  std::snprintf(number, sizeof number, "%02d", i);
  return std::string(prefix) + number + ".JPG";
}

namespace {

[[noreturn]] void DieWriting(const std::string& name) {
  std::printf("file write error for %s\n", name.c_str());
  std::exit(-1);
}

}  // namespace

void WriteFrame(gdImagePtr canvas, const char* prefix, int i) {
  const std::string name = FrameFileName(prefix, i);
  FILE* out = std::fopen(name.c_str(), "wb");
  // Nothing was created or truncated, so there is nothing to remove.
  if (!out) DieWriting(name);
  gdImageJpeg(canvas, out, -1);
  // The encoder reports nothing: a failed write shows in the stream's error
  // flag, and a failed flush of the last buffer (disk full, file-size limit)
  // in fclose. Either way the file is incomplete and must not stay.
  const bool written = !std::ferror(out);
  if (std::fclose(out) != 0 || !written) {
    std::remove(name.c_str());
    DieWriting(name);
  }
}
