// make_strip OUT.jpg FRAME.JPG...
//
// Puts the given frames side by side, each scaled to a fifth of 960 pixels
// wide, into one JPEG: the picture of the fade at the top of the README.
#include <gd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "report.h"

namespace {

constexpr int kStripWidth = 960;
constexpr int kGap = 4;

// One of the demo's own frames, which jpegfade just wrote.
gdImagePtr LoadJpegOrDie(const char* path) {
  FILE* in = std::fopen(path, "rb");
  gdImagePtr image = in ? gdImageCreateFromJpeg(in) : nullptr;
  if (in) std::fclose(in);
  if (!image) {
    std::fprintf(stderr, "make_strip: %s: not a readable JPEG\n", path);
    std::exit(1);
  }
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::puts("usage: make_strip OUT.jpg FRAME.JPG...");
    return 2;
  }
  std::vector<gdImagePtr> frames;
  for (int i = 2; i < argc; ++i) frames.push_back(LoadJpegOrDie(argv[i]));
  const int count = static_cast<int>(frames.size());
  const int cell = (kStripWidth - kGap * (count - 1)) / count;
  const int height = gdImageSY(frames[0]) * cell / gdImageSX(frames[0]);
  gdImagePtr strip =
      gdImageCreateTrueColor(cell * count + kGap * (count - 1), height);
  gdImageFilledRectangle(strip, 0, 0, gdImageSX(strip) - 1, height - 1,
                         gdTrueColor(255, 255, 255));
  for (int i = 0; i < count; ++i) {
    gdImageCopyResampled(strip, frames[i], i * (cell + kGap), 0, 0, 0, cell,
                         height, gdImageSX(frames[i]), gdImageSY(frames[i]));
    gdImageDestroy(frames[i]);
  }
  FILE* out = std::fopen(argv[1], "wb");
  if (!out) DieWithReason(kFileWriteError, argv[1], errno);
  gdImageJpeg(strip, out, 90);
  if (std::ferror(out) | std::fclose(out)) {
    std::remove(argv[1]);
    DieWithPath(kFileWriteError, argv[1]);
  }
  gdImageDestroy(strip);
  return 0;
}
