// How far a long run is, for a person watching a terminal: one line on
// standard error, redrawn in place and gone again before the run ends or
// prints any other line. Where standard error is no terminal, nothing.
#ifndef JPEGFADE_PROGRESS_H_
#define JPEGFADE_PROGRESS_H_

/// Frame `done` of `total` is in place: where standard error is a terminal
/// and the run has gone on for a second, draws "\rframe DONE of TOTAL, T so
/// far, T left\x1b[K" there (T as M:SS or H:MM:SS; the text cut at 59
/// columns), at most 4 times a second; with `done` == `total`, erases it.
/// Call from the thread that puts frames in place.
void ShowProgress(int done, int total);

/// Erases the progress line ("\r\x1b[K") where it is shown, so that another
/// line can take its place; the next draw due brings it back.
/// Async-signal-safe.
void EraseProgress();

#endif  // JPEGFADE_PROGRESS_H_
