#include "frame_output.h"

#include <gtest/gtest.h>

#include <string>


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

}  // namespace
