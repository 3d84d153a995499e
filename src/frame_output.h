// Naming and writing of the frame files.
#ifndef JPEGFADE_FRAME_OUTPUT_H_
#define JPEGFADE_FRAME_OUTPUT_H_

#include <gd.h>

#include <string>

/// Frame `i`'s file name: `prefix` as it is, `i` in at least two digits,
/// ".JPG" ("fade", 7 gives "fade07.JPG").
std::string FrameFileName(const char* prefix, int i);

/// Writes `canvas` as a JPEG at the library's default quality to frame `i`'s
/// file, complete and closed on return. If the file cannot be opened, written
/// or closed: prints "file write error for <name>", removes what it wrote and
/// ends the process with status 255.
void WriteFrame(gdImagePtr canvas, const char* prefix, int i);

#endif  // JPEGFADE_FRAME_OUTPUT_H_
