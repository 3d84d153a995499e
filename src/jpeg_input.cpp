#include "jpeg_input.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace {

// Where the next byte falls. The walk follows the decoder's own reading:
// segments are skipped by their length fields, bytes between segments that
// are not markers are passed over, and in entropy-coded data 0xFF 0x00 is a
// stuffed byte and 0xFF 0xD0..0xD7 a restart marker.
enum State {
  kStart,        // expecting the 0xFF of start-of-image
  kStartMarker,  // expecting its 0xD8
  kSeek,         // between segments, looking for 0xFF
  kMarker,       // after 0xFF between segments
  kLengthHigh,   // the two length bytes of a segment
  kLengthLow,
  kSegment,        // inside a segment's parameters
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
constexpr int kFrameBytes = 5;

bool IsStartOfFrame(int marker) {
  return marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 &&
         marker != 0xcc;
}

// Markers that stand alone, without a length: restarts, TEM, and a repeated
// start-of-image (which the decoder refuses).
bool HasNoLength(int marker) {
  return (marker >= 0xd0 && marker <= 0xd7) || marker == 0x01 ||
         marker == kStartOfImage;
}

void StartMarker(JpegScan* scan, int marker) {
  scan->marker = marker;
  if (marker == kEndOfImage) {
    scan->ended = true;
    scan->state = kEnded;
  } else if (HasNoLength(marker)) {
    scan->state = kSeek;
  } else {
    scan->state = kLengthHigh;
  }
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
  return (scan.marker == kApp1 && scan.exif.empty()) ||
         (scan.marker == kApp2 && scan.icc_chunks.size() <= kMaxIccChunks);
}

bool StartsWith(const std::string& bytes, const char* id, size_t size) {
  return bytes.compare(0, size, id, size) == 0;
}

void KeepSegment(JpegScan* scan) {
  if (scan->marker == kApp1 && StartsWith(scan->kept, kExifId, 6)) {
    scan->exif = scan->kept.substr(6);
  } else if (scan->marker == kApp2 && StartsWith(scan->kept, kIccId, 12)) {
    scan->icc_chunks.push_back(scan->kept.substr(12));
  }
  scan->kept.clear();
  scan->keeping = false;
}

// The segment's parameters begin. A frame header too short to hold a size
// still counts as the frame: the decoder refuses it, and the walk must not
// go on to take a later frame header's size instead.
void StartSegment(JpegScan* scan, long length) {
  scan->remaining = std::max(length - 2, 0L);
  scan->keeping = WorthKeeping(*scan);
  scan->frame_byte = kFrameBytes;  // nothing to take from this segment
  if (IsStartOfFrame(scan->marker) && !scan->has_frame) {
    if (scan->remaining >= kFrameBytes) {
      scan->frame_byte = 0;
    } else {
      scan->has_frame = true;
    }
  }
}

void EndSegment(JpegScan* scan) {
  if (scan->keeping) KeepSegment(scan);
  if (scan->marker == kStartOfScan) {
    ++scan->scans;
    scan->state = kEntropy;
  } else {
    scan->state = kSeek;
  }
}

// The frame header: precision, then height and width, big-endian.
void TakeFrameByte(JpegScan* scan, unsigned char byte) {
  switch (scan->frame_byte++) {
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
      break;
  }
}

// Runs of bytes that cannot change the state are skipped in one step: the
// entropy-coded data is nearly all of a picture.
size_t SkipTo0xff(const unsigned char* data, size_t size) {
  const void* found = std::memchr(data, 0xff, size);
  return found ? static_cast<const unsigned char*>(found) - data : size;
}

}  // namespace

size_t ScanJpegBytes(JpegScan* scan, const unsigned char* data, size_t size) {
  size_t i = 0;
  while (i < size && scan->state != kEnded) {
    switch (scan->state) {
      case kSeek:
      case kEntropy:
        i += SkipTo0xff(data + i, size - i);
        if (i == size) break;
        scan->state = scan->state == kSeek ? kMarker : kEntropyMarker;
        ++i;
        break;
      case kSegment:
        if (scan->frame_byte < kFrameBytes) {
          TakeFrameByte(scan, data[i++]);
          --scan->remaining;
        } else {
          const size_t skip =
              std::min(static_cast<size_t>(scan->remaining), size - i);
          if (scan->keeping) {
            scan->kept.append(reinterpret_cast<const char*>(data + i), skip);
          }
          i += skip;
          scan->remaining -= static_cast<long>(skip);
        }
        if (scan->remaining == 0) EndSegment(scan);
        break;
      default: {
        const unsigned char byte = data[i++];
        switch (scan->state) {
          case kStart:
            scan->state = byte == 0xff ? kStartMarker : kEnded;
            scan->not_jpeg = byte != 0xff;
            break;
          case kStartMarker:
            scan->state = byte == kStartOfImage ? kSeek : kEnded;
            scan->not_jpeg = byte != kStartOfImage;
            break;
          case kMarker:
            if (byte == 0x00)
              scan->state = kSeek;
            else if (byte != 0xff)
              StartMarker(scan, byte);
            break;
          case kEntropyMarker:
            if (byte == 0x00 || (byte >= 0xd0 && byte <= 0xd7)) {
              scan->state = kEntropy;
            } else if (byte != 0xff) {
              StartMarker(scan, byte);
            }
            break;
          case kLengthHigh:
            scan->remaining = long{byte} << 8;
            scan->state = kLengthLow;
            break;
          case kLengthLow:
            StartSegment(scan, scan->remaining | byte);
            scan->state = kSegment;
            if (scan->remaining == 0) EndSegment(scan);
            break;
        }
      }
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

bool HeadIsComplete(const JpegScan& scan) {
  return scan.has_frame || scan.state == kEnded;
}

// The decoder reads through this: first the head again, then the rest of
// the stream, walked as it passes, up to the end-of-image marker.
struct Replay {
  gdIOCtx io;  // first, so the library's pointer is the Replay's
  JpegHead* head;
  size_t replayed;
  FILE* stream;
};

int ReplayGetBuf(gdIOCtx* io, void* out, int wanted) {
  Replay* replay = reinterpret_cast<Replay*>(io);
  const std::string& head = replay->head->bytes;
  JpegScan* scan = &replay->head->scan;
  unsigned char* dest = static_cast<unsigned char*>(out);
  if (wanted <= 0) return 0;
  size_t given =
      std::min(static_cast<size_t>(wanted), head.size() - replay->replayed);
  std::memcpy(dest, head.data() + replay->replayed, given);
  replay->replayed += given;
  if (given < static_cast<size_t>(wanted) && scan->state != kEnded &&
      !HasTooManyScans(*scan)) {
    const size_t got =
        std::fread(dest + given, 1, wanted - given, replay->stream);
    given += ScanJpegBytes(scan, dest + given, got);
  }
  return HasTooManyScans(*scan) ? 0 : static_cast<int>(given);
}

int ReplayGetC(gdIOCtx* io) {
  unsigned char byte;
  return ReplayGetBuf(io, &byte, 1) == 1 ? byte : EOF;
}

// Walks the rest of `stream` in blocks: to the end of the frame header, or
// with `to_end` to the end-of-image marker, whichever the walk reaches; it
// stops early at the end of the stream or past the scan cap.
void WalkBlocks(JpegScan* scan, FILE* stream, bool to_end) {
  unsigned char buffer[1 << 16];
  while (scan->state != kEnded && !HasTooManyScans(*scan) &&
         (to_end || !scan->has_frame)) {
    const size_t got = std::fread(buffer, 1, sizeof buffer, stream);
    if (got == 0) break;
    ScanJpegBytes(scan, buffer, got);
  }
}

// Where the picture starts in a regular file, which can be read again from
// there; -1 for a pipe or anything else that cannot come back.
long RewindableStart(FILE* stream) {
  struct stat info;
  const int fd = fileno(stream);
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return std::ftell(stream);
}

// A file, unlike a pipe, is walked to its end and back before decoding. A
// picture cut short is then refused at once, not after the decoder has made
// every missing row grey, which for a large picture takes seconds and
// gigabytes. The walk goes on from where the head's walk stopped; the decoder
// then reads the file from its start, walked afresh.
bool RewindWhole(JpegHead* head, FILE* stream) {
  JpegScan whole = head->scan;
  WalkBlocks(&whole, stream, true);
  if (!whole.ended || HasTooManyScans(whole) ||
      std::fseek(stream, head->start, SEEK_SET) != 0) {
    return false;
  }
  head->scan = JpegScan{};
  return true;
}

}  // namespace

JpegHead ReadJpegHead(FILE* stream) {
  JpegHead head;
  head.start = RewindableStart(stream);
  if (head.start >= 0) {
    // Read again from its start when decoded, a file's head is only walked,
    // never kept: metadata of any length before the frame header costs
    // nothing but the reading.
    WalkBlocks(&head.scan, stream, false);
    return head;
  }
  // Byte by byte through the stream's own buffer, so that nothing past the
  // frame header is taken; what follows is read by the decoder.
  while (!HeadIsComplete(head.scan) && head.bytes.size() < kMaxHeadBytes) {
    const int c = std::getc(stream);
    if (c == EOF) break;
    const unsigned char byte = static_cast<unsigned char>(c);
    ScanJpegBytes(&head.scan, &byte, 1);
    head.bytes.push_back(static_cast<char>(byte));
  }
  return head;
}

gdImagePtr DecodeJpeg(JpegHead* head, FILE* stream) {
  if (!head->scan.has_frame) return nullptr;
  if (head->start >= 0 && !RewindWhole(head, stream)) return nullptr;
  Replay replay{};
  replay.io.getC = ReplayGetC;
  replay.io.getBuf = ReplayGetBuf;
  replay.head = head;
  replay.stream = stream;
  gdImagePtr image = gdImageCreateFromJpegCtx(&replay.io);
  // The decoder fills a picture cut short with grey and reports nothing;
  // a frame made from it would be silently wrong.
  if (image && (!head->scan.ended || HasTooManyScans(head->scan))) {
    gdImageDestroy(image);
    return nullptr;
  }
  return image;
}
