#include "parallel_frames.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "blend.h"
#include "frame_output.h"
#include "memory_limit.h"
#include "report.h"

namespace {

// Address space a thread takes besides its frames: the default stack, and
// the arena the allocator gives each new thread. Under `ulimit -v` these
// count like any memory.
constexpr uint64_t kThreadBytes = uint64_t{72} << 20;

// One frame between a worker and the writer.
struct Encoded {
  bool ready = false;
  bool made = false;  // encoded without a word from the library
  std::string jpeg;
};

// The one thing the workers and the writer share: frame i waits in slot
// i % slots.size() until the writer takes it, and a worker starts frame i
// only once the writer has taken frame i - slots.size().
struct Queue {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Encoded> slots;
  int next = 0;   // the next frame a worker starts
  int taken = 0;  // frames the writer has taken
  bool stop = false;
};

struct Job {
  gdImagePtr first, second;
  int alpha, width, height;
  const std::string* segments;
};

void Work(const Job& job, gdImagePtr canvas, Queue* queue) {
  const int ahead = static_cast<int>(queue->slots.size());
  for (;;) {
    int i;
    {
      std::unique_lock<std::mutex> lock(queue->mutex);
      queue->changed.wait(lock, [&] {
        return queue->stop || queue->next >= job.alpha ||
               queue->next < queue->taken + ahead;
      });
      if (queue->stop || queue->next >= job.alpha) return;
      i = queue->next++;
    }
    Encoded frame;
    BlendFrame(job.first, job.second, canvas, i, job.alpha, job.width,
               job.height);
    // The library's lines about a frame that fails here are held and
    // dropped: the writer makes that frame again itself, and the lines of
    // that attempt are the ones a failure reports.
    std::string lines;
    HoldLibraryMessages(&lines);
    frame.made = EncodeFrame(canvas, *job.segments, &frame.jpeg);
    HoldLibraryMessages(nullptr);
    frame.ready = true;
    {
      std::lock_guard<std::mutex> lock(queue->mutex);
      queue->slots[i % ahead] = std::move(frame);
    }
    queue->changed.notify_all();
  }
}

}  // namespace

int WorkerCount(int alpha, int width, int height) {
  if (alpha <= 1) return 1;
  const int cpus = std::min(UsableCpus(), alpha);
  if (cpus <= 1) return 1;
  // An encoded frame is counted at the canvas's size: JPEG at the default
  // quality stays well below that, and the encoder's buffer grows by
  // doubling. A worker holds its canvas and one frame, and the queue holds
  // one frame more a worker.
  const uint64_t worker_bytes = 3 * ImageBytes(width, height) + kThreadBytes;
  const uint64_t affordable = AvailableBytes() / worker_bytes;
  return static_cast<int>(std::min<uint64_t>(cpus, affordable));
}

void WriteFramesInParallel(gdImagePtr first, gdImagePtr second,
                           gdImagePtr canvas, int alpha, int width, int height,
                           const std::string& segments, const char* prefix,
                           int workers) {
  const Job job{first, second, alpha, width, height, &segments};
  Queue queue;
  queue.slots.resize(static_cast<size_t>(workers) + 1);
  std::vector<gdImagePtr> canvases;
  std::vector<std::thread> threads;
  // Workers start with interrupts held, so that only this thread, which
  // marks what an interrupt must take away, ever runs the handler.
  HoldInterrupts(true);
  for (int k = 0; k < workers; ++k) {
    gdImagePtr own = gdImageCreateTrueColor(width, height);
    if (!own) break;
    try {
      threads.emplace_back(Work, std::cref(job), own, &queue);
    } catch (const std::system_error&) {
      gdImageDestroy(own);
      break;  // fewer workers; this thread makes what none could
    }
    canvases.push_back(own);
  }
  HoldInterrupts(false);

  for (int i = 0; i < alpha; ++i) {
    Encoded frame;
    if (!threads.empty()) {
      std::unique_lock<std::mutex> lock(queue.mutex);
      Encoded& slot = queue.slots[i % queue.slots.size()];
      queue.changed.wait(lock, [&] { return slot.ready; });
      frame = std::move(slot);
      slot = Encoded{};
      queue.taken = i + 1;
    }
    queue.changed.notify_all();
    if (frame.made) {
      WriteEncodedFrame(frame.jpeg, prefix, i);
    } else {
      // Made the plain way, as one thread would: a worker may have lacked
      // memory its frame does not need here, and a frame the library truly
      // cannot encode fails here with its own lines and the usual one.
      BlendFrame(first, second, canvas, i, alpha, width, height);
      WriteFrame(canvas, segments, prefix, i);
    }
  }
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.stop = true;
  }
  queue.changed.notify_all();
  for (std::thread& thread : threads) thread.join();
  for (gdImagePtr own : canvases) gdImageDestroy(own);
}
