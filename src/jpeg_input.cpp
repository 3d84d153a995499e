#include "jpeg_input.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "memory_limit.h"
#include "report.h"

namespace {


// A progressive picture is refined scan by scan, and each scan costs a pass
// over the whole picture; real encoders use a few dozen at most. Past this
// many the stream is cut off, so a small hostile file cannot keep the
// decoder busy for minutes.
constexpr int kMaxScans = 1000;

bool HasTooManyScans(const MarkerWalk& walk) {
  return walk.found().scans > kMaxScans;
}

// How far a walk goes: through the head, up to the first scan's header,
// which with the frame header says what decoding will hold; or to the
// end-of-image marker.
enum class WalkTo { kHead, kEnd };

// Where every walk stops: at the end-of-image marker (or a stream that is
// not a JPEG), past the scan cap, or, for a walk through the head, once the
// first scan's component count is known.
bool WalkIsDone(const MarkerWalk& walk, WalkTo goal) {
  return walk.stopped() || HasTooManyScans(walk) ||
         (goal == WalkTo::kHead && walk.found().first_scan_components >= 0);
}

// The decoder reads through this: first a pipe's head again, then the rest
// of the stream, walked as it passes, up to the end-of-image marker.
struct Replay {
  gdIOCtx io;  // its `data` leads back here
  const std::string* head;
  size_t replayed;
  FILE* stream;
  MarkerWalk walk;
  bool out_of_memory;  // the walk could not keep a segment
};

// Called by the decoder, which is C: nothing may be thrown through it. A
// pipe's metadata past its head (a head cut at its bound before the first
// scan) is kept here; with no memory for it, the stream ends, and the walk
// says why.
int ReplayGetBuf(gdIOCtx* io, void* out, int wanted) {
  Replay* replay = static_cast<Replay*>(io->data);
  if (replay->out_of_memory) return 0;
  unsigned char* dest = static_cast<unsigned char*>(out);
  if (wanted <= 0) return 0;
  size_t given = std::min(static_cast<size_t>(wanted),
                          replay->head->size() - replay->replayed);
  std::memcpy(dest, replay->head->data() + replay->replayed, given);
  replay->replayed += given;
  if (given < static_cast<size_t>(wanted) && !WalkIsDone(replay->walk, WalkTo::kEnd)) {
    const size_t got =
        std::fread(dest + given, 1, wanted - given, replay->stream);
    try {
      given += replay->walk.Take(dest + given, got);
    } catch (...) {
      replay->out_of_memory = true;
      return 0;
    }
  }
  return HasTooManyScans(replay->walk) ? 0 : static_cast<int>(given);
}

int ReplayGetC(gdIOCtx* io) {
  unsigned char byte;
  return ReplayGetBuf(io, &byte, 1) == 1 ? byte : EOF;
}

// Walks the rest of `stream` in blocks until the walk is done.
void WalkBlocks(MarkerWalk* walk, FILE* stream, WalkTo goal) {
  unsigned char buffer[1 << 16];
  while (!WalkIsDone(*walk, goal)) {
    const size_t got = std::fread(buffer, 1, sizeof buffer, stream);
    if (got == 0) break;
    walk->Take(buffer, got);
  }
}

const std::string kNoHead;

}  // namespace

JpegHead ReadJpegHead(FILE* stream, bool regular_file) {
  JpegHead head;
  if (regular_file) {
    // Read again from its start when decoded, a file's head is only walked,
    // never kept: metadata of any length before the first scan costs
    // nothing but the reading.
    head.start = std::ftell(stream);
    WalkBlocks(&head.walk, stream, WalkTo::kHead);
    return head;
  }
  // A pipe: byte by byte through the stream's own buffer, so that nothing
  // past the head is taken; what follows is read by the decoder.
  // Its metadata is kept now, since it cannot be read again.
  head.walk = MarkerWalk(Metadata::kKeep);
  while (!WalkIsDone(head.walk, WalkTo::kHead) && head.bytes.size() < kMostHeadBytes) {
    const int c = std::getc(stream);
    if (c == EOF) break;
    const unsigned char byte = static_cast<unsigned char>(c);
    head.walk.Take(&byte, 1);
    head.bytes.push_back(static_cast<char>(byte));
  }
  return head;
}

// gdImageCreateFromJpegCtxEx's `ignore_warning`: not set, so that the
// library's warnings are reported too. A camera file whose data ends early
// decodes, grey where the data is missing, and the library's word on it is
// all a user gets.
constexpr int kReportWarnings = 0;

// What the walk of a picture the decoder made no image of found; the
// library's refusal where the walk found nothing wrong.
Reason WalkReason(const MarkerWalk& walk) {
  return HasTooManyScans(walk)    ? Reason::kTooManyScans
         : !walk.found().ended    ? Reason::kCutShort
                                  : Reason::kRefused;
}

gdImagePtr DecodeJpeg(JpegHead* head, FILE* stream, WalkFound* walked,
                      Reason* why) {
  Reason ignored;
  if (!why) why = &ignored;
  *why = Reason::kNoFrame;
  if (!head->walk.found().has_frame) return nullptr;
  Replay replay{};
  replay.io.getC = ReplayGetC;
  replay.io.getBuf = ReplayGetBuf;
  replay.io.data = &replay;
  replay.stream = stream;
  MarkerWalk whole(Metadata::kKeep);
  if (head->start >= 0) {
    // A file, unlike a pipe, is walked to its end and back before decoding.
    // A picture cut short is then refused at once, not after the decoder
    // has made every missing row grey, which for a large picture takes
    // seconds and gigabytes. This walk keeps the metadata, outside the
    // decoder; the decoder then reads the file from its start, walked afresh.
    *why = Reason::kUnreadable;
    if (std::fseek(stream, head->start, SEEK_SET) != 0) return nullptr;
    WalkBlocks(&whole, stream, WalkTo::kEnd);
    if (std::ferror(stream)) return nullptr;
    if (!whole.found().ended || HasTooManyScans(whole)) {
      *why = WalkReason(whole);
      return nullptr;
    }
    if (std::fseek(stream, head->start, SEEK_SET) != 0) return nullptr;
    replay.head = &kNoHead;
  } else {
    // A pipe: the head again, then the rest, walked on from the head's walk.
    replay.head = &head->bytes;
    replay.walk = std::move(head->walk);
  }
  gdImagePtr image = gdImageCreateFromJpegCtxEx(&replay.io, kReportWarnings);
  if (!image && head->start < 0 && !replay.out_of_memory) {
    // Where the library gave up, the rest of a pipe tells a picture cut
    // short from one the library refused.
    WalkBlocks(&replay.walk, stream, WalkTo::kEnd);
  }
  *why = std::ferror(stream)
             ? Reason::kUnreadable
             : WalkReason(head->start >= 0 ? whole : replay.walk);
  // The decoder fills a picture cut short with grey and reports nothing; a
  // frame made from it would be silently wrong. The walk stops feeding the
  // decoder past the scan cap, but may have passed the end-of-image marker
  // in the same block.
  if (image && (!replay.walk.found().ended || HasTooManyScans(replay.walk) ||
                replay.out_of_memory)) {
    gdImageDestroy(image);
    image = nullptr;
  }
  if (replay.out_of_memory) throw std::bad_alloc();
  if (image) *why = Reason::kNone;
  if (walked) {
    *walked = std::move(head->start >= 0 ? whole.found() : replay.walk.found());
  }
  return image;
}

FILE* OpenForReadingOrDie(const char* path) {
  FILE* stream = std::fopen(path, "r");
  if (!stream) DieWithReason(kFileOpenError, path, errno);
  return stream;
}

bool IsRegularFile(FILE* stream) {
  struct stat info;
  const int fd = fileno(stream);
  return fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

namespace {

// Why a head that holds no frame header has none. A stream that is not a
// JPEG is named by its first bytes, read again from a file's start, or, from
// a pipe, after the one or two the walk took.
Reason NoFrameReason(FILE* stream, const JpegHead* head) {
  const WalkFound& found = head->walk.found();
  if (std::ferror(stream)) return Reason::kUnreadable;
  if (found.bytes == 0) return Reason::kEmpty;
  if (found.not_jpeg) {
    unsigned char start[16];
    size_t size = 0;
    if (head->start >= 0) {
      if (std::fseek(stream, head->start, SEEK_SET) == 0) {
        size = std::fread(start, 1, sizeof start, stream);
      }
    } else {
      size = std::min(head->bytes.size(), sizeof start);
      std::memcpy(start, head->bytes.data(), size);
      size += std::fread(start + size, 1, sizeof start - size, stream);
    }
    return Signature(start, size);
  }
  if (head->start < 0 && head->bytes.size() >= kMostHeadBytes) {
    return Reason::kHeadTooLong;
  }
  return found.ended ? Reason::kNoFrame : Reason::kCutShort;
}

}  // namespace

Reason Signature(const unsigned char* bytes, size_t size) {
  const std::string start(reinterpret_cast<const char*>(bytes), size);
  auto at = [&](size_t offset, const char* text, size_t length) {
    return start.compare(offset, length, text, length) == 0 &&
           size >= offset + length;
  };
  if (at(0, "\x89PNG", 4)) return Reason::kPng;
  if (at(0, "GIF8", 4)) return Reason::kGif;
  if (at(0, "RIFF", 4) && at(8, "WEBP", 4)) return Reason::kWebp;
  if (at(4, "ftyp", 4)) return Reason::kHeif;
  if (at(0, "II*\0", 4) || at(0, "MM\0*", 4)) return Reason::kTiff;
  if (at(0, "BM", 2)) return Reason::kBmp;
  if (at(0, "%PDF", 4)) return Reason::kPdf;
  return Reason::kNotJpeg;
}

const char* ReasonText(Reason reason) {
  switch (reason) {
    case Reason::kNone: return "";
    case Reason::kEmpty: return "an empty file";
    case Reason::kUnreadable: return "it cannot be read (a folder, or a read error)";
    case Reason::kPng: return "a PNG picture, not a JPEG";
    case Reason::kGif: return "a GIF picture, not a JPEG";
    case Reason::kWebp: return "a WebP picture, not a JPEG";
    case Reason::kHeif: return "a HEIF or AVIF picture, not a JPEG";
    case Reason::kTiff: return "a TIFF picture, not a JPEG";
    case Reason::kBmp: return "a BMP picture, not a JPEG";
    case Reason::kPdf: return "a PDF document, not a JPEG";
    case Reason::kNotJpeg: return "not a JPEG";
    case Reason::kNoFrame: return "a JPEG with no picture in it";
    case Reason::kCutShort: return "a JPEG cut short";
    case Reason::kTooManyScans: return "a JPEG of more than 1000 scans";
    case Reason::kHeadTooLong:
      return "more than 32 MiB before its first scan, read from a pipe";
    case Reason::kRefused: return "the JPEG library refused it (its line is above)";
    case Reason::kDecoderFault: return "its decoder ended without a picture";
  }
  return "";
}

PictureHead ReadPictureHead(FILE* stream, bool regular_file, JpegHead* head) {
  PictureHead summary;
  try {
    *head = ReadJpegHead(stream, regular_file);
  } catch (const std::bad_alloc&) {
    summary.failure = Failure::kOutOfMemory;
    return summary;
  }
  const WalkFound& found = head->walk.found();
  summary.has_frame = found.has_frame;
  summary.width = found.width;
  summary.height = found.height;
  summary.metadata_bytes = found.metadata_bytes;
  summary.coefficient_bytes = CoefficientBytes(found);
  summary.kept_bytes = head->bytes.size();
  if (!found.has_frame) summary.reason = NoFrameReason(stream, head);
  return summary;
}

// The decoder holds every coefficient of the picture at once where the
// picture comes in more than one pass: a progressive one, or one whose
// first scan lacks some of its components (and where the walk has not seen
// that scan, it may be either). Each component is held in 8 x 8 blocks of
// 2-byte coefficients, its size scaled by its sampling factors against the
// largest and its blocks rounded up to whole units, as the decoder counts.
uint64_t CoefficientBytes(const WalkFound& found) {
  if (!found.progressive && found.first_scan_components == found.components) {
    return 0;
  }
  // Past kMostComponents the library refuses the picture before it takes
  // that memory.
  if (found.components < 1 || found.components > kMostComponents) return 0;
  auto factor = [](int value) { return std::clamp(value, 1, 4); };
  int most_h = 1, most_v = 1;
  for (int c = 0; c < found.components; ++c) {
    most_h = std::max(most_h, factor(found.sampling[c] >> 4));
    most_v = std::max(most_v, factor(found.sampling[c] & 0x0f));
  }
  uint64_t bytes = 0;
  for (int c = 0; c < found.components; ++c) {
    const uint64_t h = factor(found.sampling[c] >> 4);
    const uint64_t v = factor(found.sampling[c] & 0x0f);
    const uint64_t wide = (found.width * h + 8 * most_h - 1) / (8 * most_h);
    const uint64_t high = (found.height * v + 8 * most_v - 1) / (8 * most_v);
    bytes += (wide + h - 1) / h * h * ((high + v - 1) / v * v) * 128;
  }
  return bytes;
}

uint64_t DecoderBytes(const PictureHead& head) {
  return ImageBytes(head.width, head.height) + head.coefficient_bytes +
         2 * head.metadata_bytes + head.kept_bytes + kDecoderMarginBytes +
         kDecoderMarginLineBytes *
             (static_cast<uint64_t>(head.width) + head.height);
}

// The size in the picture's header is checked before any pixel is decoded:
// a file of a few bytes can claim pixels worth many gigabytes, which the
// decoder would touch until the system kills the process. The metadata
// worth keeping counts twice: its segments as read, and the profile made of
// them. While the picture is decoded, its decoder may hold what it is let
// take, and this process the image it receives and the profile; once the
// decoder is gone, the run holds its `images`.
uint64_t NeededBytes(const PictureHead& head, int images) {
  if (!head.has_frame) return 0;  // refused by the decode, not here
  const uint64_t image = ImageBytes(head.width, head.height);
  return std::max(DecoderBytes(head) + image + head.metadata_bytes,
                  images * image + 2 * head.metadata_bytes);
}

Failure DecodeFailure(bool decoded, int error) {
  if (decoded) return Failure::kNone;
  // The decoder gives up alike on damaged data and on an allocation that
  // failed; only the latter leaves ENOMEM behind.
  return error == ENOMEM ? Failure::kOutOfMemory : Failure::kDecodeError;
}

DecodedPicture DecodePicture(JpegHead* head, FILE* stream) {
  DecodedPicture decoded;
  WalkFound walked;
  try {
    errno = 0;
    decoded.image = DecodeJpeg(head, stream, &walked, &decoded.reason);
    decoded.failure = DecodeFailure(decoded.image != nullptr, errno);
    if (decoded.image) {
      decoded.look.orientation = ExifOrientation(walked.exif);
      decoded.look.icc_profile = IccProfile(walked.icc_chunks);
    }
  } catch (const std::bad_alloc&) {
    decoded.failure = Failure::kOutOfMemory;
  }
  if (decoded.failure != Failure::kNone && decoded.image) {
    gdImageDestroy(decoded.image);
    decoded.image = nullptr;
  }
  if (decoded.failure != Failure::kDecodeError) decoded.reason = Reason::kNone;
  return decoded;
}

void DieOfFailure(Failure failure, Reason reason, const char* path) {
  switch (failure) {
    case Failure::kNone:
      return;
    case Failure::kDecodeError:
      DieExplained(kFileDecodeError, path, ReasonText(reason));
    case Failure::kOutOfMemory:
      DieWithPath(kOutOfMemory, path);
  }
}

void CheckRoomOrDie(const PictureHead& head, int images, const char* path) {
  DieOfFailure(head.failure, head.reason, path);
  if (NeededBytes(head, images) > AvailableBytes()) {
    DieWithPath(kOutOfMemory, path);
  }
}
