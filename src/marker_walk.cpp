#include "marker_walk.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// Where the next byte falls. The walk follows the decoder's own reading:
// segments are skipped by their length fields, bytes between segments that
// are not markers are passed over, and in entropy-coded data 0xFF 0x00 is a
// stuffed byte and 0xFF 0xD0..0xD7 a restart marker.
enum State {
  kStart = 0,      // expecting the 0xFF of start-of-image
  kStartMarker,    // expecting its 0xD8
  kSeek,           // between segments, looking for 0xFF
  kMarker,         // after 0xFF between segments
  kLengthHigh,     // the first of a segment's two length bytes
  kLengthLow,      // the second
  kFrameHeader,    // the frame header: precision, size and components
  kScanHeader,     // the first scan header's component count
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

// SOF2, SOF6, SOF10 and SOF14: the picture is refined scan by scan.
bool IsProgressive(int marker) { return (marker & 0x03) == 0x02; }

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

}  // namespace

bool MarkerWalk::stopped() const { return state_ == kEnded; }

// The segments that say how the picture is shown are kept, and only those,
// from before the first scan, as the decoder's own marker reader sees them.
bool MarkerWalk::WorthKeeping() const {
  if (found_.scans > 0) return false;
  return (marker_ == kApp1 && found_.exif.empty()) ||
         (marker_ == kApp2 && found_.icc_chunks.size() <= kMaxIccChunks);
}

bool StartsWith(const std::string& bytes, const char* id, size_t size) {
  return bytes.compare(0, size, id, size) == 0;
}

void MarkerWalk::KeepSegment() {
  if (marker_ == kApp1 && StartsWith(kept_, kExifId, 6)) {
    found_.exif = kept_.substr(6);
  } else if (marker_ == kApp2 && StartsWith(kept_, kIccId, 12)) {
    found_.icc_chunks.push_back(kept_.substr(12));
  }
  kept_.clear();
  keeping_ = false;
}

void MarkerWalk::StartMarker(int marker) {
  marker_ = marker;
  if (marker == kEndOfImage) {
    found_.ended = true;
    state_ = kEnded;
  } else {
    state_ = HasNoLength(marker) ? kSeek : kLengthHigh;
  }
}

void MarkerWalk::EndSegment() {
  if (keeping_) KeepSegment();
  if (marker_ == kStartOfScan) {
    ++found_.scans;
    state_ = kEntropy;
  } else {
    state_ = kSeek;
  }
}

// The segment's parameters begin. A frame header too short to hold a size
// still counts as the frame: the decoder refuses it, and the walk must not
// go on to take a later frame header's size instead.
void MarkerWalk::StartSegment(long length) {
  remaining_ = std::max(length - 2, 0L);
  if (WorthKeeping()) {
    found_.metadata_bytes += static_cast<size_t>(remaining_);
    keeping_ = metadata_ == Metadata::kKeep;
  }
  state_ = kSegment;
  if (IsStartOfFrame(marker_) && !found_.has_frame) {
    found_.progressive = IsProgressive(marker_);
    if (remaining_ >= kFrameSizeBytes) {
      state_ = kFrameHeader;
      frame_offset_ = 0;
    } else {
      found_.has_frame = true;
    }
  } else if (marker_ == kStartOfScan && found_.scans == 0 && remaining_ > 0) {
    state_ = kScanHeader;
  }
  if (remaining_ == 0) EndSegment();
}

// The frame header: precision, height and width, big-endian; once the width
// is read the size is known. Then the component count, and for each
// component its identifier, sampling factors and table.
void MarkerWalk::TakeFrameByte(unsigned char byte) {
  const int offset = frame_offset_++;
  switch (offset) {
    case 0:
      break;
    case 1:
      found_.height = byte << 8;
      break;
    case 2:
      found_.height |= byte;
      break;
    case 3:
      found_.width = byte << 8;
      break;
    case 4:
      found_.width |= byte;
      found_.has_frame = true;
      break;
    case 5:
      found_.components = byte;
      break;
    default:
      if ((offset - 6) % 3 == 1 && (offset - 6) / 3 < kMostComponents) {
        found_.sampling[(offset - 6) / 3] = byte;
      }
  }
  if (--remaining_ == 0) EndSegment();
}

// The rest of a segment, skipped (or kept) in one step.
size_t MarkerWalk::TakeSegmentBytes(const unsigned char* data, size_t size) {
  const size_t taken = std::min(static_cast<size_t>(remaining_), size);
  if (keeping_) kept_.append(reinterpret_cast<const char*>(data), taken);
  remaining_ -= static_cast<long>(taken);
  if (remaining_ == 0) EndSegment();
  return taken;
}

// Runs of bytes that cannot change the state are skipped in one step: the
// entropy-coded data is nearly all of a picture. Returns how many bytes it
// took, the 0xFF included, which moves the walk to `next`.
size_t MarkerWalk::TakeTo0xff(const unsigned char* data, size_t size,
                              int next) {
  const void* found = std::memchr(data, 0xff, size);
  if (!found) return size;
  state_ = next;
  return static_cast<const unsigned char*>(found) - data + 1;
}

size_t MarkerWalk::Take(const unsigned char* data, size_t size) {
  size_t i = 0;
  while (i < size && state_ != kEnded) {
    const unsigned char byte = data[i];
    switch (state_) {
      case kStart:
        found_.not_jpeg = byte != 0xff;
        state_ = found_.not_jpeg ? kEnded : kStartMarker;
        ++i;
        break;
      case kStartMarker:
        found_.not_jpeg = byte != kStartOfImage;
        state_ = found_.not_jpeg ? kEnded : kSeek;
        ++i;
        break;
      case kSeek:
        i += TakeTo0xff(data + i, size - i, kMarker);
        break;
      case kMarker:
        // Fill bytes repeat the 0xFF; a zero after it is no marker.
        if (byte == 0x00) {
          state_ = kSeek;
        } else if (byte != 0xff) {
          StartMarker(byte);
        }
        ++i;
        break;
      case kLengthHigh:
        length_high_ = byte;
        state_ = kLengthLow;
        ++i;
        break;
      case kLengthLow:
        StartSegment((long{length_high_} << 8) | byte);
        ++i;
        break;
      case kFrameHeader:
        TakeFrameByte(byte);
        ++i;
        break;
      case kScanHeader:
        found_.first_scan_components = byte;
        state_ = kSegment;
        if (--remaining_ == 0) EndSegment();
        ++i;
        break;
      case kSegment:
        i += TakeSegmentBytes(data + i, size - i);
        break;
      case kEntropy:
        i += TakeTo0xff(data + i, size - i, kEntropyMarker);
        break;
      case kEntropyMarker:
        // A stuffed zero or a restart marker stays in the scan's data.
        if (byte == 0x00 || IsRestart(byte)) {
          state_ = kEntropy;
        } else if (byte != 0xff) {
          StartMarker(byte);
        }
        ++i;
        break;
    }
  }
  found_.bytes += i;
  return i;
}

