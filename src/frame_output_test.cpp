#include "frame_output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "report.h"
#include "test_pictures.h"

namespace {

TEST(FrameFileName, PrefixThenTwoDigitsThenJpg) {
  const std::string long_prefix(300, 'p');
  struct Row {
    std::string prefix;
    int i;
    std::string name;
  };
  const Row rows[] = {
      {"fade", 0, "fade00.JPG"},
      {"fade", 7, "fade07.JPG"},
      {"out/fade_", 42, "out/fade_42.JPG"},
      {"fade", 100, "fade100.JPG"},
      {"", 3, "03.JPG"},
      {"f%s%d%n", 5, "f%s%d%n05.JPG"},  // a prefix is never a format
      {long_prefix, 12, long_prefix + "12.JPG"},
      {"fade", 2147483646, "fade2147483646.JPG"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(FrameFileName(row.prefix.c_str(), row.i), row.name);
  }
}

TEST(WriteFrameDeathTest, AFrameTheEncoderRefusesIsNotLeftBehind) {
  // JPEG holds at most 65,500 pixels a side: the encoder gives up before it
  // writes a byte, and says so only through the library's message, which
  // comes out as a line of the tool's own.
  Image wide(gdImageCreateTrueColor(65501, 1));
  ASSERT_TRUE(wide);
  const std::string dir = MakeTempFolder();
  ASSERT_FALSE(dir.empty());
  const std::string prefix = dir + "/wide";
  EXPECT_EXIT(
      {
        ReportLibraryMessages();
        std::string jpeg;
        WriteFrame(wide.get(), "", prefix.c_str(), 0, &jpeg);
      },
      testing::ExitedWithCode(255), "^jpegfade: gd-jpeg: .*65500 pixels\n$");
  EXPECT_FALSE(std::filesystem::exists(prefix + "00.JPG"));
  std::filesystem::remove_all(dir);
}

}  // namespace
