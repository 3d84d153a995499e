#include "frame_encoding.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "report.h"
#include "test_pictures.h"

namespace {

TEST(EncodingOutcome, NoMemoryIsToldApartFromWhatJpegCannotHold) {
  struct Row {
    EncoderTraces traces;
    Encoded outcome;
  };
  const Row rows[] = {
      {{false, false, 0, false}, Encoded::kWhole},
      {{true, false, 0, false}, Encoded::kOutOfMemory},  // the buffer would not grow
      {{false, true, ENOMEM, false}, Encoded::kOutOfMemory},
      {{false, true, 0, false}, Encoded::kLibraryFailed},
      {{false, true, EIO, true}, Encoded::kLibraryFailed},
      {{false, false, 0, true}, Encoded::kLibraryFailed},  // no bytes, no word
  };
  for (const Row& row : rows) {
    EXPECT_EQ(EncodingOutcome(row.traces), row.outcome)
        << row.traces.sink_out_of_memory << row.traces.library_failed
        << row.traces.error << row.traces.empty;
  }
}

TEST(DieOfEncodingDeathTest, EachFailureEndsWithItsLine) {
  // Standard output, where the line goes, sent to standard error, which a
  // death test reads.
  EXPECT_EXIT((dup2(2, 1), DieOfEncoding(Encoded::kOutOfMemory, "f00.JPG")),
              testing::ExitedWithCode(255), "^out of memory for f00.JPG\n$");
  EXPECT_EXIT((dup2(2, 1), DieOfEncoding(Encoded::kLibraryFailed, "f00.JPG")),
              testing::ExitedWithCode(255), "^file write error for f00.JPG\n$");
  // JPEG holds at most 65,500 pixels a side: the encoder gives up before it
  // writes a byte, and says so only through the library's message, which
  // comes out as a line of the tool's own.
  Image wide(gdImageCreateTrueColor(65501, 1));
  ASSERT_TRUE(wide);
  EXPECT_EXIT(
      {
        ReportLibraryMessages();
        std::string jpeg;
        DieOfEncoding(Encode(wide.get(), "", &jpeg), "wide00.JPG");
      },
      testing::ExitedWithCode(255), "^jpegfade: gd-jpeg: .*65500 pixels\n$");
}

}  // namespace
