// A frame's canvas encoded as a JPEG in memory, with the segments every frame
// carries, before any file is touched.
#ifndef JPEGFADE_FRAME_ENCODING_H_
#define JPEGFADE_FRAME_ENCODING_H_

#include <gd.h>

#include <string>

/// How an encode ended.
enum class Encoded {
  kWhole,          // the frame is in its buffer
  kLibraryFailed,  // "file write error for <name>"
  kOutOfMemory,    // "out of memory for <name>"
};

/// `canvas` as a JPEG at the library's default quality, with `segments`
/// right after its JFIF APP0 segment, in `jpeg`, whose room is reused from
/// the frame before. The library's lines are counted and printed, or held,
/// in this thread. Never throws.
Encoded Encode(gdImagePtr canvas, const std::string& segments,
               std::string* jpeg);

/// What an encode left behind.
struct EncoderTraces {
  bool sink_out_of_memory;  // the buffer could not grow
  bool library_failed;      // the library reported an error or a warning
  int error;                // errno after it
  bool empty;               // no byte was written
};

/// How an encode ended, from what it left: the library's encoder gives up
/// alike on what JPEG cannot hold and on memory it could not have, and only
/// the latter leaves ENOMEM behind; the buffer failing to grow is memory
/// too; no bytes is the library's failure.
Encoded EncodingOutcome(const EncoderTraces& traces);

/// Prints the line of a failed encode of the frame `name` and ends the
/// process; returns for Encoded::kWhole.
void DieOfEncoding(Encoded outcome, const std::string& name);

#endif  // JPEGFADE_FRAME_ENCODING_H_
