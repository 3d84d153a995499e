// End-to-end: the frames a run writes, byte for byte, for every kind of
// picture, from a pipe, with the pictures' orientation and profile, and on
// any number of CPUs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <thread>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "jpeg_writer.h"
#include "test_pictures.h"
#include "tool_test.h"

namespace fs = std::filesystem;

namespace {

TEST_F(JpegfadeTest, WritesExactlyTheFramesOfTheFade) {
  fs::create_directory(dir_ / "out");
  // A name far longer than any fixed buffer, in parts the system accepts.
  const std::string deep = std::string(200, 'd') + "/" + std::string(100, 'e');
  fs::create_directory(dir_ / std::string(200, 'd'));
  WriteFileBytes(Path("meta.jpg"), WithComments(ReadFileBytes(Path("a.jpg"))));
  before_ = Listing();
  struct Row {
    std::vector<std::string> args;
    std::string prefix;
    int frames;
    bool without_landlock = false;
    std::string note = "";  // how ALPHA was read, where it is no plain number
  };
  const Row rows[] = {
      {{"a.jpg", "b.jpg", "fade", "3"}, "fade", 3},
      {{"a.jpg", "b.jpg", "fade", "3"}, "fade", 3, true},
      {{"meta.jpg", "b.jpg", "fade", "3"}, "fade", 3},  // a.jpg's pixels
      {{"a.jpg", "b.jpg", "fade", "1"}, "fade", 1},     // the second picture
      {{"a.jpg", "b.jpg", "fade", "12"}, "fade", 12},
      {{"a.jpg", "b.jpg", "fade", "12abc"}, "fade", 12, false,
       "jpegfade: ALPHA \"12abc\" read as 12\n"},
      {{"a.jpg", "b.jpg", "fade", " 7"}, "fade", 7},
      {{"a.jpg", "b.jpg", "fade", "\t+2"}, "fade", 2},
      {{"a.jpg", "b.jpg", "fade", "2", "more", "args"}, "fade", 2},
      {{"a.jpg", "b.jpg", "out/fade_", "2"}, "out/fade_", 2},
      {{"a.jpg", "b.jpg", "f%d%s%n", "2"}, "f%d%s%n", 2},
      {{"a.jpg", "b.jpg", deep, "2"}, deep, 2},
      {{"a.jpg", "b.jpg", "fade", "0"}, "fade", 0},
      {{"a.jpg", "b.jpg", "fade", "-3"}, "fade", 0},
      {{"a.jpg", "b.jpg", "fade", "-2147483648"}, "fade", 0},
      {{"a.jpg", "b.jpg", "fade", "abc"}, "fade", 0, false,
       "jpegfade: ALPHA \"abc\" read as 0: no frame written\n"},
      {{"a.jpg", "b.jpg", "fade", "0x5"}, "fade", 0, false,
       "jpegfade: ALPHA \"0x5\" read as 0: no frame written\n"},
      {{"a.jpg", "b.jpg", "fade", ""}, "fade", 0, false,
       "jpegfade: ALPHA \"\" read as 0: no frame written\n"},
  };
  const bool seccomp = SeccompHolds();
  for (const Row& row : rows) {
    // Those rows take a filter the runner loads.
    if (row.without_landlock && !seccomp) {
      std::printf("row%s skipped: seccomp filters do not hold here\n",
                  Args(row.args).c_str());
      continue;
    }
    Limits limits;
    limits.without_landlock = row.without_landlock;
    const Outcome outcome = RunIn(dir_, row.args, limits);
    EXPECT_EQ(outcome.out, "") << Args(row.args);
    EXPECT_EQ(outcome.status, 0) << Args(row.args);
    EXPECT_EQ(outcome.err, row.note) << Args(row.args);
    std::set<std::string> expected;
    for (int i = 0; i < row.frames; ++i) {
      char number[16];
      std::snprintf(number, sizeof number, "%02d", i);
      const std::string name = row.prefix + number + ".JPG";
      expected.insert(name);
      ExpectFrame(name, i, row.frames);
    }
    EXPECT_EQ(NewFiles(), expected) << Args(row.args);
    for (const std::string& name : NewFiles()) fs::remove(Path(name));
  }
}

TEST_F(JpegfadeTest, AFrameMayReplaceAnInputPicture) {
  // Both pictures are decoded before the first frame overwrites one of them.
  fs::copy_file(Path("a.jpg"), Path("p00.JPG"));
  const Outcome outcome = RunIn(dir_, {"p00.JPG", "b.jpg", "p", "2"});
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.status, 0);
  ExpectFrame("p00.JPG", 0, 2);
  ExpectFrame("p01.JPG", 1, 2);
}

TEST_F(JpegfadeTest, EveryKindOfPictureFadesExactly) {
  for (const NamedJpegKind& named : kJpegKinds) {
    const JpegKind kind = named.kind;
    const std::string kind_name = named.name;
    WriteFileBytes(Path("k1.jpg"), WriteJpeg(kind, 33, 17, 1));
    WriteFileBytes(Path("k2.jpg"), WriteJpeg(JpegKind::kColor, 33, 17, 2));
    before_ = Listing();
    const Outcome outcome = RunIn(dir_, {"k1.jpg", "k2.jpg", "k", "3"});
    EXPECT_EQ(outcome.out, "") << kind_name;
    EXPECT_EQ(outcome.status, 0) << kind_name;
    const Image first = LoadJpeg(Path("k1.jpg"));
    const Image second = LoadJpeg(Path("k2.jpg"));
    for (int i = 0; i < 3; ++i) {
      const std::string name = "k0" + std::to_string(i) + ".JPG";
      EXPECT_TRUE(ReadFileBytes(Path(name)) ==
                  ExpectedFrame(first.get(), second.get(), i, 3))
          << kind_name << ": " << name;
      fs::remove(Path(name));
    }
  }
}

// `stored` as a viewer shows it under the Exif orientation `tag`: mirrored
// left to right for 2, 3 and 7 once laid along its diagonal for 5 to 8, and
// top to bottom for 3, 4, 7 and 8.
Image Upright(Image stored, int tag) {
  if (tag <= 1) return stored;
  const int w = gdImageSX(stored.get()), h = gdImageSY(stored.get());
  const bool diagonal = tag >= 5;
  const bool mirror_x = tag == 2 || tag == 3 || tag == 6 || tag == 7;
  const bool mirror_y = tag == 3 || tag == 4 || tag == 7 || tag == 8;
  const int out_w = diagonal ? h : w, out_h = diagonal ? w : h;
  Image shown(gdImageCreateTrueColor(out_w, out_h));
  for (int y = 0; y < out_h; ++y) {
    for (int x = 0; x < out_w; ++x) {
      const int mx = mirror_x ? out_w - 1 - x : x;
      const int my = mirror_y ? out_h - 1 - y : y;
      shown.get()->tpixels[y][x] =
          diagonal ? stored.get()->tpixels[mx][my] : stored.get()->tpixels[my][mx];
    }
  }
  return shown;
}

TEST_F(JpegfadeTest, FramesCarryTheOrientationAndProfileBothPicturesCarry) {
  // Phone pictures: an Exif orientation and a colour profile, which every
  // frame carries when both pictures carry the same; otherwise none of that
  // kind, with a line on standard error. The rest of each frame is the
  // encoder's output, byte for byte.
  std::string small(3000, '\0'), other(3000, '\0'), large(70000, '\0');
  for (size_t k = 0; k < large.size(); ++k) {
    large[k] = static_cast<char>(k * 7 + k / 251);
    if (k < small.size()) small[k] = static_cast<char>(k), other[k] = 'o';
  }
  // The minimal APP1 segment a frame carries: big-endian TIFF, IFD0 with
  // the one entry.
  auto exif = [](int orientation) {
    return std::string("Exif\0\0MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01",
                       24) +
           std::string(1, '\0') + static_cast<char>(orientation) +
           std::string(6, '\0');
  };
  const std::string none;
  auto differ = [](int a, int b) {
    return "jpegfade: the pictures carry different orientations (" +
           std::to_string(a) + " and " + std::to_string(b) +
           "); both are turned upright, and the frames carry none\n";
  };
  struct Row {
    int first, second;  // orientations; 0 for none
    const std::string &first_icc, &second_icc;
    int carried;  // the frames' orientation; 0 for none
    const std::string& icc;
    std::string err;
    bool second_tall = false;  // the second stored 30 x 40, not 40 x 30
  };
  const Row rows[] = {
      {1, 1, none, none, 0, none, ""},
      {3, 3, none, none, 3, none, ""},
      {6, 6, none, none, 6, none, ""},
      {8, 8, none, none, 8, none, ""},
      // Tags that disagree: each picture faded as shown, the frames untagged;
      // a landscape tagged to be turned and an upright portrait fade.
      {6, 1, none, none, 0, none, differ(6, 1), true},
      {0, 8, none, none, 0, none, differ(1, 8), true},
      {5, 7, none, none, 0, none, differ(5, 7)},
      {2, 4, none, none, 0, none, differ(2, 4)},
      {3, 0, none, none, 0, none, differ(3, 1)},
      {6, 6, small, small, 6, small, ""},
      {0, 0, large, large, 0, large, ""},  // in two chunks
      {0, 0, small, other, 0, none,
       "jpegfade: the pictures carry different colour profiles; the frames "
       "carry none\n"},
      {0, 0, small, none, 0, none,
       "jpegfade: only the first picture carries a colour profile; the "
       "frames carry none\n"},
  };
  for (const Row& row : rows) {
    const std::string what = std::to_string(row.first) + "/" +
                             std::to_string(row.second) + ", profiles " +
                             std::to_string(row.first_icc.size()) + "/" +
                             std::to_string(row.second_icc.size());
    WriteFileBytes(Path("s1.jpg"), WriteJpeg(JpegKind::kColor, 40, 30, 1,
                                             row.first, row.first_icc));
    WriteFileBytes(Path("s2.jpg"),
                   WriteJpeg(JpegKind::kColor, row.second_tall ? 30 : 40,
                             row.second_tall ? 40 : 30, 2, row.second,
                             row.second_icc));
    const Outcome outcome = RunIn(dir_, {"s1.jpg", "s2.jpg", "s", "3"});
    EXPECT_EQ(outcome.out, "") << what;
    EXPECT_EQ(outcome.status, 0) << what;
    EXPECT_EQ(outcome.err, row.err) << what;
    const bool turned = row.err.find("orientations") != std::string::npos;
    const Image first = Upright(LoadJpeg(Path("s1.jpg")), turned ? row.first : 1);
    const Image second = Upright(LoadJpeg(Path("s2.jpg")), turned ? row.second : 1);
    for (int i = 0; i < 3; ++i) {
      const std::string frame =
          ReadFileBytes(Path("s0" + std::to_string(i) + ".JPG"));
      const Carried carried = ReadCarried(frame);
      EXPECT_EQ(carried.app1, row.carried ? std::vector<std::string>{exif(
                                                row.carried)}
                                          : std::vector<std::string>{})
          << what;
      EXPECT_TRUE(carried.icc == row.icc) << what;
      EXPECT_TRUE(WithoutApp1AndApp2(frame) ==
                  ExpectedFrame(first.get(), second.get(), i, 3))
          << what << ": frame " << i;
    }
  }
}

TEST_F(JpegfadeTest, EveryCpuCountGivesTheSameFramesInOrder) {
  // Workers make the frames in parallel and one writer puts them in place in
  // order (frames under 128 x 128 the writer makes alone): the frames are
  // those of one CPU, byte for byte, and a failure part way leaves the
  // frames before it and none after it.
  const int allowed = static_cast<int>(std::thread::hardware_concurrency());
  WriteFileBytes(Path("k1.jpg"), WriteJpeg(JpegKind::kProgressive, 33, 17, 1));
  WriteFileBytes(Path("k2.jpg"), WriteJpeg(JpegKind::kGray, 33, 17, 2));
  WriteFileBytes(Path("t1.jpg"),
                 WriteJpeg(JpegKind::kColor, 40, 30, 1, 6, "a profile"));
  WriteFileBytes(Path("t2.jpg"),
                 WriteJpeg(JpegKind::kColor, 40, 30, 2, 6, "a profile"));
  SaveJpeg(MakeTrueColorPicture(301, 203, 7).get(), Path("m1.jpg"));
  SaveJpeg(MakeTrueColorPicture(301, 203, 8).get(), Path("m2.jpg"));
  before_ = Listing();
  const std::vector<std::string> pairs[] = {{"a.jpg", "b.jpg", "12"},
                                            {"k1.jpg", "k2.jpg", "5"},
                                            {"t1.jpg", "t2.jpg", "4"},
                                            {"m1.jpg", "m2.jpg", "13"}};
  for (const std::vector<std::string>& pair : pairs) {
    std::map<std::string, std::string> one_cpu;
    for (int cpus = 1; cpus <= 3; ++cpus) {
      if (cpus > allowed) {
        std::printf("%d CPUs here: no run on %d\n", allowed, cpus);
        continue;
      }
      Limits limits;
      limits.cpus = cpus;
      const Outcome outcome =
          RunIn(dir_, {pair[0], pair[1], "p", pair[2]}, limits);
      EXPECT_EQ(outcome.out, "") << pair[0] << " on " << cpus;
      EXPECT_EQ(outcome.status, 0) << pair[0] << " on " << cpus;
      std::map<std::string, std::string> frames;
      for (const std::string& name : NewFiles()) {
        frames[name] = ReadFileBytes(Path(name));
        fs::remove(Path(name));
      }
      EXPECT_EQ(frames.size(), static_cast<size_t>(std::stoi(pair[2])));
      if (cpus == 1) one_cpu = frames;
      EXPECT_TRUE(frames == one_cpu) << pair[0] << " on " << cpus << " CPUs";
    }
  }

  // Frames large enough for workers to make them.
  fs::create_symlink("/dev/full", Path("p02.JPG"));
  Limits limits;
  limits.cpus = 2;
  const Outcome outcome = RunIn(dir_, {"m1.jpg", "m2.jpg", "p", "6"}, limits);
  EXPECT_EQ(outcome.out, "file write error for p02.JPG\n");
  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(NewFiles(),
            (std::set<std::string>{"p00.JPG", "p01.JPG", "p02.JPG"}));
  const Image m1 = LoadJpeg(Path("m1.jpg")), m2 = LoadJpeg(Path("m2.jpg"));
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(ReadFileBytes(Path("p0" + std::to_string(i) + ".JPG")) ==
                ExpectedFrame(m1.get(), m2.get(), i, 6));
  }
  EXPECT_TRUE(fs::is_symlink(Path("p02.JPG")));
  ExpectToolLinesOnly(outcome.err, "a failure on 2 CPUs");
}

// Writes `bytes` into the FIFO at `path` from a child process; its pid.
pid_t FeedFifo(const std::string& path, const std::string& bytes) {
  const pid_t writer = fork();
  if (writer == 0) {
    signal(SIGPIPE, SIG_IGN);  // the reader may stop early
    FILE* out = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    _exit(std::fclose(out) == 0 ? 0 : 1);
  }
  return writer;
}

TEST_F(JpegfadeTest, APictureMayComeThroughAPipe) {
  // As from `jpegfade <(curl ...) ...`: a stream that cannot be rewound, so
  // what comes before the frame header is kept, up to 32 MiB.
  ASSERT_EQ(mkfifo(Path("pipe.jpg").c_str(), 0600), 0);
  before_ = Listing();
  const std::string a = ReadFileBytes(Path("a.jpg"));
  struct Row {
    std::string bytes;
    std::string out;
    std::string err = "";
  };
  // A camera file whose data ends early, before a whole end marker: it
  // fades, and the decoder's warning reaches the user.
  const std::string cut = a.substr(0, a.size() - 40) + "\xff\xd9";
  const Row rows[] = {
      {a, ""},
      {WithComments(a), "file decode error for pipe.jpg\n",
       "jpegfade: pipe.jpg: more than 32 MiB before its first scan, read from "
       "a pipe\n"},
      {cut, "", "jpegfade: gd-jpeg, libjpeg: recoverable error: Corrupt JPEG "
                "data: premature end of data segment\n"},
  };
  for (const Row& row : rows) {
    const pid_t writer = FeedFifo(Path("pipe.jpg"), row.bytes);
    const Outcome outcome = RunIn(dir_, {"pipe.jpg", "b.jpg", "p", "2"});
    waitpid(writer, nullptr, 0);
    EXPECT_EQ(outcome.out, row.out);
    EXPECT_EQ(outcome.err, row.err);
    EXPECT_EQ(outcome.status, row.out.empty() ? 0 : 255);
    if (row.out.empty() && row.err.empty()) {
      ExpectFrame("p00.JPG", 0, 2);
      ExpectFrame("p01.JPG", 1, 2);
    }
    for (const std::string& name : NewFiles()) fs::remove(Path(name));
  }
}

TEST_F(JpegfadeTest, TheSecondPicturesLinesFollowTheFirstsAndOnlyIfItDecodes) {
  // The second picture may be decoded beside the first: its library lines
  // still come after the first picture's, and not at all when that fails.
  SaveJpeg(MakePhotoLikePicture(64, 48, 1).get(), Path("a.jpg"));
  SaveJpeg(MakePhotoLikePicture(64, 48, 2).get(), Path("b.jpg"));
  const std::string a = ReadFileBytes(Path("a.jpg"));
  const std::string b = ReadFileBytes(Path("b.jpg"));
  WriteFileBytes(Path("cut.jpg"), a.substr(0, a.size() - 40) + "\xff\xd9");
  WriteFileBytes(Path("junk.jpg"), b.substr(0, b.size() - 2) + "xyzxyz\xff\xd9");
  WriteFileBytes(Path("half.jpg"), a.substr(0, a.size() / 2));
  before_ = Listing();
  auto run = [&](const char* first, const char* second) {
    const Outcome outcome = RunIn(dir_, {first, second, "f", "2"});
    for (const std::string& name : NewFiles()) fs::remove(Path(name));
    return outcome;
  };
  // Each damaged picture's own warning, as the first with a sound second.
  const std::string cut = run("cut.jpg", "b.jpg").err;
  const std::string junk = run("junk.jpg", "a.jpg").err;
  ASSERT_NE(cut, "");
  ASSERT_NE(junk, "");
  ASSERT_NE(cut, junk);
  const struct {
    const char *first, *second;
    std::string out, err;
  } rows[] = {
      {"cut.jpg", "junk.jpg", "", cut + junk},
      {"junk.jpg", "cut.jpg", "", junk + cut},
      {"half.jpg", "junk.jpg", "file decode error for half.jpg\n",
       "jpegfade: half.jpg: a JPEG cut short\n"},
  };
  for (const auto& row : rows) {
    const Outcome outcome = run(row.first, row.second);
    EXPECT_EQ(outcome.out, row.out) << row.first;
    EXPECT_EQ(outcome.err, row.err) << row.first;
  }
}

}  // namespace
