// The JPEG marker structure, walked as the decoder walks it, so that a
// picture's size is known before any of its pixels is decoded, and a picture
// cut short is told apart from a whole one.
#ifndef JPEGFADE_MARKER_WALK_H_
#define JPEGFADE_MARKER_WALK_H_

#include <cstddef>
#include <string>
#include <vector>

/// Whether a walk keeps the segments that say how the picture is shown, or
/// only counts their bytes.
enum class Metadata { kCount, kKeep };

/// The most components of a frame whose sampling a walk keeps: the library
/// decodes grey (1), colour (3) and CMYK (4) pictures only.
constexpr int kMostComponents = 4;

/// What a walk has found so far.
struct WalkFound {
  bool has_frame = false;  // the frame header's size has been read
  int width = 0;           // from the frame header
  int height = 0;          // from the frame header
  bool progressive = false;  // the frame header is a progressive one's
  int components = 0;        // from the frame header
  // Each component's sampling factors, horizontal << 4 | vertical, for the
  // first kMostComponents.
  unsigned char sampling[kMostComponents] = {};
  int first_scan_components = -1;  // from the first scan's header; -1 before
  int scans = 0;           // start-of-scan markers passed
  bool ended = false;      // the end-of-image marker was reached
  bool not_jpeg = false;   // the stream does not start with start-of-image
  // What says how the picture is shown, from before its first scan; kept
  // only by a walk with Metadata::kKeep.
  std::string exif;  // the first APP1 "Exif\0\0" segment's TIFF data
  std::vector<std::string> icc_chunks;  // APP2 "ICC_PROFILE\0" segments:
                                        // sequence number, count and data
  size_t metadata_bytes = 0;  // of those segments so far, kept or counted
  size_t bytes = 0;           // walked so far
};

/// A walk through a JPEG byte stream that is given a piece at a time.
class MarkerWalk {
 public:
  MarkerWalk() = default;  // counts the metadata
  explicit MarkerWalk(Metadata metadata) : metadata_(metadata) {}

  /// Walks `size` more bytes; returns how many it took, fewer only where
  /// the end-of-image marker, or a start that is not a JPEG's, stops it. May
  /// throw std::bad_alloc where it keeps metadata.
  size_t Take(const unsigned char* data, size_t size);

  /// Whether it can take no more: past the end-of-image marker, or not a
  /// JPEG.
  bool stopped() const;

  const WalkFound& found() const { return found_; }
  WalkFound& found() { return found_; }

 private:
  void StartMarker(int marker);
  void StartSegment(long length);
  void EndSegment();
  bool WorthKeeping() const;
  void KeepSegment();
  void TakeFrameByte(unsigned char byte);
  size_t TakeSegmentBytes(const unsigned char* data, size_t size);
  size_t TakeTo0xff(const unsigned char* data, size_t size, int next);

  Metadata metadata_ = Metadata::kCount;
  WalkFound found_;
  // Where the next byte falls:
  int state_ = 0;         // in the marker structure: a State, from kStart
  int marker_ = 0;        // the marker whose segment is being read
  int length_high_ = 0;   // the first byte of that segment's length
  long remaining_ = 0;    // bytes of that segment still to come
  int frame_offset_ = 0;  // in the frame header
  bool keeping_ = false;  // the segment being read is kept in `kept_`
  std::string kept_;
};

#endif  // JPEGFADE_MARKER_WALK_H_
