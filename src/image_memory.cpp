#include "image_memory.h"

#include <sys/mman.h>

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
