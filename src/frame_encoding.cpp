#include "frame_encoding.h"

#include <cerrno>

#include "metadata.h"
#include "report.h"

namespace {

// Where the encoder writes: the caller's buffer, whose room stays from frame
// to frame, so that once it has grown to a frame's size no frame allocates
// or touches a fresh page. The encoder is C: an allocation that fails under
// it must not throw through its frames, so it is noted and the write refused,
// which the encoder reports as a failed write.
struct Sink {
  gdIOCtx io;  // its `data` leads back here
  std::string* bytes;
  bool out_of_memory;
};

int SinkPutBuf(gdIOCtx* io, const void* data, int size) {
  Sink* sink = static_cast<Sink*>(io->data);
  try {
    sink->bytes->append(static_cast<const char*>(data), size);
  } catch (...) {
    sink->out_of_memory = true;
    return 0;
  }
  return size;
}

void SinkPutC(gdIOCtx* io, int c) {
  const char byte = static_cast<char>(c);
  SinkPutBuf(io, &byte, 1);
}

long SinkTell(gdIOCtx* io) {
  return static_cast<long>(static_cast<Sink*>(io->data)->bytes->size());
}

// gdImageJpegCtx's quality: the library's default.
constexpr int kDefaultQuality = -1;

}  // namespace

Encoded EncodingOutcome(const EncoderTraces& traces) {
  if (traces.sink_out_of_memory ||
      (traces.library_failed && traces.error == ENOMEM)) {
    return Encoded::kOutOfMemory;
  }
  return traces.library_failed || traces.empty ? Encoded::kLibraryFailed
                                               : Encoded::kWhole;
}

Encoded Encode(gdImagePtr canvas, const std::string& segments,
               std::string* jpeg) {
  // The encoder returns nothing: a failure inside it (a size JPEG cannot
  // hold, a write it could not make) shows only as a message from the
  // library, or as no bytes at all.
  const int failures = LibraryFailures();
  Sink sink{};
  sink.io.putC = SinkPutC;
  sink.io.putBuf = SinkPutBuf;
  sink.io.tell = SinkTell;
  sink.io.data = &sink;
  sink.bytes = jpeg;
  jpeg->clear();
  errno = 0;
  gdImageJpegCtx(canvas, &sink.io, kDefaultQuality);
  const Encoded outcome = EncodingOutcome({sink.out_of_memory,
                                           LibraryFailures() != failures,
                                           errno, jpeg->empty()});
  if (outcome != Encoded::kWhole) return outcome;
  try {
    InsertSegments(jpeg, segments);
  } catch (...) {
    return Encoded::kOutOfMemory;
  }
  return Encoded::kWhole;
}

void DieOfEncoding(Encoded outcome, const std::string& name) {
  switch (outcome) {
    case Encoded::kWhole:
      return;
    case Encoded::kLibraryFailed:
      DieWithPath(kFileWriteError, name.c_str());
    case Encoded::kOutOfMemory:
      DieWithPath(kOutOfMemory, name.c_str());
  }
}
