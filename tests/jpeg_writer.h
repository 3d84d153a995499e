// JPEG files of the kinds the tool meets in the world, written with libjpeg
// directly: the graphics library itself only writes colour baseline or
// progressive files.
#ifndef JPEGFADE_TESTS_JPEG_WRITER_H_
#define JPEGFADE_TESTS_JPEG_WRITER_H_

#include <string>

enum class JpegKind {
  kColor,        // YCbCr, baseline, 2x2 subsampled chroma
  kGray,         // one component
  kProgressive,  // YCbCr, the encoder's standard progression
  kCmyk,         // four components, Adobe-marked inverted CMYK
  kRestarts,     // YCbCr with a restart marker after every block row
  kArithmetic,   // YCbCr, arithmetic-coded
  kMetadata,     // YCbCr after comment and application segments that hold
                 // bytes looking like markers
};

/// A `width` x `height` JPEG of `kind` whose pixels vary with `seed`.
std::string WriteJpeg(JpegKind kind, int width, int height, unsigned seed);

#endif  // JPEGFADE_TESTS_JPEG_WRITER_H_
