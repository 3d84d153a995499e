// The run's two pictures: each opened, then read and decoded by a decoder
// of its own, in the order the run checks them, the second decoded beside
// the first where that changes nothing a user sees.
#ifndef JPEGFADE_PICTURES_H_
#define JPEGFADE_PICTURES_H_

#include <gd.h>

#include "decoder_process.h"
#include "metadata.h"

/// One of the two pictures: where it is read from, its decoder and, once
/// decoded, its image and how it is to be shown.
struct Picture {
  const char* path;
  Decoder decoder;
  gdImagePtr image = nullptr;  // an image for DestroyMappedImage
  Appearance look;
  int stored_width = 0;   // as the file stores it, before any turning
  int stored_height = 0;
};

/// The picture at `path`, opened for reading, its decoder not yet started;
/// else prints "file open error for <path>" (and the system's reason on
/// standard error) and ends the process.
Picture OpenPictureOrDie(const char* path);

/// Both pictures read, checked and decoded in this order: the first's head,
/// which must leave room for `images_at_first` images of its size (itself,
/// the second picture, the canvas), the first's pixels, then the same for
/// the second with `images_at_second`; every failure's line, and the
/// library's lines on standard error, in that order. The second's decoder
/// runs beside the first's where its picture is a file, there is a second
/// CPU, and both fit in memory at once.
void DecodeBothOrDie(Picture* first, Picture* second, int images_at_first,
                     int images_at_second);

/// Where the pictures' orientation tags disagree (a missing tag counts as
/// 1), each is turned upright, its tag then 1, so that the frames carry
/// none, and a line on standard error says so; else both stay as stored.
/// Where there is no memory to turn one, prints "out of memory for <path>"
/// and ends the process.
void TurnUprightWhereTagsDisagree(Picture* first, Picture* second);

/// Frees the picture's image and closes its stream.
void ClosePicture(Picture* picture);

#endif  // JPEGFADE_PICTURES_H_
