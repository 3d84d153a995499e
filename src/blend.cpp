#include "blend.h"

#include <cstdint>
#include <cstdlib>

#if defined(__FAST_MATH__)
#error "frames depend on exact IEEE doubles: build without -ffast-math"
#endif
// On 32-bit x86 without SSE2 maths, doubles are kept in the x87 unit's 80
// bits between operations, so a weight or a mix can differ in its last bit
// and a frame differs from the same frame made anywhere else.
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error \
    "frames depend on exact IEEE doubles, not x87 precision: build with -msse2 -mfpmath=sse"
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
                       double t) {
  for (int y = 0; y < gdImageSY(canvas); ++y) {
    for (int x = 0; x < gdImageSX(canvas); ++x) {
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

namespace {

// The packed opaque colour gdImageColorExact gives on a true-colour canvas.
inline int Opaque(int colour) { return colour & 0xffffff; }

// MixChannel on packed pixels, one channel after another. Inlined into each
// instruction-set variant below so that each is vectorised for its own width.
__attribute__((always_inline)) inline void MixRow(const int* __restrict first,
                                                  const int* __restrict second,
                                                  int* __restrict out,
                                                  int width, double t) {
  for (int x = 0; x < width; ++x) {
    const int c1 = first[x], c2 = second[x];
    const int red = MixChannel((c1 >> 16) & 0xff, (c2 >> 16) & 0xff, t);
    const int green = MixChannel((c1 >> 8) & 0xff, (c2 >> 8) & 0xff, t);
    const int blue = MixChannel(c1 & 0xff, c2 & 0xff, t);
    out[x] = (red << 16) | (green << 8) | blue;
  }
}

__attribute__((always_inline)) inline void CopyRow(const int* __restrict from,
                                                   int* __restrict out,
                                                   int width) {
  for (int x = 0; x < width; ++x) out[x] = Opaque(from[x]);
}

__attribute__((always_inline)) inline void BlendRows(gdImagePtr first,
                                                     gdImagePtr second,
                                                     gdImagePtr canvas,
                                                     double t) {
  const int width = gdImageSX(canvas), height = gdImageSY(canvas);
  // At t = 0 and t = 1 the mix gives one picture's channels exactly
  // (c * 1.0 + c' * 0.0 == c), so those frames are copies.
  if (t == 0.0 || t == 1.0) {
    gdImagePtr from = t == 0.0 ? second : first;
    for (int y = 0; y < height; ++y) {
      CopyRow(from->tpixels[y], canvas->tpixels[y], width);
    }
    return;
  }
  for (int y = 0; y < height; ++y) {
    MixRow(first->tpixels[y], second->tpixels[y], canvas->tpixels[y], width, t);
  }
}

}  // namespace

void BlendTrueColorRows(gdImagePtr first, gdImagePtr second, gdImagePtr canvas,
                        double t) {
  BlendRows(first, second, canvas, t);
}

#if JPEGFADE_X86_VARIANTS
// The same source, compiled for wider vectors; chosen at run time, so that
// one binary runs on any x86-64 processor.
__attribute__((target("avx2"))) void BlendTrueColorRowsAvx2(gdImagePtr first,
                                                            gdImagePtr second,
                                                            gdImagePtr canvas,
                                                            double t) {
  BlendRows(first, second, canvas, t);
}

#if defined(__clang__)
#define JPEGFADE_AVX512 "avx512f,avx512dq,avx512bw,avx512vl"
#else
// GCC prefers 256-bit vectors even where 512 are there; these loops gain.
#define JPEGFADE_AVX512 \
  "avx512f,avx512dq,avx512bw,avx512vl,prefer-vector-width=512"
#endif
__attribute__((target(JPEGFADE_AVX512))) void BlendTrueColorRowsAvx512(
    gdImagePtr first, gdImagePtr second, gdImagePtr canvas, double t) {
  BlendRows(first, second, canvas, t);
}

bool CpuHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

bool CpuHasAvx512() {
  static const bool has =
      __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
  return has;
}
#endif

void BlendFrame(gdImagePtr first, gdImagePtr second, gdImagePtr canvas, int i,
                int alpha) {
  const double t = FrameWeight(i, alpha);
  // Every JPEG decodes to true colour; palette pictures take the slow road.
  if (!gdImageTrueColor(first) || !gdImageTrueColor(second) ||
      !gdImageTrueColor(canvas)) {
    BlendFrameByPixel(first, second, canvas, t);
  }
#if JPEGFADE_X86_VARIANTS
  else if (CpuHasAvx512()) {
    BlendTrueColorRowsAvx512(first, second, canvas, t);
  } else if (CpuHasAvx2()) {
    BlendTrueColorRowsAvx2(first, second, canvas, t);
  }
#endif
  else {
    BlendTrueColorRows(first, second, canvas, t);
  }
}
