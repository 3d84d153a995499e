#include "metadata.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// An IFD0 entry: tag, type, count and a SHORT value, in the byte order
// `big`.
std::string Entry(unsigned tag, unsigned type, unsigned count, unsigned value,
                  bool big) {
  auto put = [big](unsigned v, int bytes) {
    std::string out;
    for (int k = 0; k < bytes; ++k) {
      const int shift = 8 * (big ? bytes - 1 - k : k);
      out += static_cast<char>((v >> shift) & 0xff);
    }
    return out;
  };
  return put(tag, 2) + put(type, 2) + put(count, 4) + put(value, 2) +
         std::string(2, '\0');
}

std::string Tiff(bool big, unsigned ifd, unsigned entries,
                 const std::string& body) {
  std::string head = big ? std::string("MM\0*", 4) : std::string("II*\0", 4);
  for (int k = 0; k < 4; ++k) {
    head += static_cast<char>((ifd >> (8 * (big ? 3 - k : k))) & 0xff);
  }
  head += std::string(ifd - 8, '\0');  // room before IFD0
  head += big ? std::string{static_cast<char>(entries >> 8),
                            static_cast<char>(entries & 0xff)}
              : std::string{static_cast<char>(entries & 0xff),
                            static_cast<char>(entries >> 8)};
  return head + body;
}

TEST(ExifOrientation, ReadsIfd0InEitherByteOrderAndIgnoresWhatIsMalformed) {
  const std::string other = Entry(0x010f, 2, 4, 0, false);  // Make
  struct Row {
    const char* what;
    std::string tiff;
    int orientation;
  };
  const Row rows[] = {
      {"big-endian", Tiff(true, 8, 1, Entry(0x0112, 3, 1, 6, true)), 6},
      {"little-endian, after another entry",
       Tiff(false, 8, 2, other + Entry(0x0112, 3, 1, 8, false)), 8},
      {"IFD0 further on", Tiff(false, 20, 1, Entry(0x0112, 3, 1, 3, false)),
       3},
      {"a truncated IFD",
       Tiff(false, 8, 2, other + Entry(0x0112, 3, 1, 8, false).substr(0, 9)),
       1},
      {"more entries than there are", Tiff(false, 8, 60000, other), 1},
      {"more entries than there are, the orientation first",
       Tiff(true, 8, 65535, Entry(0x0112, 3, 1, 6, true)), 1},
      {"an IFD offset past the end",
       Tiff(false, 8, 1, Entry(0x0112, 3, 1, 6, false)).substr(0, 4) +
           std::string("\xff\xff\xff\x7f", 4),
       1},
      {"the wrong type", Tiff(true, 8, 1, Entry(0x0112, 4, 1, 6, true)), 1},
      {"two values", Tiff(true, 8, 1, Entry(0x0112, 3, 2, 6, true)), 1},
      {"a value past 8", Tiff(true, 8, 1, Entry(0x0112, 3, 1, 9, true)), 1},
      {"no orientation", Tiff(true, 8, 0, ""), 1},
      {"not TIFF", "XX*\0 nothing", 1},
      {"nothing", "", 1},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ExifOrientation(row.tiff), row.orientation) << row.what;
  }
}

// A chunk as it follows "ICC_PROFILE\0": sequence number, count, data.
std::string Chunk(int number, int count, const std::string& data) {
  return std::string{static_cast<char>(number), static_cast<char>(count)} +
         data;
}

TEST(IccProfile, PutsChunksInOrderAndRefusesAnIncompleteSet) {
  struct Row {
    const char* what;
    std::vector<std::string> chunks;
    std::string profile;
  };
  const Row rows[] = {
      {"one chunk", {Chunk(1, 1, "abc")}, "abc"},
      {"in order", {Chunk(1, 2, "ab"), Chunk(2, 2, "cd")}, "abcd"},
      {"out of order",
       {Chunk(3, 3, "ef"), Chunk(1, 3, "ab"), Chunk(2, 3, "cd")},
       "abcdef"},
      {"one missing", {Chunk(1, 3, "ab"), Chunk(3, 3, "ef")}, ""},
      {"one repeated", {Chunk(1, 2, "ab"), Chunk(1, 2, "ab")}, ""},
      {"counts differ", {Chunk(1, 2, "ab"), Chunk(2, 3, "cd")}, ""},
      {"number 0", {Chunk(0, 1, "ab")}, ""},
      {"number past the count", {Chunk(2, 1, "ab")}, ""},
      {"a chunk too short", {std::string(1, '\x01')}, ""},
      {"none", {}, ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IccProfile(row.chunks), row.profile) << row.what;
  }
}

TEST(InsertSegments, GoRightAfterTheApp0Segment) {
  std::string jpeg("\xff\xd8\xff\xe0\x00\x04" "ab\xff\xfe", 10);
  InsertSegments(&jpeg, "SEG");
  EXPECT_EQ(jpeg, std::string("\xff\xd8\xff\xe0\x00\x04" "abSEG\xff\xfe", 13));
  std::string bare("\xff\xd8\xff\xdb", 4);
  InsertSegments(&bare, "SEG");
  EXPECT_EQ(bare, std::string("\xff\xd8SEG\xff\xdb", 7));
}

}  // namespace
