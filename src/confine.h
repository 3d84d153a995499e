// The run's confinement: once both pictures are open, and before a byte of
// either is parsed, the process gives up every right a hostile picture could
// use through a flaw in the decoder, keeping only what writing the frames
// needs.
#ifndef JPEGFADE_CONFINE_H_
#define JPEGFADE_CONFINE_H_

/// Confines this process, and the threads it starts later, for the rest of
/// the run, as far as the kernel allows and without ever failing: Landlock
/// lets it make, write, truncate and remove regular files beneath the
/// frames' folder (from `prefix`) and write through what stands under the
/// names of frames 0 to `alpha` - 1 where that is not a regular file, and
/// nothing else on the file system (no reading, no executing), no TCP, no
/// signal or abstract socket outside itself; seccomp refuses with EPERM the
/// creation of sockets, running programs, ptrace and the calls that reach
/// other processes or the kernel's own state. Files the memory and CPU checks
/// read are opened first.
void ConfineToFrames(const char* prefix, int alpha);

/// Whether this build confines itself at all: not under the sanitizers,
/// whose runtimes read /proc and trace the process as it ends.
bool ConfinesItself();

/// The Landlock ABI version the running kernel offers; 0 where it has none.
int LandlockAbi();

#endif  // JPEGFADE_CONFINE_H_
