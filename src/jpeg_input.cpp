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

// Where the next byte falls. The walk follows the decoder's own reading:
// segments are skipped by their length fields, bytes between segments that
// are not markers are passed over, and in entropy-coded data 0xFF 0x00 is a
// stuffed byte and 0xFF 0xD0..0xD7 a restart marker.
enum State {
  kStart,          // expecting the 0xFF of start-of-image
  kStartMarker,    // expecting its 0xD8
  kSeek,           // between segments, looking for 0xFF
  kMarker,         // after 0xFF between segments
  kLengthHigh,     // the first of a segment's two length bytes
  kLengthLow,      // the second
  kFrameHeader,    // the frame header's precision, height and width
  kSegment,        // the rest of a segment's parameters
  kEntropy,        // inside a scan's entropy-coded data
  kEntropyMarker,  // after 0xFF in entropy-coded data
  kEnded,          // past end-of-image, or not a JPEG
};

constexpr int kApp1 = 0xe1;
constexpr int kApp2 = 0xe2;
constexpr int kStartOfImage = 0xd8;
constexpr int kEndOfImage = 0xd9;
constexpr int kStartOfScan = 0xda;
// Of the frame header: precision, height and width.
constexpr long kFrameSizeBytes = 5;

bool IsStartOfFrame(int marker) {
  return marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 &&
         marker != 0xcc;
}

bool IsRestart(int marker) { return marker >= 0xd0 && marker <= 0xd7; }

// Markers that stand alone, without a length: restarts, TEM, and a repeated
// start-of-image (which the decoder refuses).
bool HasNoLength(int marker) {
  return IsRestart(marker) || marker == 0x01 || marker == kStartOfImage;
}

// A set of ICC chunks numbers them from 1 to at most 255; past that many it
// cannot be whole, and nothing more of it is kept.
constexpr size_t kMaxIccChunks = 255;

const char kExifId[] = "Exif\0";  // and the string's own NUL
const char kIccId[] = "ICC_PROFILE";

// The segments that say how the picture is shown are kept, and only those,
// from before the first scan, as the decoder's own marker reader sees them.
bool WorthKeeping(const JpegScan& scan) {
  if (scan.scans > 0) return false;
  return (scan.at.marker == kApp1 && scan.exif.empty()) ||
         (scan.at.marker == kApp2 && scan.icc_chunks.size() <= kMaxIccChunks);
}

bool StartsWith(const std::string& bytes, const char* id, size_t size) {
  return bytes.compare(0, size, id, size) == 0;
}

void KeepSegment(JpegScan* scan) {
  if (scan->at.marker == kApp1 && StartsWith(scan->at.kept, kExifId, 6)) {
    scan->exif = scan->at.kept.substr(6);
  } else if (scan->at.marker == kApp2 && StartsWith(scan->at.kept, kIccId, 12)) {
    scan->icc_chunks.push_back(scan->at.kept.substr(12));
  }
  scan->at.kept.clear();
  scan->at.keeping = false;
}

void StartMarker(JpegScan* scan, int marker) {
  scan->at.marker = marker;
  if (marker == kEndOfImage) {
    scan->ended = true;
    scan->at.state = kEnded;
  } else {
    scan->at.state = HasNoLength(marker) ? kSeek : kLengthHigh;
  }
}

void EndSegment(JpegScan* scan) {
  if (scan->at.keeping) KeepSegment(scan);
  if (scan->at.marker == kStartOfScan) {
    ++scan->scans;
    scan->at.state = kEntropy;
  } else {
    scan->at.state = kSeek;
  }
}

// The segment's parameters begin. A frame header too short to hold a size
// still counts as the frame: the decoder refuses it, and the walk must not
// go on to take a later frame header's size instead.
void StartSegment(JpegScan* scan, long length) {
  scan->at.remaining = std::max(length - 2, 0L);
  if (WorthKeeping(*scan)) {
    scan->metadata_bytes += static_cast<size_t>(scan->at.remaining);
    scan->at.keeping = scan->keeps;
  }
  scan->at.state = kSegment;
  if (IsStartOfFrame(scan->at.marker) && !scan->has_frame) {
    if (scan->at.remaining >= kFrameSizeBytes) {
      scan->at.state = kFrameHeader;
      scan->at.frame_offset = 0;
    } else {
      scan->has_frame = true;
    }
  }
  if (scan->at.remaining == 0) EndSegment(scan);
}

// The frame header: precision, then height and width, big-endian. Once the
// width is read the size is known; the rest of the header is skipped.
void TakeFrameByte(JpegScan* scan, unsigned char byte) {
  switch (scan->at.frame_offset++) {
    case 1:
      scan->height = byte << 8;
      break;
    case 2:
      scan->height |= byte;
      break;
    case 3:
      scan->width = byte << 8;
      break;
    case 4:
      scan->width |= byte;
      scan->has_frame = true;
      scan->at.state = kSegment;
      break;
  }
  if (--scan->at.remaining == 0) EndSegment(scan);
}

// The rest of a segment, skipped (or kept) in one step.
size_t TakeSegmentBytes(JpegScan* scan, const unsigned char* data,
                        size_t size) {
  const size_t taken = std::min(static_cast<size_t>(scan->at.remaining), size);
  if (scan->at.keeping) scan->at.kept.append(reinterpret_cast<const char*>(data), taken);
  scan->at.remaining -= static_cast<long>(taken);
  if (scan->at.remaining == 0) EndSegment(scan);
  return taken;
}

// Runs of bytes that cannot change the state are skipped in one step: the
// entropy-coded data is nearly all of a picture. Returns how many bytes it
// took, the 0xFF included, which moves the walk to `next`.
size_t TakeTo0xff(JpegScan* scan, const unsigned char* data, size_t size,
                  State next) {
  const void* found = std::memchr(data, 0xff, size);
  if (!found) return size;
  scan->at.state = next;
  return static_cast<const unsigned char*>(found) - data + 1;
}

}  // namespace

size_t ScanJpegBytes(JpegScan* scan, const unsigned char* data, size_t size) {
  size_t i = 0;
  while (i < size && scan->at.state != kEnded) {
    const unsigned char byte = data[i];
    switch (scan->at.state) {
      case kStart:
        scan->not_jpeg = byte != 0xff;
        scan->at.state = scan->not_jpeg ? kEnded : kStartMarker;
        ++i;
        break;
      case kStartMarker:
        scan->not_jpeg = byte != kStartOfImage;
        scan->at.state = scan->not_jpeg ? kEnded : kSeek;
        ++i;
        break;
      case kSeek:
        i += TakeTo0xff(scan, data + i, size - i, kMarker);
        break;
      case kMarker:
        // Fill bytes repeat the 0xFF; a zero after it is no marker.
        if (byte == 0x00) {
          scan->at.state = kSeek;
        } else if (byte != 0xff) {
          StartMarker(scan, byte);
        }
        ++i;
        break;
      case kLengthHigh:
        scan->at.length_high = byte;
        scan->at.state = kLengthLow;
        ++i;
        break;
      case kLengthLow:
        StartSegment(scan, (long{scan->at.length_high} << 8) | byte);
        ++i;
        break;
      case kFrameHeader:
        TakeFrameByte(scan, byte);
        ++i;
        break;
      case kSegment:
        i += TakeSegmentBytes(scan, data + i, size - i);
        break;
      case kEntropy:
        i += TakeTo0xff(scan, data + i, size - i, kEntropyMarker);
        break;
      case kEntropyMarker:
        // A stuffed zero or a restart marker stays in the scan's data.
        if (byte == 0x00 || IsRestart(byte)) {
          scan->at.state = kEntropy;
        } else if (byte != 0xff) {
          StartMarker(scan, byte);
        }
        ++i;
        break;
    }
  }
  return i;
}

namespace {

// A pipe's head is kept to be replayed to the decoder, so it is bounded: no
// real picture puts this much before its frame header (metadata segments are
// at most 64 KiB each, and a few of them make a picture's metadata). A file's
// head is never kept, and has no bound.
constexpr size_t kMaxHeadBytes = size_t{32} << 20;

// A progressive picture is refined scan by scan, and each scan costs a pass
// over the whole picture; real encoders use a few dozen at most. Past this
// many the stream is cut off, so a small hostile file cannot keep the
// decoder busy for minutes.
constexpr int kMaxScans = 1000;

bool HasTooManyScans(const JpegScan& scan) { return scan.scans > kMaxScans; }

// How far a walk goes: to the frame header, which gives the picture's size,
// or to the end-of-image marker.
enum class WalkTo { kFrameHeader, kEnd };

// Where every walk stops: at the end-of-image marker (or a stream that is
// not a JPEG), past the scan cap, or, for a walk to the frame header, once
// the frame's size is known.
bool WalkIsDone(const JpegScan& scan, WalkTo goal) {
  return scan.at.state == kEnded || HasTooManyScans(scan) ||
         (goal == WalkTo::kFrameHeader && scan.has_frame);
}

// The decoder reads through this: first a pipe's head again, then the rest
// of the stream, walked as it passes, up to the end-of-image marker.
struct Replay {
  gdIOCtx io;  // first, so the library's pointer is the Replay's
  const std::string* head;
  size_t replayed;
  FILE* stream;
  JpegScan scan;
};

// Called by the decoder, which is C: nothing may be thrown through it. A
// pipe's metadata between its frame header and its first scan is kept here;
// with no memory for it, the stream ends, and the walk says why.
int ReplayGetBuf(gdIOCtx* io, void* out, int wanted) {
  Replay* replay = reinterpret_cast<Replay*>(io);
  if (replay->scan.out_of_memory) return 0;
  unsigned char* dest = static_cast<unsigned char*>(out);
  if (wanted <= 0) return 0;
  size_t given = std::min(static_cast<size_t>(wanted),
                          replay->head->size() - replay->replayed);
  std::memcpy(dest, replay->head->data() + replay->replayed, given);
  replay->replayed += given;
  if (given < static_cast<size_t>(wanted) && !WalkIsDone(replay->scan, WalkTo::kEnd)) {
    const size_t got =
        std::fread(dest + given, 1, wanted - given, replay->stream);
    try {
      given += ScanJpegBytes(&replay->scan, dest + given, got);
    } catch (...) {
      replay->scan.out_of_memory = true;
      return 0;
    }
  }
  return HasTooManyScans(replay->scan) ? 0 : static_cast<int>(given);
}

int ReplayGetC(gdIOCtx* io) {
  unsigned char byte;
  return ReplayGetBuf(io, &byte, 1) == 1 ? byte : EOF;
}

// Walks the rest of `stream` in blocks until the walk is done.
void WalkBlocks(JpegScan* scan, FILE* stream, WalkTo goal) {
  unsigned char buffer[1 << 16];
  while (!WalkIsDone(*scan, goal)) {
    const size_t got = std::fread(buffer, 1, sizeof buffer, stream);
    if (got == 0) break;
    ScanJpegBytes(scan, buffer, got);
  }
}

const std::string kNoHead;

}  // namespace

JpegHead ReadJpegHead(FILE* stream, bool regular_file) {
  JpegHead head;
  if (regular_file) {
    // Read again from its start when decoded, a file's head is only walked,
    // never kept: metadata of any length before the frame header costs
    // nothing but the reading.
    head.start = std::ftell(stream);
    WalkBlocks(&head.scan, stream, WalkTo::kFrameHeader);
    return head;
  }
  // A pipe: byte by byte through the stream's own buffer, so that nothing
  // past the frame header is taken; what follows is read by the decoder.
  // Its metadata is kept now, since it cannot be read again.
  head.scan.keeps = true;
  while (!WalkIsDone(head.scan, WalkTo::kFrameHeader) && head.bytes.size() < kMaxHeadBytes) {
    const int c = std::getc(stream);
    if (c == EOF) break;
    const unsigned char byte = static_cast<unsigned char>(c);
    ScanJpegBytes(&head.scan, &byte, 1);
    head.bytes.push_back(static_cast<char>(byte));
  }
  return head;
}

gdImagePtr DecodeJpeg(JpegHead* head, FILE* stream, JpegScan* walked) {
  if (!head->scan.has_frame) return nullptr;
  Replay replay{};
  replay.io.getC = ReplayGetC;
  replay.io.getBuf = ReplayGetBuf;
  replay.stream = stream;
  JpegScan whole;
  if (head->start >= 0) {
    // A file, unlike a pipe, is walked to its end and back before decoding.
    // A picture cut short is then refused at once, not after the decoder
    // has made every missing row grey, which for a large picture takes
    // seconds and gigabytes. This walk keeps the metadata, outside the
    // decoder; the decoder then reads the file from its start, walked afresh.
    whole.keeps = true;
    if (std::fseek(stream, head->start, SEEK_SET) != 0) return nullptr;
    WalkBlocks(&whole, stream, WalkTo::kEnd);
    if (!whole.ended || HasTooManyScans(whole) ||
        std::fseek(stream, head->start, SEEK_SET) != 0) {
      return nullptr;
    }
    replay.head = &kNoHead;
  } else {
    // A pipe: the head again, then the rest, walked on from the head's walk.
    replay.head = &head->bytes;
    replay.scan = std::move(head->scan);
  }
  // Warnings too: a camera file whose data ends early decodes, grey where
  // the data is missing, and the library's word on it is all a user gets.
  gdImagePtr image = gdImageCreateFromJpegCtxEx(&replay.io, 0);
  // The decoder fills a picture cut short with grey and reports nothing;
  // a frame made from it would be silently wrong.
  if (image && (!replay.scan.ended || HasTooManyScans(replay.scan))) {
    gdImageDestroy(image);
    image = nullptr;
  }
  if (walked) {
    *walked = std::move(head->start >= 0 ? whole : replay.scan);
    walked->out_of_memory = replay.scan.out_of_memory;
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

PictureHead ReadPictureHead(FILE* stream, bool regular_file, JpegHead* head) {
  PictureHead summary;
  try {
    *head = ReadJpegHead(stream, regular_file);
  } catch (const std::bad_alloc&) {
    summary.failure = Failure::kOutOfMemory;
    return summary;
  }
  summary.has_frame = head->scan.has_frame;
  summary.width = head->scan.width;
  summary.height = head->scan.height;
  summary.metadata_bytes = head->scan.metadata_bytes;
  return summary;
}

// The size in the picture's header is checked before any pixel is decoded:
// a file of a few bytes can claim pixels worth many gigabytes, which the
// decoder would touch until the system kills the process. The metadata
// worth keeping counts twice: its segments as read, and the profile made of
// them.
uint64_t NeededBytes(const PictureHead& head, int images) {
  if (!head.has_frame) return 0;  // refused by the decode, not here
  return images * ImageBytes(head.width, head.height) +
         2 * head.metadata_bytes;
}

DecodedPicture DecodePicture(JpegHead* head, FILE* stream) {
  DecodedPicture decoded;
  JpegScan walked;
  try {
    // The decoder gives up alike on damaged data and on an allocation that
    // failed; only the latter leaves ENOMEM behind.
    errno = 0;
    decoded.image = DecodeJpeg(head, stream, &walked);
    if (walked.out_of_memory || (!decoded.image && errno == ENOMEM)) {
      decoded.failure = Failure::kOutOfMemory;
    } else if (!decoded.image) {
      decoded.failure = Failure::kDecodeError;
    } else {
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
  return decoded;
}

void DieOfFailure(Failure failure, const char* path) {
  switch (failure) {
    case Failure::kNone:
      return;
    case Failure::kDecodeError:
      DieWithPath(kFileDecodeError, path);
    case Failure::kOutOfMemory:
      DieWithPath(kOutOfMemory, path);
  }
}

void CheckRoomOrDie(const PictureHead& head, int images, const char* path) {
  DieOfFailure(head.failure, path);
  if (NeededBytes(head, images) > AvailableBytes()) {
    DieWithPath(kOutOfMemory, path);
  }
}

gdImagePtr DecodeJpegOrDie(FILE* stream, const char* path, int images,
                           Appearance* appearance) {
  JpegHead head;
  CheckRoomOrDie(ReadPictureHead(stream, IsRegularFile(stream), &head), images,
                 path);
  DecodedPicture decoded = DecodePicture(&head, stream);
  DieOfFailure(decoded.failure, path);
  *appearance = std::move(decoded.look);
  return decoded.image;
}
