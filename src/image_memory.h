// Images whose pixels live in one block of mapped memory rather than in the
// library's one allocation a row, which the kernel may back with huge pages:
// the canvases, and the pictures as their decoders send them.
#ifndef JPEGFADE_IMAGE_MEMORY_H_
#define JPEGFADE_IMAGE_MEMORY_H_

#include <gd.h>

#include <cstddef>

/// Bytes of the block that holds a width x height image's pixels, 4 a
/// pixel, in whole pages.
size_t PixelBlockBytes(int width, int height);

/// A true-colour canvas of width x height, its pixels in one fresh block
/// that the kernel may back with huge pages; null when it cannot be had.
gdImagePtr MakeCanvas(int width, int height);

/// A true-colour image of width x height whose rows are the mapped block
/// `pixels` (PixelBlockBytes long, rows one after the other), which it then
/// owns; null, with the block left to the caller, when the library cannot
/// make the image.
gdImagePtr ImageOverPixels(int* pixels, int width, int height);

/// `image`, an image of MakeCanvas's, as a viewer shows it under the Exif
/// `orientation` (2 to 8: mirrored, turned, or both; width and height
/// trade places for 5 to 8), in a new image of MakeCanvas's; `image` is
/// left as it was. Null where there is no memory for the new one.
gdImagePtr TurnedUpright(gdImagePtr image, int orientation);

/// Frees an image from MakeCanvas or ImageOverPixels, block and all; null
/// is ignored. No other image may be given to it.
void DestroyMappedImage(gdImagePtr image);

#endif  // JPEGFADE_IMAGE_MEMORY_H_
