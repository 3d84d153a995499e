// Reading the pictures: the JPEG marker structure, walked the way the decoder
// walks it, so that a picture's size is known before any pixel is decoded
// and a picture cut short is told apart from a complete one.
#ifndef JPEGFADE_JPEG_INPUT_H_
#define JPEGFADE_JPEG_INPUT_H_

#include <gd.h>

#include <cstddef>
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

/// Reads `stream` up to the end of its frame header; stops early at the end
/// of the stream, at a stream that is not a JPEG, or, for a stream that is
/// not a regular file, past 32 MiB before the frame header. A pipe's head
/// keeps its metadata; a file's only counts it. May throw std::bad_alloc.
JpegHead ReadJpegHead(FILE* stream);

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

/// The picture in `stream`, read from `path`, decoded once its header shows
/// that `images` images of its size (this one's included) fit in the memory
/// left, with how it is to be shown in `appearance`; else prints "out of
/// memory for <path>" or "file decode error for <path>" and ends the
/// process.
gdImagePtr DecodeJpegOrDie(FILE* stream, const char* path, int images,
                           Appearance* appearance);

/// One of the two pictures: where it is read from, and once decoded, its
/// image and how it is to be shown.
struct Picture {
  FILE* stream;
  const char* path;
  gdImagePtr image = nullptr;
  Appearance look;
};

/// DecodeJpegOrDie of `first` with `images_at_first`, then of `second` with
/// `images_at_second`: the same images, lines and failures in that order,
/// but the second decoded beside the first on a thread of its own where it
/// is a file and there are the CPU and the memory for both at once.
void DecodeBothOrDie(Picture* first, Picture* second, int images_at_first,
                     int images_at_second);

#endif  // JPEGFADE_JPEG_INPUT_H_
