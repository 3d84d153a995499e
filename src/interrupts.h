// Interrupts (SIGINT, SIGTERM, SIGHUP) during a run: they take away the
// unfinished temporary file of the frame being put in place and then end the
// process by that same signal, never in the middle of a step that must not be
// cut in two.
#ifndef JPEGFADE_INTERRUPTS_H_
#define JPEGFADE_INTERRUPTS_H_

/// From now on, for the whole run, SIGINT, SIGTERM and SIGHUP (those not
/// ignored on entry) remove the file marked by MarkUnfinished and then end
/// the process by that same signal.
void RemoveUnfinishedFileOnInterrupt();

/// Marks `path` (kept alive by the caller) as the file an interrupt removes;
/// nullptr marks none. Call only while an InterruptsDeferred lives.
void MarkUnfinished(const char* path);

/// While one lives, in this thread, an interrupt waits; it is handled when
/// the outermost one ends. Around steps an interrupt must not cut in two: a
/// file made but not yet marked, a frame put in place but still marked.
struct InterruptsDeferred {
  InterruptsDeferred();
  ~InterruptsDeferred();
  InterruptsDeferred(const InterruptsDeferred&) = delete;
  InterruptsDeferred& operator=(const InterruptsDeferred&) = delete;
};

/// While one lives, the interrupts are blocked in this thread; a thread
/// started meanwhile starts with them blocked, so that only the thread that
/// marks files ever runs the handler.
struct InterruptsBlocked {
  InterruptsBlocked();
  ~InterruptsBlocked();
  InterruptsBlocked(const InterruptsBlocked&) = delete;
  InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;
};

#endif  // JPEGFADE_INTERRUPTS_H_
