// Frames made on several CPUs: workers blend and encode frames into memory,
// a bounded number ahead, and this thread, the one writer, puts them in
// place strictly in index order.
#ifndef JPEGFADE_PARALLEL_FRAMES_H_
#define JPEGFADE_PARALLEL_FRAMES_H_

#include <gd.h>

#include <cstdint>
#include <string>

/// How many workers a run of `alpha` frames of `width` x `height` takes: the
/// usable CPUs, no more than the frames, and no more than the memory left
/// holds (each a canvas, the encoded frames it may hold, its stack and its
/// allocator's arena); 1 means the run makes its frames itself, with no
/// thread.
int WorkerCount(int alpha, int width, int height);

/// Frames 0 to `alpha` - 1 of the fade, as the one-thread loop of BlendFrame
/// and WriteFrame makes them, byte for byte, with up to `workers` threads;
/// frame i is in place before frame i + 1's file exists. `canvas` is this
/// thread's own, for a frame a worker could not make. A frame that cannot be
/// written ends the process as WriteFrame does, the frames before it in
/// place and none after it.
void WriteFramesInParallel(gdImagePtr first, gdImagePtr second,
                           gdImagePtr canvas, int alpha, int width, int height,
                           const std::string& segments, const char* prefix,
                           int workers);

#endif  // JPEGFADE_PARALLEL_FRAMES_H_
