// Naming and writing of the frame files.
#ifndef JPEGFADE_FRAME_OUTPUT_H_
#define JPEGFADE_FRAME_OUTPUT_H_

#include <gd.h>

#include <string>

/// Frame `i`'s file name: `prefix` as it is, `i` in at least two digits,
/// ".JPG" ("fade", 7 gives "fade07.JPG").
std::string FrameFileName(const char* prefix, int i);

/// Writes `canvas` as a JPEG at the library's default quality to frame `i`'s
/// file, opened "wb", complete and closed on return. If it cannot be opened,
/// encoded, written or closed: prints "file write error for <name>", removes
/// the file if it is a regular file this call created or truncated, and ends
/// the process with status 255.
void WriteFrame(gdImagePtr canvas, const char* prefix, int i);

/// From now on SIGINT, SIGTERM and SIGHUP (those not ignored on entry)
/// remove the frame file being written, when WriteFrame may remove it, and
/// then end the process by that same signal.
void RemoveUnfinishedFrameOnInterrupt();

#endif  // JPEGFADE_FRAME_OUTPUT_H_
