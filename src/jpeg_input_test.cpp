#include "jpeg_input.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "jpeg_writer.h"
#include "test_pictures.h"

namespace {

WalkFound Walk(const std::string& bytes) {
  MarkerWalk walk;
  walk.Take(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return walk.found();
}

// Spelled out with \x escapes; string literals stop at no byte.
std::string Bytes(const char* text, size_t size) { return {text, size}; }
#define B(text) Bytes(text, sizeof(text) - 1)

TEST(MarkerWalk, FindsTheFrameHeaderTheDecoderFinds) {
  const std::string sof =
      B("\xff\xc0\x00\x0b\x08\x00\x1e\x00\x28\x01\x01\x11\x00");
  struct Row {
    const char* what;
    std::string bytes;
    bool has_frame;
    int width = 0, height = 0;
    bool ended = false, not_jpeg = false;
  };
  const Row rows[] = {
      {"plain", B("\xff\xd8") + sof, true, 40, 30, false, false},
      {"bytes between segments", B("\xff\xd8\x12\x34") + sof, true, 40, 30},
      {"fill bytes", B("\xff\xd8\xff\xff\xff") + sof, true, 40, 30},
      {"a stuffed zero between segments", B("\xff\xd8\xff\x00") + sof, true, 40,
       30},
      {"a frame header inside a segment",
       B("\xff\xd8\xff\xe1\x00\x0b\xff\xc0\x00\x0b\x08\x7f\xff\x7f\xff") + sof,
       true, 40, 30},
      {"tables and restarts are not frames",
       B("\xff\xd8\xff\xc4\x00\x02\xff\xcc\x00\x02\xff\xc8\x00\x02\xff\xd0"
         "\xff\x01") +
           sof,
       true, 40, 30},
      {"a progressive frame", B("\xff\xd8\xff\xc2\x00\x0b\x08\xea\x60\xea\x60"),
       true, 60000, 60000},
      {"a frame too short for a size",
       B("\xff\xd8\xff\xc0\x00\x04\x08\x00") + sof, true, 0, 0},
      {"a frame header cut short", B("\xff\xd8\xff\xc0\x00\x0b\x08\x00\x1e"),
       false, 0, 0},
      {"end of image before a frame", B("\xff\xd8\xff\xd9") + sof, false, 0, 0,
       true},
      {"a PNG", B("\x89PNG\r\n\x1a\n"), false, 0, 0, false, true},
      {"a second byte other than start-of-image", B("\xff\xd9") + sof, false, 0,
       0, false, true},
      {"nothing", "", false, 0, 0},
  };
  for (const Row& row : rows) {
    const WalkFound scan = Walk(row.bytes);
    EXPECT_EQ(scan.has_frame, row.has_frame) << row.what;
    if (scan.has_frame) {
      EXPECT_EQ(scan.width, row.width) << row.what;
      EXPECT_EQ(scan.height, row.height) << row.what;
    }
    EXPECT_EQ(scan.ended, row.ended) << row.what;
    EXPECT_EQ(scan.not_jpeg, row.not_jpeg) << row.what;
  }
}

TEST(MarkerWalk, FollowsEntropyCodedDataToTheEnd) {
  const std::string head =
      B("\xff\xd8\xff\xc0\x00\x0b\x08\x00\x01\x00\x01\x01\x01\x11\x00");
  const std::string scan_header = B("\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00");
  struct Row {
    const char* what;
    std::string data;  // after the scan header
    bool ended;
    int scans;
  };
  const Row rows[] = {
      {"plain", B("\x12\x34\xff\xd9"), true, 1},
      {"stuffed bytes and restarts", B("\xff\x00\xff\xd0\xff\xff\xd7\xff\xd9"),
       true, 1},
      {"cut short", B("\x12\xff\x00\xff"), false, 1},
      {"two scans", B("\x12") + scan_header + B("\x34\xff\xd9"), true, 2},
  };
  for (const Row& row : rows) {
    const std::string bytes = head + scan_header + row.data + "trailing";
    const WalkFound scan = Walk(bytes);
    EXPECT_EQ(scan.ended, row.ended) << row.what;
    EXPECT_EQ(scan.scans, row.scans) << row.what;
    MarkerWalk again;
    EXPECT_EQ(again.Take(reinterpret_cast<const unsigned char*>(bytes.data()),
                         bytes.size()),
              row.ended ? bytes.size() - 8 : bytes.size())
        << row.what << ": the walk stops right after the end marker";
  }
}

TEST(DecodeJpeg, RefusesAPictureCutShortAnywhere) {
  for (const bool as_file : {false, true}) {
    for (const JpegKind kind : {JpegKind::kColor, JpegKind::kProgressive}) {
      const std::string bytes = WriteJpeg(kind, 64, 48, 6);
      for (size_t size = 0; size < bytes.size(); size += 7) {
        EXPECT_FALSE(DecodeAsTheTool(bytes.substr(0, size), as_file))
            << static_cast<int>(kind) << " cut to " << size << " bytes";
      }
      EXPECT_FALSE(DecodeAsTheTool(bytes.substr(0, bytes.size() - 1), as_file));
      EXPECT_TRUE(DecodeAsTheTool(bytes, as_file));
    }
  }
}

// A progressive picture with its last scan repeated: the decoder only warns
// about a repeated refinement, so without a cap every repeat is decoded.
std::string WithLastScanRepeated(const std::string& bytes, int repeats) {
  const size_t last_scan = bytes.rfind(B("\xff\xda"));
  const size_t end = bytes.size() - 2;
  std::string scan = bytes.substr(last_scan, end - last_scan);
  std::string out = bytes.substr(0, end);
  for (int i = 0; i < repeats; ++i) out += scan;
  return out + bytes.substr(end);
}

TEST(DecodeJpeg, RefusesAPictureOfEndlessScans) {
  const std::string bytes = WriteJpeg(JpegKind::kProgressive, 16, 16, 7);
  for (const bool as_file : {false, true}) {
    EXPECT_TRUE(DecodeAsTheTool(WithLastScanRepeated(bytes, 100), as_file));
    EXPECT_FALSE(DecodeAsTheTool(WithLastScanRepeated(bytes, 1000), as_file));
  }
  // Through a pipe, with the last scan the one past the cap: the walk may
  // pass the end-of-image marker in the block that crossed the cap, so the
  // decode is refused after the decoder too. A comment shifts where the
  // blocks fall.
  MarkerWalk walk;
  walk.Take(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  const std::string capped = WithLastScanRepeated(bytes, 1001 - walk.found().scans);
  for (const size_t shift : {0, 1000, 2000, 3000}) {
    const std::string comment = B("\xff\xfe") + static_cast<char>((shift + 2) >> 8) +
                                static_cast<char>((shift + 2) & 0xff) +
                                std::string(shift, 'c');
    EXPECT_FALSE(DecodeAsTheTool(capped.substr(0, 2) + comment + capped.substr(2)))
        << shift;
  }
}

TEST(ReadJpegHead, StopsAtTheFirstScansComponentCount) {
  const std::string bytes = WriteJpeg(JpegKind::kMetadata, 8, 8, 1);
  std::string copy = bytes;
  FILE* stream = fmemopen(&copy[0], copy.size(), "rb");
  const JpegHead head = ReadJpegHead(stream, IsRegularFile(stream));
  EXPECT_TRUE(head.walk.found().has_frame);
  EXPECT_EQ(head.bytes, bytes.substr(0, head.bytes.size()));
  // The last thing read is the first scan header's count of components,
  // after its marker and length: the rest is the decoder's to read.
  EXPECT_EQ(head.bytes.substr(head.bytes.size() - 5), B("\xff\xda\x00\x0c\x03"));
  std::fclose(stream);
}

// What the decoder holds of a picture's coefficients: nothing for one that
// comes in one interleaved scan; for one that comes in passes, 128 bytes an
// 8 x 8 block of each component, the blocks rounded up to whole units.
TEST(CoefficientBytes, CountsTheBlocksOfAPictureThatComesInPasses) {
  struct Row {
    const char* what;
    bool progressive;
    std::vector<unsigned char> sampling;
    int first_scan_components;
    uint64_t bytes;
  };
  // 40 x 30: 5 x 4 blocks at full resolution; units of 16 x 16 pixels.
  const Row rows[] = {
      {"one interleaved scan", false, {0x22, 0x11, 0x11}, 3, 0},
      {"grey, one scan", false, {0x11}, 1, 0},
      {"progressive grey", true, {0x11}, 1, 5 * 4 * 128},
      {"progressive 4:2:0", true, {0x22, 0x11, 0x11}, 1,
       (6 * 4 + 2 * 3 * 2) * 128},
      {"one component a scan", false, {0x11, 0x11, 0x11}, 1, 3 * 5 * 4 * 128},
      {"no scan seen yet", false, {0x11, 0x11, 0x11}, -1, 3 * 5 * 4 * 128},
      {"more components than the library decodes", true,
       {0x11, 0x11, 0x11, 0x11, 0x11}, 1, 0},
  };
  for (const Row& row : rows) {
    WalkFound found;
    found.width = 40;
    found.height = 30;
    found.progressive = row.progressive;
    found.components = static_cast<int>(row.sampling.size());
    for (size_t c = 0; c < row.sampling.size() && c < kMostComponents; ++c) {
      found.sampling[c] = row.sampling[c];
    }
    found.first_scan_components = row.first_scan_components;
    EXPECT_EQ(CoefficientBytes(found), row.bytes) << row.what;
  }
}

// The decoder reads in blocks, and the end marker may fall anywhere in or
// across them; a comment segment of every length moves it through all places.
TEST(DecodeJpeg, FindsTheEndMarkerWhereverItFalls) {
  const std::string bytes = WriteJpeg(JpegKind::kColor, 16, 16, 3);
  int refused = 0;
  for (int pad = 0; pad < 4200; ++pad) {
    const std::string comment =
        B("\xff\xfe") + static_cast<char>((pad + 2) >> 8) +
        static_cast<char>((pad + 2) & 0xff) + std::string(pad, 'c');
    refused += !DecodeAsTheTool(bytes.substr(0, 2) + comment + bytes.substr(2));
  }
  EXPECT_EQ(refused, 0);
}

TEST(DecodeFailure, NoMemoryIsToldApartFromDamage) {
  EXPECT_EQ(DecodeFailure(true, 0), Failure::kNone);
  EXPECT_EQ(DecodeFailure(true, ENOMEM), Failure::kNone);
  EXPECT_EQ(DecodeFailure(false, ENOMEM), Failure::kOutOfMemory);
  EXPECT_EQ(DecodeFailure(false, 0), Failure::kDecodeError);
  EXPECT_EQ(DecodeFailure(false, EIO), Failure::kDecodeError);
}

TEST(DieOfFailureDeathTest, EachFailureEndsWithItsLine) {
  // Standard output, where the line goes, sent to standard error, which a
  // death test reads.
  EXPECT_EXIT((dup2(2, 1), DieOfFailure(Failure::kOutOfMemory, Reason::kNone, "a.jpg")),
              testing::ExitedWithCode(255), "^out of memory for a.jpg\n$");
  EXPECT_EXIT((dup2(2, 1), DieOfFailure(Failure::kDecodeError, Reason::kCutShort, "a.jpg")),
              testing::ExitedWithCode(255),
              "^file decode error for a.jpg\njpegfade: a.jpg: a JPEG cut short\n$");
}

}  // namespace
