// Naming and writing of the frame files, each put in place whole, and the
// interrupt handling that takes an unfinished one away.
#ifndef JPEGFADE_FRAME_OUTPUT_H_
#define JPEGFADE_FRAME_OUTPUT_H_

#include <gd.h>

#include <string>

/// Frame `i`'s file name: `prefix` as it is, `i` in at least two digits,
/// ".JPG" ("fade", 7 gives "fade07.JPG").
std::string FrameFileName(const char* prefix, int i);

/// Writes `canvas` as a JPEG at the library's default quality, with
/// `segments` right after its JFIF APP0 segment, as frame `i`'s file,
/// complete and closed on return: through a temporary file beside it,
/// renamed into place (a replaced file keeps its mode and owner), or in place
/// where the folder takes no new file; a FIFO, device or link is written
/// through. If the frame cannot be written in full: prints "file write error
/// for <name>" (and the system's reason on standard error), takes away what
/// the run made, leaves an older file under the name as it was, and ends the
/// process with status 255.
void WriteFrame(gdImagePtr canvas, const std::string& segments,
                const char* prefix, int i);

/// `canvas` as a JPEG in memory, as WriteFrame would write it; false when
/// the library failed (its lines counted and printed, or held, in this
/// thread).
bool EncodeFrame(gdImagePtr canvas, const std::string& segments,
                 std::string* jpeg);

/// WriteFrame for a frame already encoded: `jpeg` put in place as frame
/// `i`'s file, with the same guarantees and the same failure line.
void WriteEncodedFrame(const std::string& jpeg, const char* prefix, int i);

/// Holds (or lets through) SIGINT, SIGTERM and SIGHUP in this thread; a
/// thread started while they are held keeps them held.
void HoldInterrupts(bool hold);

/// From now on, for the whole run, SIGINT, SIGTERM and SIGHUP (those not
/// ignored on entry) take away the unfinished frame WriteFrame is writing
/// and then end the process by that same signal.
void RemoveUnfinishedFrameOnInterrupt();

#endif  // JPEGFADE_FRAME_OUTPUT_H_
