// Fuzz target: two pictures through what the tool runs on them. The input is
// a two-byte big-endian length, the first picture, and the second picture.
//
// Besides crashes and undefined behaviour it stops on any input where the
// header walk and the decoder disagree: a picture the decoder accepts must
// have the size the walk read before decoding, and where the walk finds no
// frame header the decoder must find none either; otherwise the size check
// that keeps huge pictures out could be bypassed.
#include <gd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "blend.h"
#include "jpeg_input.h"
#include "memory_limit.h"
#include "metadata.h"
#include "test_pictures.h"

namespace {

// Larger pictures are only walked: the fuzzer's memory is small, and every
// picture row is an allocation of its own, which the address sanitizer makes
// slow.
constexpr uint64_t kFuzzRunBytes = uint64_t{2} << 20;
constexpr int kFuzzMaxHeight = 512;

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fade_fuzzer: %s\n", what);
    std::abort();
  }
}

// The walk gives the same answers however the bytes are cut into pieces.
void CheckWalkInPieces(const std::string& bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  MarkerWalk whole(Metadata::kKeep), pieces(Metadata::kKeep);
  const size_t whole_taken = whole.Take(data, bytes.size());
  size_t taken = 0;
  for (size_t at = 0, piece = 1; at < bytes.size();
       piece = piece * 3 % 17 + 1) {
    const size_t n = std::min(piece, bytes.size() - at);
    taken += pieces.Take(data + at, n);
    at += n;
  }
  const WalkFound& a = whole.found();
  const WalkFound& b = pieces.found();
  Require(whole_taken == taken && a.has_frame == b.has_frame &&
              a.width == b.width && a.height == b.height &&
              a.ended == b.ended && a.scans == b.scans && a.exif == b.exif &&
              a.icc_chunks == b.icc_chunks &&
              a.metadata_bytes == b.metadata_bytes,
          "the walk depends on how the bytes are cut");
  // The metadata the walk kept is read without a fault, whatever it holds.
  const int orientation = ExifOrientation(a.exif);
  Require(orientation >= 1 && orientation <= 8, "an orientation out of range");
  const std::string profile = IccProfile(a.icc_chunks);
  size_t kept = 0;
  for (const std::string& chunk : a.icc_chunks) kept += chunk.size();
  Require(profile.size() <= kept, "a profile longer than its chunks");
}

// The decoder reads through the walk's replay of the head and then the
// stream; it must see exactly the bytes it would see reading them directly.
void RequireSamePixels(gdImagePtr image, std::string bytes) {
  gdImagePtr direct =
      gdImageCreateFromJpegPtr(static_cast<int>(bytes.size()), &bytes[0]);
  Require(direct, "a picture decoded only through the walk");
  for (int y = 0; y < gdImageSY(image); ++y) {
    Require(std::memcmp(image->tpixels[y], direct->tpixels[y],
                        sizeof(int) * gdImageSX(image)) == 0,
            "the walk changed what the decoder read");
  }
  gdImageDestroy(direct);
}

// Decodes as the tool does, from a stream.
gdImagePtr DecodeFrom(std::string bytes, bool as_file) {
  FILE* stream = OpenAsStream(&bytes, as_file);
  Require(stream, "no stream for the bytes");
  JpegHead head = ReadJpegHead(stream, IsRegularFile(stream));
  gdImagePtr image = nullptr;
  if (!head.walk.found().has_frame) {
    gdImagePtr direct =
        gdImageCreateFromJpegPtr(static_cast<int>(bytes.size()), &bytes[0]);
    Require(!direct, "the decoder found a frame the walk did not");
  } else if (3 * ImageBytes(head.walk.found().width, head.walk.found().height) <=
                 kFuzzRunBytes &&
             head.walk.found().height <= kFuzzMaxHeight) {
    image = DecodeJpeg(&head, stream);
    if (image) {
      Require(gdImageSX(image) == head.walk.found().width &&
                  gdImageSY(image) == head.walk.found().height,
              "the decoded size is not the size in the header");
      RequireSamePixels(image, bytes);
    }
  }
  std::fclose(stream);
  return image;
}

gdImagePtr Decode(const std::string& bytes) {
  CheckWalkInPieces(bytes);
  if (bytes.empty()) return nullptr;  // no pipe of nothing to compare with
  gdImagePtr from_pipe = DecodeFrom(bytes, false);
  gdImagePtr from_file = DecodeFrom(bytes, true);
  Require(!from_pipe == !from_file,
          "a file and a pipe of the same bytes decode differently");
  if (from_file) gdImageDestroy(from_file);
  return from_pipe;
}

void BlendAndEncode(gdImagePtr first, gdImagePtr second) {
  const int width = gdImageSX(first), height = gdImageSY(first);
  gdImagePtr canvas = gdImageCreateTrueColor(width, height);
  gdImagePtr reference = gdImageCreateTrueColor(width, height);
  Require(canvas && reference, "no canvas for a picture that decoded");
  const int alpha = 7;
  for (int i : {0, alpha / 2, alpha - 1}) {
    BlendFrame(first, second, canvas, i, alpha);
    BlendFrameByPixel(first, second, reference, FrameWeight(i, alpha));
    for (int y = 0; y < height; ++y) {
      Require(std::memcmp(canvas->tpixels[y], reference->tpixels[y],
                          sizeof(int) * width) == 0,
              "the row blend differs from the pixel blend");
    }
    int size = 0;
    auto* jpeg = static_cast<unsigned char*>(gdImageJpegPtr(canvas, &size, -1));
    Require(
        jpeg && size >= 4 && jpeg[size - 2] == 0xff && jpeg[size - 1] == 0xd9,
        "a frame did not encode");
    gdFree(jpeg);
  }
  gdImageDestroy(reference);
  gdImageDestroy(canvas);
}

// The library's warnings about damaged input are expected by the thousand.
void IgnoreLibraryMessage(int, const char*, va_list) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (gdSetErrorMethod(IgnoreLibraryMessage), true);
  (void)quiet;
  if (size < 2) return 0;
  const size_t first_size =
      std::min<size_t>((data[0] << 8) | data[1], size - 2);
  const char* bytes = reinterpret_cast<const char*>(data) + 2;
  gdImagePtr first = Decode(std::string(bytes, first_size));
  gdImagePtr second =
      Decode(std::string(bytes + first_size, size - 2 - first_size));
  if (first && second && gdImageSX(first) == gdImageSX(second) &&
      gdImageSY(first) == gdImageSY(second)) {
    BlendAndEncode(first, second);
  }
  if (second) gdImageDestroy(second);
  if (first) gdImageDestroy(first);
  return 0;
}
