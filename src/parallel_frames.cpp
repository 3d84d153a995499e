#include "parallel_frames.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "blend.h"
#include "cpu_count.h"
#include "frame_encoding.h"
#include "frame_output.h"
#include "image_memory.h"
#include "interrupts.h"
#include "memory_limit.h"
#include "progress.h"
#include "report.h"

namespace {

// Small frames wait in a longer queue, up to this many bytes of them (at
// the canvas's size, as WorkerCount counts them) and this many frames, so
// that workers are woken for a batch of frames rather than for each one.
constexpr uint64_t kQueueBytes = uint64_t{4} << 20;
constexpr uint64_t kMostSlots = 64;

// A canvas for `fade`: the pictures' size.
gdImagePtr MakeCanvasFor(const Fade& fade) {
  return MakeCanvas(gdImageSX(fade.first), gdImageSY(fade.first));
}

uint64_t CanvasBytes(const Fade& fade) {
  return ImageBytes(gdImageSX(fade.first), gdImageSY(fade.first));
}

// What WorkerCount counts for one encoded frame.
uint64_t FrameBytes(const Fade& fade) {
  return CanvasBytes(fade) + fade.segments.size();
}

// The queue's length: a frame ahead for every worker and one more, or as
// many small frames as kQueueBytes holds.
size_t SlotCount(const Fade& fade, int workers) {
  return static_cast<size_t>(std::max<uint64_t>(
      workers + 1, std::min(kMostSlots, kQueueBytes / FrameBytes(fade))));
}

// One frame between a worker and the writer. Its buffer keeps its room from
// frame to frame, so that a run past its first frames allocates nothing.
struct Slot {
  bool ready = false;  // the frame is in `jpeg`, or could not be made
  bool made = false;   // encoded without a word from the library
  std::string jpeg;
};

// The one thing the workers and the writer share: frame i waits in slot
// i % slots.size() until the writer has put it in place, and a worker starts
// frame i only once the writer is done with frame i - slots.size(). A slot's
// buffer belongs to the worker that took its frame until `ready`, then to
// the writer until `taken` passes it.
struct Queue {
  std::mutex mutex;
  std::condition_variable work;   // workers wait here for a frame to start
  std::condition_variable frame;  // the writer waits here for its frame
  std::vector<Slot> slots;
  int next = 0;   // the next frame a worker starts
  int taken = 0;  // frames the writer is done with
  bool stop = false;
  std::vector<std::thread> threads;
  std::vector<gdImagePtr> canvases;
};

void Work(const Fade& fade, gdImagePtr canvas, Queue* queue) {
  const int ahead = static_cast<int>(queue->slots.size());
  for (;;) {
    int i;
    {
      std::unique_lock<std::mutex> lock(queue->mutex);
      queue->work.wait(lock, [&] {
        return queue->stop || queue->next >= fade.alpha ||
               queue->next < queue->taken + ahead;
      });
      if (queue->stop || queue->next >= fade.alpha) return;
      i = queue->next++;
    }
    Slot& slot = queue->slots[i % ahead];
    BlendFrame(fade.first, fade.second, canvas, i, fade.alpha);
    // The library's lines about a frame that fails here are held and
    // dropped: the writer makes that frame again itself, and the lines of
    // that attempt are the ones a failure reports.
    std::string lines;
    HoldLibraryMessages(&lines);
    const bool made =
        Encode(canvas, fade.segments, &slot.jpeg) == Encoded::kWhole;
    HoldLibraryMessages(nullptr);
    {
      std::lock_guard<std::mutex> lock(queue->mutex);
      slot.made = made;
      slot.ready = true;
    }
    queue->frame.notify_one();
  }
}

// Stops the workers of `owner`, a Queue, and waits for them: at the run's
// end, and before a failure prints its line and ends the process, so that
// no worker is still inside the encoder while exit() takes the process
// apart.
void StopWorkers(void* owner) {
  Queue* queue = static_cast<Queue*>(owner);
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->stop = true;
  }
  queue->work.notify_all();
  for (std::thread& thread : queue->threads) thread.join();
  queue->threads.clear();
  for (gdImagePtr canvas : queue->canvases) DestroyMappedImage(canvas);
  queue->canvases.clear();
}

// Starts up to `workers` workers, each with its own canvas; fewer where a
// canvas, a thread or the memory to hold them cannot be had.
void StartWorkers(const Fade& fade, int workers, Queue* queue) {
  try {
    queue->slots.resize(SlotCount(fade, workers));
    queue->threads.reserve(workers);
    queue->canvases.reserve(workers);
  } catch (...) {
    return;
  }
  // Workers start with interrupts blocked, so that only this thread, which
  // marks what an interrupt must take away, ever runs the handler.
  const InterruptsBlocked blocked;
  for (int k = 0; k < workers; ++k) {
    gdImagePtr canvas = MakeCanvasFor(fade);
    if (!canvas) break;
    try {
      queue->threads.emplace_back(Work, std::cref(fade), canvas, queue);
    } catch (...) {
      DestroyMappedImage(canvas);
      break;
    }
    queue->canvases.push_back(canvas);
  }
}

gdImagePtr CanvasOrDie(const Fade& fade) {
  gdImagePtr canvas = MakeCanvasFor(fade);
  if (!canvas) Die(kCanvasCreateError);
  return canvas;
}

// Frame `i` made and put in place by this thread, on `canvas`, encoded into
// `jpeg`: a frame that cannot be encoded ends the process with its line
// before its file is touched.
void MakeFrameHere(const Fade& fade, gdImagePtr canvas, int i,
                   std::string* jpeg) {
  BlendFrame(fade.first, fade.second, canvas, i, fade.alpha);
  DieOfEncoding(Encode(canvas, fade.segments, jpeg),
                FrameFileName(fade.prefix, i));
  PutFrameInPlace(*jpeg, fade.prefix, i);
}

}  // namespace

int WorkerCount(const Fade& fade) {
  if (fade.alpha <= 1) return 1;
  // A frame this small is blended and encoded in less time than the writer
  // takes to put it in place: the writer's file-system calls are the run,
  // and workers would only add their waking and waiting to it.
  constexpr int64_t kLeastPixelsForWorkers = 128 * 128;
  if (int64_t{gdImageSX(fade.first)} * gdImageSY(fade.first) <
      kLeastPixelsForWorkers) {
    return 1;
  }
  const int cpus = std::min(UsableCpus(), fade.alpha);
  if (cpus <= 1) return 1;
  // An encoded frame is counted at the canvas's size: JPEG at the default
  // quality stays well below that. A worker holds its canvas and one frame,
  // and the queue holds one frame more a worker.
  // The longer queue of small frames comes on top, at most kQueueBytes.
  const uint64_t frame_bytes = FrameBytes(fade);
  const uint64_t worker_bytes =
      CanvasBytes(fade) + 2 * frame_bytes + kThreadBytes;
  const uint64_t room = AvailableBytes();
  const uint64_t affordable =
      room > kQueueBytes ? (room - kQueueBytes) / worker_bytes : 0;
  return static_cast<int>(std::min<uint64_t>(cpus, affordable));
}

void WriteFrames(const Fade& fade) {
  const int workers = WorkerCount(fade);
  Queue queue;
  if (workers > 1) StartWorkers(fade, workers, &queue);
  if (queue.threads.empty()) {
    // One CPU, or no room for a second worker: the frames are made here, one
    // after the other, and no thread is started.
    gdImagePtr canvas = CanvasOrDie(fade);
    std::string jpeg;
    for (int i = 0; i < fade.alpha; ++i) {
      MakeFrameHere(fade, canvas, i, &jpeg);
      ShowProgress(i + 1, fade.alpha);
    }
    DestroyMappedImage(canvas);
    return;
  }
  const StopBeforeDying stopping(StopWorkers, &queue);
  gdImagePtr canvas = nullptr;  // made only for a frame no worker could make
  std::string remade;
  const size_t ahead = queue.slots.size();
  // Workers waiting for room are woken once half the queue is free again,
  // or at once when this thread itself is about to wait.
  const int batch = static_cast<int>(std::max<size_t>(1, ahead / 2));
  int woken_at = 0;  // frames taken when the workers were last woken
  for (int i = 0; i < fade.alpha; ++i) {
    Slot& slot = queue.slots[i % ahead];
    {
      std::unique_lock<std::mutex> lock(queue.mutex);
      if (!slot.ready && woken_at < i) {
        woken_at = i;
        queue.work.notify_all();
      }
      queue.frame.wait(lock, [&] { return slot.ready; });
    }
    if (slot.made) {
      PutFrameInPlace(slot.jpeg, fade.prefix, i);
    } else {
      // Made the plain way, as one thread would: a worker may have lacked
      // memory its frame does not need here, and a frame the library truly
      // cannot encode fails here with its own lines and the usual one.
      if (!canvas) canvas = CanvasOrDie(fade);
      MakeFrameHere(fade, canvas, i, &remade);
    }
    {
      std::lock_guard<std::mutex> lock(queue.mutex);
      slot.ready = false;
      queue.taken = i + 1;
    }
    if (queue.taken - woken_at >= batch) {
      woken_at = queue.taken;
      queue.work.notify_all();
    }
    ShowProgress(i + 1, fade.alpha);
  }
  StopWorkers(&queue);
  DestroyMappedImage(canvas);
}
