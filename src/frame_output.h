// Naming the frame files and putting each in place, whole.
#ifndef JPEGFADE_FRAME_OUTPUT_H_
#define JPEGFADE_FRAME_OUTPUT_H_

#include <string>

/// Frame `i`'s file name: `prefix` as it is, `i` in at least two digits,
/// ".JPG" ("fade", 7 gives "fade07.JPG").
std::string FrameFileName(const char* prefix, int i);

/// Puts the encoded frame `jpeg` in place as frame `i`'s file, complete and
/// closed on return: written to a temporary file beside it and renamed into
/// place (a replaced file keeps its mode and owner, and the rename reaches
/// the disk after the new frame's data, on whatever file system); written in
/// place in one step where no temporary can be made or has no room, or the
/// name cannot be replaced, but the file can be written; written through
/// where the name holds a FIFO, a device or a link. If it cannot be: prints
/// "file write error for <name>" (and the system's reason on standard
/// error), leaves an older file under the name as it was and no temporary
/// file, and ends the process with status 255.
void PutFrameInPlace(const std::string& jpeg, const char* prefix, int i);

/// Opens the mount table for PutFrameInPlace, which reads the options of
/// the frames' file system from it: called before the run confines itself.
void KeepMountTable();

#endif  // JPEGFADE_FRAME_OUTPUT_H_
