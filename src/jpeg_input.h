// Reading the pictures: the JPEG marker structure, walked the way the decoder
// walks it, so that a picture's size is known before any pixel is decoded
// and a picture cut short is told apart from a complete one.
#ifndef JPEGFADE_JPEG_INPUT_H_
#define JPEGFADE_JPEG_INPUT_H_

#include <gd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "metadata.h"

/// What a walk through a JPEG byte stream has found; fed by ScanJpegBytes.
struct JpegScan {
  bool has_frame = false;  // the frame header's size has been read
  int width = 0;           // from the frame header
  int height = 0;          // from the frame header
  int scans = 0;           // start-of-scan markers seen
  bool ended = false;      // the end-of-image marker was reached
  bool not_jpeg = false;   // the stream does not start with start-of-image
  // What says how the picture is shown, kept from before its first scan:
  std::string exif;  // the first APP1 "Exif\0\0" segment's TIFF data
  std::vector<std::string> icc_chunks;  // APP2 "ICC_PROFILE\0" segments'
                                        // sequence number, count and data
  bool keeps = false;    // keeps those segments; else only counts them
  size_t metadata_bytes = 0;  // bytes of the segments worth keeping so far
  bool out_of_memory = false;  // keeping failed for want of memory

  /// Where the walk stands between two calls: ScanJpegBytes's own, read
  /// and written by nothing else.
  struct Position {
    int state = 0;         // where in the marker structure the next byte falls
    int marker = 0;        // the marker whose segment is being read
    int length_high = 0;   // the first byte of that segment's length
    long remaining = 0;    // bytes of that segment still to come
    int frame_offset = 0;  // where in the frame header the next byte falls
    bool keeping = false;  // the segment being read is kept in `kept`
    std::string kept;
  } at;
};

/// Walks `size` more bytes of the stream; returns how many it took, which is
/// fewer only when the end-of-image marker or a non-JPEG start stops it.
size_t ScanJpegBytes(JpegScan* scan, const unsigned char* data, size_t size);

/// The head of a picture: the walk up to the end of its frame header. A
/// regular file is read again from `start` when decoded, so nothing of its
/// head is kept; a pipe or any other stream cannot be, so its head's `bytes`
/// are kept, to be replayed to the decoder.
struct JpegHead {
  JpegScan scan;
  long start = -1;    // where the picture starts in a regular file
  std::string bytes;  // a pipe's head; empty for a file
};

/// Reads `stream`, a regular file when `regular_file`, up to the end of its
/// frame header; stops early at the end of the stream, at a stream that is
/// not a JPEG, or, for a stream that is not a regular file, past 32 MiB
/// before the frame header. A pipe's head keeps its metadata; a file's only
/// counts it. May throw std::bad_alloc.
JpegHead ReadJpegHead(FILE* stream, bool regular_file);

/// Decodes the picture whose head was read from `stream`, from the head's
/// bytes and then the rest of the stream; the decoder's warnings about a
/// damaged picture go to the library's messages. Null when there is no frame
/// header, the decoder fails, or the data ends before the end-of-image
/// marker. With `walked`, that gets the walk of the whole picture (the
/// metadata it kept, held once, taken from `head`). May throw
/// std::bad_alloc, never through the decoder.
gdImagePtr DecodeJpeg(JpegHead* head, FILE* stream,
                      JpegScan* walked = nullptr);

/// `path` opened for reading; else prints "file open error for <path>" (and
/// the system's reason on standard error) and ends the process.
FILE* OpenForReadingOrDie(const char* path);

/// Whether `stream` reads a regular file, which can be read again from a
/// place, rather than a pipe or a device.
bool IsRegularFile(FILE* stream);

/// Why a picture gives no image; each has its line.
enum class Failure {
  kNone,
  kDecodeError,  // "file decode error for <path>"
  kOutOfMemory,  // "out of memory for <path>"
};

/// What a picture's head tells the memory check, or why it could not be
/// read.
struct PictureHead {
  bool has_frame = false;  // the frame header's size has been read
  int width = 0;
  int height = 0;
  uint64_t metadata_bytes = 0;  // of the segments the run would keep
  Failure failure = Failure::kNone;
};

/// Reads the head of `stream` (ReadJpegHead) into `head`, and says what it
/// found; kOutOfMemory where there was no memory to read it.
PictureHead ReadPictureHead(FILE* stream, bool regular_file, JpegHead* head);

/// Bytes the run needs to go on once it has read `head`: `images` images of
/// its size (this picture's included) and what it keeps of its metadata;
/// 0 for a picture with no frame, which the decode refuses.
uint64_t NeededBytes(const PictureHead& head, int images);

/// A decoded picture and how it is to be shown, or why there is none.
struct DecodedPicture {
  gdImagePtr image = nullptr;  // the library's own; null on a failure
  Appearance look;
  Failure failure = Failure::kNone;
};

/// Decodes in this process the picture whose head was read into `head`, and
/// reads how it is shown from the segments the walk kept. Never throws.
DecodedPicture DecodePicture(JpegHead* head, FILE* stream);

/// Prints the line of `failure`, with `path`, and ends the process; returns
/// for Failure::kNone.
void DieOfFailure(Failure failure, const char* path);

/// Returns where `head` was read and `images` images of its size fit in the
/// memory left; else prints its failure's line or "out of memory for
/// <path>" and ends the process.
void CheckRoomOrDie(const PictureHead& head, int images, const char* path);

/// The picture in `stream`, read from `path`, decoded in this process once
/// its header shows that `images` images of its size (this one's included)
/// fit in the memory left, with how it is to be shown in `appearance`; else
/// prints "out of memory for <path>" or "file decode error for <path>" and
/// ends the process.
gdImagePtr DecodeJpegOrDie(FILE* stream, const char* path, int images,
                           Appearance* appearance);

#endif  // JPEGFADE_JPEG_INPUT_H_
