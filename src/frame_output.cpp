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

// A failure inside the encoder (no memory, a size JPEG cannot hold) is only
// a warning on standard error and leaves a short file behind. Every complete
// JPEG ends with the end-of-image marker, so read the last two bytes back.
bool EndsWithEndOfImage(FILE* stream) {
  unsigned char tail[2];
  return std::fseek(stream, -2, SEEK_END) == 0 &&
         std::fread(tail, 1, 2, stream) == 2 && tail[0] == 0xff &&
         tail[1] == 0xd9;
}

}  // namespace

void WriteFrame(gdImagePtr canvas, const char* prefix, int i) {
  const std::string name = FrameFileName(prefix, i);
  // Created or truncated like "wb"; "+" so that the end can be read back.
  FILE* out = std::fopen(name.c_str(), "w+b");
  // Nothing was created or truncated, so there is nothing to remove.
  if (!out) DieWriting(name);
  gdImageJpeg(canvas, out, -1);
  // The encoder reports nothing: a failed write shows in the stream's error
  // flag, a failed flush (disk full, file-size limit) in the seek or in
  // fclose. Either way the file is incomplete and must not stay.
  const bool complete = !std::ferror(out) && EndsWithEndOfImage(out);
  if (std::fclose(out) != 0 || !complete) {
    std::remove(name.c_str());
    DieWriting(name);
  }
}
