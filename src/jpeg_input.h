// A picture read and decoded in this process, whichever process that is:
// its head walked up to its first scan, which says what room it needs;
// then its pixels decoded through a walk that follows the decoder, and the
// metadata it kept read; each failure classed by its line.
#ifndef JPEGFADE_JPEG_INPUT_H_
#define JPEGFADE_JPEG_INPUT_H_

#include <gd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "marker_walk.h"
#include "metadata.h"

/// The head of a picture: the walk up to its first scan's header. A
/// regular file is read again from `start` when decoded, so nothing of its
/// head is kept; a pipe or any other stream cannot be, so its head's `bytes`
/// are kept, to be replayed to the decoder.
struct JpegHead {
  MarkerWalk walk;
  long start = -1;    // where the picture starts in a regular file
  std::string bytes;  // a pipe's head; empty for a file
};

/// Why a picture gives no image; each has its line.
enum class Failure {
  kNone,
  kDecodeError,  // "file decode error for <path>"
  kOutOfMemory,  // "out of memory for <path>"
};

/// What a decode error found, told on standard error beside its line.
enum class Reason : uint32_t {
  kNone,
  kEmpty,         // no byte at all
  kUnreadable,    // a read failed: a folder, a device error
  kPng,           // a picture of another kind, by its signature
  kGif,
  kWebp,
  kHeif,          // HEIF or AVIF
  kTiff,
  kBmp,
  kPdf,
  kNotJpeg,       // no signature known here
  kNoFrame,       // a JPEG that ends before any frame header
  kCutShort,      // a JPEG that ends before its end-of-image marker
  kTooManyScans,  // past the scan cap
  kHeadTooLong,   // a pipe's head past kMostHeadBytes
  kRefused,       // the library refused it, with its own line
  kDecoderFault,  // its decoder died or spoke out of turn
};
constexpr Reason kLastReason = Reason::kDecoderFault;

/// The words of `reason`, to follow "jpegfade: NAME: "; "" for kNone.
const char* ReasonText(Reason reason);

/// The kind of picture whose first `size` bytes are `bytes`: one of kPng
/// to kPdf, or kNotJpeg.
Reason Signature(const unsigned char* bytes, size_t size);

/// A pipe's head is kept to be replayed to the decoder, so it is bounded: no
/// real picture puts this much before its first scan (metadata segments are
/// at most 64 KiB each, and a few of them make a picture's metadata). A
/// file's head is never kept, and has no bound.
constexpr size_t kMostHeadBytes = size_t{32} << 20;

/// Reads `stream`, a regular file when `regular_file`, through its head: up
/// to the component count of its first scan's header; stops early at the
/// end of the stream, at a stream that is not a JPEG, or, for a stream that
/// is not a regular file, past kMostHeadBytes. A pipe's head keeps its
/// metadata; a file's only counts it. May throw std::bad_alloc.
JpegHead ReadJpegHead(FILE* stream, bool regular_file);

/// Decodes the picture whose head was read from `stream`, from the head's
/// bytes and then the rest of the stream; the decoder's warnings about a
/// damaged picture go to the library's messages. Null when there is no frame
/// header, the decoder fails, or the data ends before the end-of-image
/// marker. With `walked`, that gets what the walk of the whole picture
/// found (the metadata it kept, held once, taken from `head`); with `why`,
/// what a failure found. May throw std::bad_alloc (no memory to keep a
/// pipe's metadata), never through the decoder.
gdImagePtr DecodeJpeg(JpegHead* head, FILE* stream,
                      WalkFound* walked = nullptr, Reason* why = nullptr);

/// `path` opened for reading; else prints "file open error for <path>" (and
/// the system's reason on standard error) and ends the process.
FILE* OpenForReadingOrDie(const char* path);

/// Whether `stream` reads a regular file, which can be read again from a
/// place, rather than a pipe or a device.
bool IsRegularFile(FILE* stream);


/// What a picture's head tells the memory check, or why it could not be
/// read.
struct PictureHead {
  bool has_frame = false;  // the frame header's size has been read
  int width = 0;
  int height = 0;
  uint64_t metadata_bytes = 0;     // of the segments the run would keep
  uint64_t coefficient_bytes = 0;  // the decoder holds (CoefficientBytes)
  uint64_t kept_bytes = 0;         // of a pipe's head, kept to be replayed
  Failure failure = Failure::kNone;
  Reason reason = Reason::kNone;  // why there is no frame, where there is none
};

/// Bytes the decoder holds at once for the whole picture's coefficients, for
/// a picture that comes in several passes; 0 for one that comes in one.
uint64_t CoefficientBytes(const WalkFound& found);

/// What a decoder is let take, beyond what it held when it was started, to
/// decode the picture whose `head` it read: the image it makes, the
/// coefficients, the metadata it keeps and the profile made of it, a pipe's
/// head, and a margin for the decoder's own tables and the image's rows
/// (kDecoderMarginBytes, and kDecoderMarginLineBytes a row and a column).
uint64_t DecoderBytes(const PictureHead& head);
constexpr uint64_t kDecoderMarginBytes = uint64_t{4} << 20;
constexpr uint64_t kDecoderMarginLineBytes = 64;

/// Reads the head of `stream` (ReadJpegHead) into `head`, and says what it
/// found; kOutOfMemory where there was no memory to read it.
PictureHead ReadPictureHead(FILE* stream, bool regular_file, JpegHead* head);

/// Bytes the run needs to go on once it has read `head`: while the picture
/// is decoded, what its decoder is let take (DecoderBytes) and the image
/// and profile this process receives; after, `images` images of its size
/// (this picture's included) and what it keeps of its metadata; the larger
/// of the two. 0 for a picture with no frame, which the decode refuses.
uint64_t NeededBytes(const PictureHead& head, int images);

/// A decoded picture and how it is to be shown, or why there is none.
struct DecodedPicture {
  // Null on a failure. DecodePicture's is the library's own image;
  // FinishDecoding's is one for DestroyMappedImage.
  gdImagePtr image = nullptr;
  Appearance look;
  Failure failure = Failure::kNone;
  Reason reason = Reason::kNone;  // what a decode error found
};

/// Why a decode that gave no image failed: the decoder gives up alike on
/// damaged data and on memory it could not have, and only the latter leaves
/// `error` (errno) ENOMEM; kNone where it `decoded`.
Failure DecodeFailure(bool decoded, int error);

/// Decodes in this process the picture whose head was read into `head`, and
/// reads how it is shown from the segments the walk kept. Never throws.
DecodedPicture DecodePicture(JpegHead* head, FILE* stream);

/// Prints the line of `failure`, with `path`, and `reason` on standard
/// error, and ends the process; returns for Failure::kNone.
void DieOfFailure(Failure failure, Reason reason, const char* path);

/// Returns where `head` was read and `images` images of its size fit in the
/// memory left; else prints its failure's line or "out of memory for
/// <path>" and ends the process.
void CheckRoomOrDie(const PictureHead& head, int images, const char* path);


#endif  // JPEGFADE_JPEG_INPUT_H_
