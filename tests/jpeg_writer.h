// JPEG files of the kinds the tool meets in the world, written with libjpeg
// directly: the graphics library itself only writes colour baseline or
// progressive files.
#ifndef JPEGFADE_TESTS_JPEG_WRITER_H_
#define JPEGFADE_TESTS_JPEG_WRITER_H_

#include <string>
#include <vector>

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

/// Every kind, each with a name for messages and file names.
struct NamedJpegKind {
  const char* name;
  JpegKind kind;
};
inline constexpr NamedJpegKind kJpegKinds[] = {
    {"color", JpegKind::kColor},         {"gray", JpegKind::kGray},
    {"progressive", JpegKind::kProgressive}, {"cmyk", JpegKind::kCmyk},
    {"restarts", JpegKind::kRestarts},   {"arithmetic", JpegKind::kArithmetic},
    {"metadata", JpegKind::kMetadata},
};

/// A `width` x `height` JPEG of `kind` whose pixels vary with `seed`; with
/// an Exif Orientation `orientation` (little-endian; none for 0) and the ICC
/// profile `icc` (none when empty), as a phone writes them.
std::string WriteJpeg(JpegKind kind, int width, int height, unsigned seed,
                      int orientation = 0, const std::string& icc = "");

/// What a JPEG carries, read back with libjpeg.
struct Carried {
  std::vector<std::string> app1;  // every APP1 segment's data
  std::string icc;  // as jpeg_read_icc_profile reassembles it; empty: none
};
Carried ReadCarried(const std::string& jpeg);

/// `jpeg` without its APP1 and APP2 segments.
std::string WithoutApp1AndApp2(const std::string& jpeg);

#endif  // JPEGFADE_TESTS_JPEG_WRITER_H_
