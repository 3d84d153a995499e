// The plainest program that makes the same fade: decode both pictures
// straight from their files, one canvas, the per-pixel blend, one "wb" file a
// frame, no checks of its own. The tests measure the least memory it needs,
// which the tool must not exceed by more than its own small margin.
//
//   plain_fade FIRST SECOND PREFIX ALPHA   (status 0 when every frame was made)
#include <gd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "blend.h"
#include "test_pictures.h"

int main(int argc, char** argv) {
  if (argc < 5) return 2;
  const Image first = LoadJpeg(argv[1]);
  const Image second = LoadJpeg(argv[2]);
  if (!first || !second) return 1;
  const int width = gdImageSX(first.get()), height = gdImageSY(first.get());
  gdImagePtr canvas = gdImageCreateTrueColor(width, height);
  if (!canvas) return 1;
  const int alpha = std::atoi(argv[4]);
  for (int i = 0; i < alpha; ++i) {
    BlendFrameByPixel(first.get(), second.get(), canvas, FrameWeight(i, alpha));
    const std::string name = argv[3] + std::to_string(i) + ".JPG";
    FILE* out = std::fopen(name.c_str(), "wb");
    if (!out) return 1;
    gdImageJpeg(canvas, out, -1);
    if (std::fclose(out) != 0) return 1;
  }
  return 0;
}
