#include "image_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kHugePage = size_t{2} << 20;

// `bytes` of fresh memory; from a huge page's boundary when it fills one,
// since only whole, aligned huge pages can back it.
void* MapPixels(size_t bytes) {
  const size_t slack = bytes >= kHugePage ? kHugePage : 0;
  void* mapped = mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  if (slack == 0) return mapped;
  const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) munmap(mapped, aligned - start);
  const size_t after = slack - (aligned - start);
  if (after > 0) munmap(reinterpret_cast<void*>(aligned + bytes), after);
  void* pixels = reinterpret_cast<void*>(aligned);
  madvise(pixels, bytes, MADV_HUGEPAGE);  // a hint: without, plain pages
  return pixels;
}

}  // namespace

size_t PixelBlockBytes(int width, int height) {
  const size_t bytes = static_cast<size_t>(width) * height * sizeof(int);
  return (bytes + kPage - 1) / kPage * kPage;
}

// Fresh memory costs a fault on first touch of each 4 KiB page, dear on a
// virtual machine, and a large canvas is thousands of pages, made once a
// worker. Huge pages take one fault for 2 MiB and fewer TLB misses in the
// blend.
gdImagePtr MakeCanvas(int width, int height) {
  if (width <= 0 || height <= 0) return nullptr;
  const size_t bytes = PixelBlockBytes(width, height);
  int* pixels = static_cast<int*>(MapPixels(bytes));
  if (!pixels) return nullptr;
  gdImagePtr canvas = ImageOverPixels(pixels, width, height);
  if (!canvas) munmap(pixels, bytes);
  return canvas;
}

// The library's own image has one allocation a row, which the kernel cannot
// back with huge pages; here the library
// makes an image of one row, with every field as it sets them, and its rows
// are then pointed into the block. Its own row array is kept past the end
// of ours, to be put back before the library frees the image.
gdImagePtr ImageOverPixels(int* pixels, int width, int height) {
  if (width <= 0 || height <= 0) return nullptr;
  gdImagePtr image = gdImageCreateTrueColor(width, 1);
  int** rows = static_cast<int**>(std::malloc((height + 1) * sizeof(int*)));
  if (!image || !rows) {
    if (image) gdImageDestroy(image);
    std::free(rows);
    return nullptr;
  }
  for (int y = 0; y < height; ++y) {
    rows[y] = pixels + static_cast<size_t>(y) * width;
  }
  rows[height] = reinterpret_cast<int*>(image->tpixels);
  image->tpixels = rows;
  image->sy = height;
  image->cy2 = height - 1;
  return image;
}

namespace {

// Where the pixel shown at (`x`, `y`) is stored, in a picture stored `width`
// x `height` under the Exif `orientation`.
void StoredAt(int orientation, int x, int y, int width, int height, int* from_x,
              int* from_y) {
  switch (orientation) {
    case 2: *from_x = width - 1 - x, *from_y = y; break;
    case 3: *from_x = width - 1 - x, *from_y = height - 1 - y; break;
    case 4: *from_x = x, *from_y = height - 1 - y; break;
    case 5: *from_x = y, *from_y = x; break;
    case 6: *from_x = y, *from_y = height - 1 - x; break;
    case 7: *from_x = width - 1 - y, *from_y = height - 1 - x; break;
    case 8: *from_x = width - 1 - y, *from_y = x; break;
    default: *from_x = x, *from_y = y; break;
  }
}

}  // namespace

gdImagePtr TurnedUpright(gdImagePtr image, int orientation) {
  const int width = image->sx, height = image->sy;
  const bool sideways = orientation >= 5 && orientation <= 8;
  gdImagePtr turned = MakeCanvas(sideways ? height : width,
                                 sideways ? width : height);
  if (!turned) return nullptr;
  // In tiles, so that the stored rows a turned tile reads down stay in the
  // cache while it is filled.
  constexpr int kTile = 64;
  for (int top = 0; top < turned->sy; top += kTile) {
    for (int left = 0; left < turned->sx; left += kTile) {
      for (int y = top; y < std::min(top + kTile, turned->sy); ++y) {
        int* row = turned->tpixels[y];
        for (int x = left; x < std::min(left + kTile, turned->sx); ++x) {
          int from_x = 0, from_y = 0;
          StoredAt(orientation, x, y, width, height, &from_x, &from_y);
          row[x] = image->tpixels[from_y][from_x];
        }
      }
    }
  }
  return turned;
}

void DestroyMappedImage(gdImagePtr image) {
  if (!image) return;
  int** rows = image->tpixels;
  munmap(rows[0], PixelBlockBytes(image->sx, image->sy));
  image->tpixels = reinterpret_cast<int**>(rows[image->sy]);
  image->sy = 1;
  image->cy2 = 0;
  std::free(rows);
  gdImageDestroy(image);
}
