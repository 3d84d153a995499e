#include "blend.h"
#include "image_memory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "test_pictures.h"

namespace {

// Three channels of one picture kind: true-colour packs them, a palette
// picture holds one colour per index.
struct Rgb {
  int red, green, blue;
};

template <typename Colour>  // Rgb colour(int x, int y)
Image MakePicture(int width, int height, bool palette, Colour colour) {
  Image image(palette ? gdImageCreate(width, height)
                      : gdImageCreateTrueColor(width, height));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgb c = colour(x, y);
      if (palette) {
        // One palette entry per pixel: the index tells nothing of the colour.
        image->pixels[y][x] = static_cast<unsigned char>(
            gdImageColorAllocate(image.get(), c.red, c.green, c.blue));
      } else {
        // With alpha bits, which a frame must drop: its pixels are opaque.
        image->tpixels[y][x] =
            gdTrueColorAlpha(c.red, c.green, c.blue, (x + y) % 128);
      }
    }
  }
  return image;
}

Image LeftOverCanvas(int width, int height) {
  Image canvas(gdImageCreateTrueColor(width, height));
  // Left-overs, alpha bits included, that a frame must overwrite.
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) canvas->tpixels[y][x] = 0x7f5a5a5a;
  return canvas;
}

TEST(FrameWeight, TakesTheReciprocalThenMultiplies) {
  struct Row {
    int alpha, i;
    double t;
  };
  const Row rows[] = {
      {5, 1, 0.25},
      {4, 1, 0.3333333333333333},
      {11, 3, 0.30000000000000004},  // 3 / 10 would give 0.3
      {8, 3, 0.42857142857142855},
      {50, 49, 0.9999999999999999},  // the last frame stops short of 1
      {2, 0, 0.0},
      {2, 1, 1.0},
      {1, 0, 0.0},  // one frame: the second picture
  };
  for (const Row& row : rows) {
    EXPECT_EQ(FrameWeight(row.i, row.alpha), row.t)
        << "alpha " << row.alpha << ", i " << row.i;
  }
}

TEST(BlendFrame, WorkedValues) {
  struct Row {
    int alpha, i, c1, c2, result;
  };
  const Row rows[] = {
      {5, 1, 200, 100, 125}, {4, 1, 255, 0, 85},
      {8, 3, 29, 29, 28},    // truncation: equal inputs can lose one
      {50, 49, 100, 0, 99},  // the last frame is not quite the first picture
      {1, 0, 7, 200, 200},
  };
  for (const Row& row : rows) {
    Image first = MakePicture(1, 1, false, [&](int, int) {
      return Rgb{row.c1, row.c1, row.c1};
    });
    Image second = MakePicture(1, 1, false, [&](int, int) {
      return Rgb{row.c2, row.c2, row.c2};
    });
    Image canvas = LeftOverCanvas(1, 1);
    BlendFrame(first.get(), second.get(), canvas.get(), row.i, row.alpha);
    EXPECT_EQ(canvas->tpixels[0][0],
              gdTrueColor(row.result, row.result, row.result))
        << "alpha " << row.alpha << ", i " << row.i;
  }
}

// Red and green run through all 65,536 (C1, C2) pairs; blue mixes others. The
// odd width leaves a tail after every vector width.
const int kSweepWidth = 263, kSweepHeight = 256;
Rgb SweepFirst(int x, int y) { return {x & 0xff, y, 255 - (x & 0xff)}; }
Rgb SweepSecond(int x, int y) { return {y, x & 0xff, (x + y) & 0xff}; }

// Checks every canvas pixel against the plain formula at frame i of alpha.
template <typename Colour>
void ExpectReferenceMix(gdImagePtr canvas, int width, int height, int i,
                        int alpha, Colour first, Colour second) {
  const double t = ReferenceWeight(i, alpha);
  int mismatches = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgb a = first(x, y), b = second(x, y);
      const int expected = gdTrueColor(ReferenceMix(a.red, b.red, t),
                                       ReferenceMix(a.green, b.green, t),
                                       ReferenceMix(a.blue, b.blue, t));
      if (canvas->tpixels[y][x] != expected && ++mismatches <= 3) {
        ADD_FAILURE() << "alpha " << alpha << ", i " << i << ", pixel (" << x
                      << ", " << y << "): " << std::hex << canvas->tpixels[y][x]
                      << " != " << expected;
      }
    }
  }
  EXPECT_EQ(mismatches, 0) << "alpha " << alpha << ", i " << i;
}

void ExpectSamePixels(gdImagePtr canvas, gdImagePtr expected, const char* path,
                      int alpha, int i) {
  int mismatches = 0;
  for (int y = 0; y < gdImageSY(canvas); ++y) {
    for (int x = 0; x < gdImageSX(canvas); ++x) {
      mismatches += canvas->tpixels[y][x] != expected->tpixels[y][x];
    }
  }
  EXPECT_EQ(mismatches, 0) << path << ", alpha " << alpha << ", i " << i;
}

TEST(BlendFrame, EveryPathGivesThePlainFormulaForEveryChannelPair) {
  // The accessor path against the formula, and every row variant, and the
  // one BlendFrame picks, against the accessor path, bit for bit.
  std::set<std::pair<int, int>> frames = {{2, 0},  {2, 1},   {3, 1},
                                          {4, 1},  {5, 1},   {8, 3},
                                          {11, 3}, {50, 49}, {101, 50},
                                          {1, 0},  {1000, 999}};
  for (int alpha : {2, 3, 11, 50, 101, 1000}) {
    for (int i : {0, (alpha - 1) / 2, alpha - 1}) frames.emplace(alpha, i);
  }
  struct Variant {
    const char* name;
    void (*blend)(gdImagePtr, gdImagePtr, gdImagePtr, double);
  };
  std::vector<Variant> variants = {{"default", BlendTrueColorRows}};
#if JPEGFADE_X86_VARIANTS
  if (CpuHasAvx2()) variants.push_back({"avx2", BlendTrueColorRowsAvx2});
  if (CpuHasAvx512()) variants.push_back({"avx512", BlendTrueColorRowsAvx512});
  // A variant this processor cannot run is left unchecked: say so.
  if (!CpuHasAvx2()) std::printf("no AVX2 here: that variant is unchecked\n");
  if (!CpuHasAvx512())
    std::printf("no AVX-512 here: that variant is unchecked\n");
#endif
  const int w = kSweepWidth, h = kSweepHeight;
  Image first = MakePicture(w, h, false, SweepFirst);
  Image second = MakePicture(w, h, false, SweepSecond);
  Image expected = LeftOverCanvas(w, h);
  for (const auto& [alpha, i] : frames) {
    const double t = FrameWeight(i, alpha);
    BlendFrameByPixel(first.get(), second.get(), expected.get(), t);
    ExpectReferenceMix(expected.get(), w, h, i, alpha, SweepFirst, SweepSecond);
    for (const Variant& variant : variants) {
      Image canvas = LeftOverCanvas(w, h);
      variant.blend(first.get(), second.get(), canvas.get(), t);
      ExpectSamePixels(canvas.get(), expected.get(), variant.name, alpha, i);
    }
    Image canvas = LeftOverCanvas(w, h);
    BlendFrame(first.get(), second.get(), canvas.get(), i, alpha);
    ExpectSamePixels(canvas.get(), expected.get(), "BlendFrame", alpha, i);
  }
}

TEST(BlendFrame, NeverFusesAMultiplyAndAnAdd) {
  // Pairs whose result changes by one if either product is fused with the
  // add into a single rounding.
  struct Row {
    int alpha, i, c1, c2;
  };
  const Row rows[] = {{4, 1, 50, 5},  {6, 2, 1, 6},  {6, 3, 3, 13},
                      {7, 5, 27, 21}, {8, 3, 1, 29}, {8, 2, 31, 10}};
  for (const Row& row : rows) {
    const double t = ReferenceWeight(row.i, row.alpha);
    const int fused_second = static_cast<int>(
        std::fma(static_cast<double>(row.c2), 1.0 - t, row.c1 * t));
    const int fused_first = static_cast<int>(
        std::fma(static_cast<double>(row.c1), t, row.c2 * (1.0 - t)));
    const int plain = ReferenceMix(row.c1, row.c2, t);
    ASSERT_TRUE(fused_second != plain || fused_first != plain);

    Image first = MakePicture(1, 1, false, [&](int, int) {
      return Rgb{row.c1, row.c1, row.c1};
    });
    Image second = MakePicture(1, 1, false, [&](int, int) {
      return Rgb{row.c2, 0, row.c2};
    });
    Image canvas = LeftOverCanvas(1, 1);
    BlendFrame(first.get(), second.get(), canvas.get(), row.i, row.alpha);
    EXPECT_EQ(gdTrueColorGetRed(canvas->tpixels[0][0]), plain);
    EXPECT_EQ(gdTrueColorGetBlue(canvas->tpixels[0][0]), plain);
  }
}

Rgb PaletteFirst(int x, int y) { return {x * 16 + y, 255 - y * 16, x * y}; }
Rgb PaletteSecond(int x, int y) { return {y * 16 + x, x * 13, 200 - x - y}; }

TEST(BlendFrame, ReadsPaletteAndTrueColourPicturesAlike) {
  // 16 x 16 = 256 pixels: one palette entry each.
  const bool kinds[][2] = {{true, false}, {false, true}, {true, true}};
  for (const auto& kind : kinds) {
    Image first = MakePicture(16, 16, kind[0], PaletteFirst);
    Image second = MakePicture(16, 16, kind[1], PaletteSecond);
    Image canvas = LeftOverCanvas(16, 16);
    BlendFrame(first.get(), second.get(), canvas.get(), 2, 7);
    SCOPED_TRACE(testing::Message() << "first palette " << kind[0]
                                    << ", second palette " << kind[1]);
    ExpectReferenceMix(canvas.get(), 16, 16, 2, 7, PaletteFirst, PaletteSecond);
  }
}

}  // namespace

namespace {

// FNV-1a over the canvas's red, green and blue bytes, row by row.
uint64_t PixelChecksum(gdImagePtr canvas) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (int y = 0; y < gdImageSY(canvas); ++y) {
    for (int x = 0; x < gdImageSX(canvas); ++x) {
      const int c = canvas->tpixels[y][x];
      for (int byte : {gdTrueColorGetRed(c), gdTrueColorGetGreen(c),
                       gdTrueColorGetBlue(c)}) {
        hash = (hash ^ static_cast<uint64_t>(byte)) * 0x100000001b3u;
      }
    }
  }
  return hash;
}

TEST(BlendFrame, GivesThePinnedPixelsOfTheDemoPictures) {
  // Computed once, apart from this code: the example pictures decoded by
  // djpeg, mixed with the plain formula in another language's IEEE doubles,
  // and hashed. Decoded pixels, not JPEG bytes, so a new encoder does not
  // move them; the cross builds check the same numbers.
  const Image first = LoadJpeg(JPEGFADE_SOURCE_DIR "/examples/dawn.jpg");
  const Image second = LoadJpeg(JPEGFADE_SOURCE_DIR "/examples/dusk.jpg");
  ASSERT_TRUE(first && second);
  const int width = gdImageSX(first.get()), height = gdImageSY(first.get());
  Image canvas(gdImageCreateTrueColor(width, height));
  struct Row {
    int alpha, i;
    uint64_t checksum;
  };
  const Row rows[] = {
      {12, 0, 0x40d3e2cfa900d02du},  {12, 3, 0xe75187fad9918e3eu},
      {12, 5, 0x3afef2c97b3a68c2u},  {12, 11, 0x193320a628df1c10u},
      {11, 3, 0x33eb688d8c18030fu},  {50, 49, 0x1e7027869b11e336u},
      {8, 3, 0x4a3a437c81bcec4eu},
  };
  for (const Row& row : rows) {
    BlendFrame(first.get(), second.get(), canvas.get(), row.i, row.alpha);
    EXPECT_EQ(PixelChecksum(canvas.get()), row.checksum)
        << "alpha " << row.alpha << ", i " << row.i;
  }
}

TEST(MakeCanvas, EncodesAsTheLibrarysOwnCanvasDoes) {
  // Less than a page, rows that are not a page long, huge pages and a tail.
  const std::pair<int, int> sizes[] = {{1, 1}, {3, 5000}, {1024, 1024},
                                       {1030, 1031}};
  for (const auto& [width, height] : sizes) {
    SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
    const Image first = MakePhotoLikePicture(width, height, 1);
    const Image second = MakePhotoLikePicture(width, height, 2);
    Image theirs(gdImageCreateTrueColor(width, height));
    gdImagePtr ours = MakeCanvas(width, height);
    ASSERT_TRUE(ours);
    std::string jpeg[2];
    for (gdImagePtr canvas : {theirs.get(), ours}) {
      BlendFrame(first.get(), second.get(), canvas, 1, 3);
      int size = 0;
      void* bytes = gdImageJpegPtr(canvas, &size, -1);
      jpeg[canvas == ours].assign(static_cast<char*>(bytes), size);
      gdFree(bytes);
    }
    EXPECT_EQ(gdImageSY(ours), height);
    EXPECT_EQ(jpeg[1], jpeg[0]);
    DestroyMappedImage(ours);
  }
}

}  // namespace
