// The end-to-end tests' fixture: a fresh folder with a few pictures in it,
// what a run left there, and the frames a run must write, computed apart
// from the tool.
#ifndef JPEGFADE_TESTS_TOOL_TEST_H_
#define JPEGFADE_TESTS_TOOL_TEST_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run_tool.h"
#include "test_pictures.h"

// Standard error holds only whole lines of the tool's own, so that a
// script's grep on `2>&1` finds the failure line at the start of a line.
inline void ExpectToolLinesOnly(const std::string& err, const std::string& context) {
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.rfind("jpegfade: ", 0) == 0 ||
                line ==
                    "usage: jpegfade FIRST SECOND PREFIX ALPHA (see man "
                    "jpegfade)")
        << context << ": " << line;
  }
  EXPECT_TRUE(err.empty() || err.back() == '\n') << context << ": " << err;
}

// `jpeg` with more than 32 MiB of comment segments before its frame header,
// as a picture with a large embedded profile or preview may have.
inline std::string WithComments(const std::string& jpeg) {
  const std::string comment =
      std::string("\xff\xfe\xff\xff", 4) + std::string(0xffff - 2, 'c');
  std::string out = jpeg.substr(0, 2);
  for (int i = 0; i < 520; ++i) out += comment;
  return out + jpeg.substr(2);
}

inline std::string Args(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += " '" + arg + "'";
  return text;
}

class JpegfadeTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempFolder();
    ASSERT_FALSE(dir_.empty());
    SaveJpeg(MakeTrueColorPicture(40, 30, 1).get(), Path("a.jpg"));
    SaveJpeg(MakeTrueColorPicture(40, 30, 2).get(), Path("b.jpg"));
    SaveJpeg(MakeTrueColorPicture(30, 40, 3).get(), Path("tall.jpg"));
    SaveJpeg(MakeTrueColorPicture(40, 20, 4).get(), Path("short.jpg"));
    WriteFileBytes(Path("text.jpg"), "not a picture\n");
    WriteFileBytes(Path("empty.jpg"), "");
    std::filesystem::create_directory(dir_ / "folder.jpg");
    first_ = LoadJpeg(Path("a.jpg"));
    second_ = LoadJpeg(Path("b.jpg"));
    ASSERT_TRUE(first_ && second_);
    before_ = Listing();
  }

  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ / name; }

  // Every path under the folder, relative to it.
  std::set<std::string> Listing() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_)) {
      names.insert(entry.path().lexically_relative(dir_).string());
    }
    return names;
  }

  // What the run left that was not there before it.
  std::set<std::string> NewFiles() const {
    std::set<std::string> added;
    for (const std::string& name : Listing()) {
      if (!before_.count(name)) added.insert(name);
    }
    return added;
  }

  // Frame i of alpha, computed here from the decoded pictures and encoded in
  // this process.
  static std::string ExpectedFrame(gdImagePtr first, gdImagePtr second, int i,
                                   int alpha) {
    const int width = gdImageSX(first), height = gdImageSY(first);
    const double t = ReferenceWeight(i, alpha);
    Image canvas(gdImageCreateTrueColor(width, height));
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const int c1 = first->tpixels[y][x], c2 = second->tpixels[y][x];
        canvas->tpixels[y][x] = gdTrueColor(
            ReferenceMix(gdTrueColorGetRed(c1), gdTrueColorGetRed(c2), t),
            ReferenceMix(gdTrueColorGetGreen(c1), gdTrueColorGetGreen(c2), t),
            ReferenceMix(gdTrueColorGetBlue(c1), gdTrueColorGetBlue(c2), t));
      }
    }
    return EncodeJpeg(canvas.get());
  }

  void ExpectFrame(const std::string& name, int i, int alpha) const {
    EXPECT_TRUE(ReadFileBytes(Path(name)) ==
                ExpectedFrame(first_.get(), second_.get(), i, alpha))
        << name << " is not frame " << i << " of " << alpha;
  }

  std::filesystem::path dir_;
  Image first_, second_;
  std::set<std::string> before_;
};


#endif  // JPEGFADE_TESTS_TOOL_TEST_H_
