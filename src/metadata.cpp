#include "metadata.h"

#include <cstdio>


namespace {

// The unsigned number of `bytes` bytes at `at`. The offsets and counts come
// from the picture, and a hostile one may point anywhere: every caller
// checks them against the data's end first.
unsigned ReadUnsigned(const std::string& data, size_t at, int bytes,
                      bool big_endian) {
  unsigned value = 0;
  for (int k = 0; k < bytes; ++k) {
    const unsigned byte = static_cast<unsigned char>(data[at + k]);
    value |= big_endian ? byte << (8 * (bytes - 1 - k)) : byte << (8 * k);
  }
  return value;
}

constexpr unsigned kOrientationTag = 0x0112;
constexpr unsigned kShort = 3;
constexpr size_t kEntryBytes = 12;

// The most profile data one APP2 segment holds, as libjpeg splits it.
constexpr size_t kIccChunkData = 65519;

void AppendSegment(std::string* out, int marker, const std::string& body) {
  const size_t length = body.size() + 2;
  *out += '\xff';
  *out += static_cast<char>(marker);
  *out += static_cast<char>(length >> 8);
  *out += static_cast<char>(length & 0xff);
  *out += body;
}

// The APP1 segment of a TIFF header and IFD0 with the one entry,
// big-endian.
std::string ExifSegment(int orientation) {
  std::string body("Exif\0\0MM\0*\0\0\0\x08", 14);
  body += std::string("\0\x01\x01\x12\0\x03\0\0\0\x01\0", 11);
  body += static_cast<char>(orientation);
  body += std::string(6, '\0');  // the value's padding, and no next IFD
  std::string out;
  AppendSegment(&out, 0xe1, body);
  return out;
}

std::string IccSegments(const std::string& profile) {
  const size_t count = (profile.size() + kIccChunkData - 1) / kIccChunkData;
  std::string out;
  for (size_t k = 0; k < count; ++k) {
    std::string body("ICC_PROFILE\0", 12);
    body += static_cast<char>(k + 1);
    body += static_cast<char>(count);
    body += profile.substr(k * kIccChunkData, kIccChunkData);
    AppendSegment(&out, 0xe2, body);
  }
  return out;
}

}  // namespace

int ExifOrientation(const std::string& tiff) {
  if (tiff.size() < 8) return 1;
  const bool big_endian = tiff.compare(0, 4, "MM\0*", 4) == 0;
  if (!big_endian && tiff.compare(0, 4, "II*\0", 4) != 0) return 1;
  const size_t ifd = ReadUnsigned(tiff, 4, 4, big_endian);
  if (ifd > tiff.size() || tiff.size() - ifd < 2) return 1;
  const size_t entries = ReadUnsigned(tiff, ifd, 2, big_endian);
  // A directory that runs past its segment is malformed as a whole, even
  // where the entry sought comes before the end.
  if (entries * kEntryBytes > tiff.size() - ifd - 2) return 1;
  for (size_t k = 0; k < entries; ++k) {
    const size_t at = ifd + 2 + k * kEntryBytes;
    if (ReadUnsigned(tiff, at, 2, big_endian) != kOrientationTag) continue;
    const unsigned value = ReadUnsigned(tiff, at + 8, 2, big_endian);
    const bool valid = ReadUnsigned(tiff, at + 2, 2, big_endian) == kShort &&
                       ReadUnsigned(tiff, at + 4, 4, big_endian) == 1 &&
                       value >= 1 && value <= 8;
    return valid ? static_cast<int>(value) : 1;
  }
  return 1;
}

std::string IccProfile(const std::vector<std::string>& chunks) {
  // As libjpeg's jpeg_read_icc_profile: every chunk names the same count,
  // and each number from 1 to it comes exactly once.
  if (chunks.empty() || chunks[0].size() < 2) return "";
  const size_t count = static_cast<unsigned char>(chunks[0][1]);
  if (count == 0 || chunks.size() != count) return "";
  std::vector<const std::string*> ordered(count, nullptr);
  for (const std::string& chunk : chunks) {
    if (chunk.size() < 2 || static_cast<unsigned char>(chunk[1]) != count) {
      return "";
    }
    const size_t number = static_cast<unsigned char>(chunk[0]);
    if (number == 0 || number > count || ordered[number - 1]) return "";
    ordered[number - 1] = &chunk;
  }
  // Made at its full size at once: grown chunk by chunk, the string would
  // hold one and a half profiles as it moved, more than the memory check
  // counts.
  size_t bytes = 0;
  for (const std::string* chunk : ordered) bytes += chunk->size() - 2;
  std::string profile;
  profile.reserve(bytes);
  for (const std::string* chunk : ordered) profile.append(*chunk, 2);
  return profile;
}

SharedMetadata SharedSegments(const Appearance& first,
                              const Appearance& second) {
  SharedMetadata shared;
  // Pictures whose orientations differ were turned upright before: an
  // orientation that stays is one both carry.
  if (first.orientation == second.orientation && first.orientation != 1) {
    shared.segments += ExifSegment(first.orientation);
  }
  if (first.icc_profile == second.icc_profile) {
    if (!first.icc_profile.empty()) {
      shared.segments += IccSegments(first.icc_profile);
    }
  } else if (second.icc_profile.empty()) {
    shared.disagreement =
        "only the first picture carries a colour profile; the frames carry "
        "none";
  } else if (first.icc_profile.empty()) {
    shared.disagreement =
        "only the second picture carries a colour profile; the frames carry "
        "none";
  } else {
    shared.disagreement =
        "the pictures carry different colour profiles; the frames carry none";
  }
  return shared;
}

void InsertSegments(std::string* jpeg, const std::string& segments) {
  if (segments.empty()) return;
  size_t at = 2;
  if (jpeg->size() >= 6 && jpeg->compare(2, 2, "\xff\xe0") == 0) {
    at = 4 + ReadUnsigned(*jpeg, 4, 2, true);
  }
  if (at > jpeg->size()) at = 2;
  jpeg->insert(at, segments);
}
