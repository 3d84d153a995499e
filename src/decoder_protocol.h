// What the frame writer and a picture's decoder say to each other over the
// socket pair between them, in one place: who says what, in which order, and
// within which bounds. The writer trusts none of it: every record is read
// through one reader that checks its kind, its size and its fields against
// these bounds, and anything else ends that picture as a decode error.
//
//   writer  -> decoder   kReadHead
//   decoder -> writer    message*  (HeadRecord | DoneRecord)
//   writer  -> decoder   kDecode           only after a HeadRecord with a
//                                          frame, once the memory check let it
//   decoder -> writer    message*  DoneRecord  profile  [pixels]
//
// A message is a library line, at most kMostMessages of them in all. Each
// record is a RecordHeader and then `size` bytes: a message's text, or the
// record's fields. A DoneRecord is followed by `profile_bytes` of colour
// profile and, where its failure is none, by exactly width x height packed
// pixels, row after row, a number of bytes the writer knows from the head.
#ifndef JPEGFADE_DECODER_PROTOCOL_H_
#define JPEGFADE_DECODER_PROTOCOL_H_

#include <climits>
#include <cstddef>
#include <cstdint>

#include <algorithm>

#include "jpeg_input.h"
#include "metadata.h"
#include "report.h"

/// The writer's orders, a byte each.
constexpr char kReadHead = 'h';
constexpr char kDecode = 'd';

/// The kinds of a decoder's records.
enum RecordKind : uint32_t { kHead = 1, kMessage = 2, kDone = 3 };

struct RecordHeader {
  uint32_t kind;  // a RecordKind
  uint32_t size;  // of what follows: the record's fields, or a message
};

/// The picture's head, as the memory check needs it (PictureHead).
struct HeadRecord {
  uint32_t has_frame;  // 0 or 1
  int32_t width;
  int32_t height;
  uint32_t reason;  // a Reason: why there is no frame
  uint64_t metadata_bytes;
  uint64_t coefficient_bytes;
  uint64_t kept_bytes;
};

/// How the decode ended.
struct DoneRecord {
  uint32_t failure;  // a Failure
  uint32_t reason;   // a Reason: what a decode error found
  int32_t orientation;
  uint32_t profile_bytes;  // the profile's bytes follow the record
};

// The layout both sides and the tests rely on: fields of 32 and 64 bits,
// no padding, the same on every architecture the tool is built for.
static_assert(sizeof(RecordHeader) == 8, "a record header is two words");
static_assert(offsetof(RecordHeader, size) == 4, "");
static_assert(sizeof(HeadRecord) == 40, "a head record is 40 bytes");
static_assert(offsetof(HeadRecord, width) == 4, "");
static_assert(offsetof(HeadRecord, height) == 8, "");
static_assert(offsetof(HeadRecord, reason) == 12, "");
static_assert(offsetof(HeadRecord, metadata_bytes) == 16, "");
static_assert(offsetof(HeadRecord, coefficient_bytes) == 24, "");
static_assert(offsetof(HeadRecord, kept_bytes) == 32, "");
static_assert(sizeof(DoneRecord) == 16, "a done record is 16 bytes");
static_assert(offsetof(DoneRecord, reason) == 4, "");
static_assert(offsetof(DoneRecord, orientation) == 8, "");
static_assert(offsetof(DoneRecord, profile_bytes) == 12, "");

/// A JPEG frame header holds 16-bit sizes.
constexpr int kMostSide = 65535;

/// No head says more metadata than this, which keeps the memory check's
/// sums from overflowing.
constexpr uint64_t kMostMetadataBytes = uint64_t{1} << 48;

/// The library reports only the first of a picture's warnings, and an error
/// or two; a decoder that says more than this is not the library speaking.
constexpr int kMostMessages = 32;

/// A message is shorter than kLibraryMessageBytes; a profile at most
/// kMostProfileBytes; a pipe's kept head at most kMostHeadBytes.

/// The most coefficient bytes a picture of `width` x `height` can need: four
/// components of 2 bytes a pixel, each rounded up to whole units of at most
/// 32 x 32 pixels.
constexpr uint64_t MostCoefficientBytes(int width, int height) {
  return uint64_t{8} * (static_cast<uint64_t>(width) + 32) *
         (static_cast<uint64_t>(height) + 32);
}

/// The pixels travel in batches of this many rows (about 1 MiB), each batch
/// one write and one read.
inline int PixelBatchRows(int width) {
  const size_t row_bytes =
      sizeof(int) * static_cast<size_t>(std::max(width, 1));
  return static_cast<int>(
      std::clamp<size_t>((size_t{1} << 20) / row_bytes, 1, IOV_MAX));
}

/// Whether a head record's fields are within their bounds.
constexpr bool InBounds(const HeadRecord& head) {
  return head.has_frame <= 1 &&
         head.reason <= static_cast<uint32_t>(kLastReason) &&
         head.width >= 0 && head.width <= kMostSide && head.height >= 0 &&
         head.height <= kMostSide && head.metadata_bytes <= kMostMetadataBytes &&
         head.coefficient_bytes <=
             MostCoefficientBytes(head.width, head.height) &&
         head.kept_bytes <= kMostHeadBytes;
}

/// Whether a done record's fields are within their bounds.
constexpr bool InBounds(const DoneRecord& done) {
  return done.failure <= static_cast<uint32_t>(Failure::kOutOfMemory) &&
         done.reason <= static_cast<uint32_t>(kLastReason) &&
         done.orientation >= 1 && done.orientation <= 8 &&
         done.profile_bytes <= kMostProfileBytes;
}

#endif  // JPEGFADE_DECODER_PROTOCOL_H_
