#include "blend.h"

#if defined(__FAST_MATH__)
#error "jpegfade's frames depend on exact IEEE doubles; build without -ffast-math"
#endif

double FrameWeight(int i, int alpha) {
  // A single frame has no step to take (it would divide by zero): it shows
  // the second picture, as frame 0 of every longer fade does.
  if (alpha <= 1) return 0.0;
  // The reciprocal first, then the product: step * i is not always i / n.
  const double step = 1.0 / static_cast<double>(alpha - 1);
  return step * static_cast<double>(i);
}

void BlendFrameByPixel(gdImagePtr first, gdImagePtr second, gdImagePtr canvas,
                       double t, int width, int height) {
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int c1 = gdImageGetPixel(first, x, y);
      const int c2 = gdImageGetPixel(second, x, y);
      // gdImageRed and friends read the palette tables or the packed value,
      // whichever kind each picture is.
      const int red =
          MixChannel(gdImageRed(first, c1), gdImageRed(second, c2), t);
      const int green =
          MixChannel(gdImageGreen(first, c1), gdImageGreen(second, c2), t);
      const int blue =
          MixChannel(gdImageBlue(first, c1), gdImageBlue(second, c2), t);
      gdImageSetPixel(canvas, x, y,
                      gdImageColorExact(canvas, red, green, blue));
    }
  }
}

void BlendFrame(gdImagePtr first, gdImagePtr second, gdImagePtr canvas, int i,
                int alpha, int width, int height) {
  BlendFrameByPixel(first, second, canvas, FrameWeight(i, alpha), width,
                    height);
}
