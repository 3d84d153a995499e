// Writing every frame of a fade: on one CPU one after the other; on several,
// workers blend and encode frames into memory, a bounded number ahead, and
// this thread, the one writer, puts them in place strictly in index order.
#ifndef JPEGFADE_PARALLEL_FRAMES_H_
#define JPEGFADE_PARALLEL_FRAMES_H_

#include <gd.h>

#include <cstdint>
#include <string>

/// What a run fades: two decoded true-colour or palette pictures of one size,
/// into `alpha` frames named from `prefix`, each carrying `segments`.
struct Fade {
  gdImagePtr first = nullptr;
  gdImagePtr second = nullptr;
  int alpha = 0;
  const char* prefix = "";
  std::string segments;  // Exif and ICC_PROFILE segments, or none
};

/// How many workers a run of `fade` takes: the usable CPUs, no more than the
/// frames, and no more than the memory left holds (each a canvas, the encoded
/// frames it may hold, its stack and its allocator's arena); 1 means the run
/// makes its frames itself, with no thread.
int WorkerCount(const Fade& fade);

/// Frames 0 to `alpha` - 1, byte for byte as BlendFrame, Encode and
/// PutFrameInPlace make them one after the other, on WorkerCount threads;
/// frame i is in place before frame i + 1's file exists. No memory for a
/// canvas: prints "canvas create error". A frame that cannot be encoded or
/// written ends the process with its line (DieOfEncoding, PutFrameInPlace),
/// the frames before it in place and none after it, the workers stopped
/// before the line is printed.
void WriteFrames(const Fade& fade);

#endif  // JPEGFADE_PARALLEL_FRAMES_H_
