// Cross-fade of two pictures of one size into a true-colour canvas.
#ifndef JPEGFADE_BLEND_H_
#define JPEGFADE_BLEND_H_

#include <gd.h>

/// The first picture's weight in frame `i` of `alpha`: (1.0 / (alpha - 1)) * i,
/// and 0 when `alpha` is 1 or less.
double FrameWeight(int i, int alpha);

/// One channel of the mix: trunc(c2 * (1.0 - t) + c1 * t), in double.
inline int MixChannel(int c1, int c2, double t) {
  return static_cast<int>(c2 * (1.0 - t) + c1 * t);
}

/// Overwrites every pixel of `canvas` with frame `i` of `alpha` of the fade
/// from `second` (frame 0) to `first`, all three of one size.
void BlendFrame(gdImagePtr first, gdImagePtr second, gdImagePtr canvas, int i,
                int alpha);

/// BlendFrame through the library's per-pixel accessors at weight `t`: works
/// on palette and true-colour pictures alike.
void BlendFrameByPixel(gdImagePtr first, gdImagePtr second, gdImagePtr canvas,
                       double t);

/// The same frame from the true-colour row arrays of `first` and `second`,
/// bit for bit as BlendFrameByPixel; both pictures must be true-colour, and
/// `canvas` a third image.
void BlendTrueColorRows(gdImagePtr first, gdImagePtr second, gdImagePtr canvas,
                        double t);

#if defined(__x86_64__) || defined(__i386__)
#define JPEGFADE_X86_VARIANTS 1
/// BlendTrueColorRows compiled for AVX2; call only where CpuHasAvx2().
void BlendTrueColorRowsAvx2(gdImagePtr first, gdImagePtr second,
                            gdImagePtr canvas, double t);

/// BlendTrueColorRows compiled for AVX-512; call only where CpuHasAvx512().
void BlendTrueColorRowsAvx512(gdImagePtr first, gdImagePtr second,
                              gdImagePtr canvas, double t);

/// Whether this processor runs AVX2 instructions.
bool CpuHasAvx2();

/// Whether this processor runs the AVX-512 subsets F, DQ, BW and VL.
bool CpuHasAvx512();
#else
#define JPEGFADE_X86_VARIANTS 0
#endif

#endif  // JPEGFADE_BLEND_H_
