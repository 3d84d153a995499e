// The run's confinement. Each picture is parsed in a decoder process that
// holds no right at all; the frame writer, which parses no picture byte,
// keeps only what writing the frames needs.
#ifndef JPEGFADE_CONFINE_H_
#define JPEGFADE_CONFINE_H_

#include <sys/types.h>

#include <vector>

/// What a confinement put in force; each part true only where it holds whole.
struct Confinement {
  bool no_new_privileges;  // PR_SET_NO_NEW_PRIVS set
  bool landlock;           // restricted by a ruleset with all its rules
  bool allow_list;         // the seccomp filter loaded with all its rules
};

/// Confines this process, the frame writer, and the threads it starts later,
/// for the rest of the run, as far as the kernel allows and without ever
/// failing: Landlock (of ABI `abi`) lets it make, write, truncate and remove
/// files beneath the frames' folder (from `prefix`) and write through what
/// stands under the names of frames 0 to `alpha` - 1 where that is not a
/// regular file, and nothing else on the file system (no reading, no
/// executing), no TCP, no signal or abstract socket outside itself; an
/// allow list of calls answers any call it does not need with ENOSYS: it can
/// start threads but no process or namespace, signal itself and its
/// `decoders` only, raise their address-space limits, and reach no other
/// process and nothing of the system's. What the run reads later must be
/// kept open before (KeepMemoryFiles, KeepCpuFiles, KeepMountTable).
/// Returns what it put in force.
Confinement ConfineToFrames(const char* prefix, int alpha, int abi,
                            const std::vector<pid_t>& decoders);

/// Confines a decoder process for good, as far as the kernel allows and
/// without ever failing: it keeps no capability, may lock no memory and
/// writes no core file; Landlock (of ABI `abi`) handles every right it knows
/// and grants none (no file, no TCP, no signal or abstract socket outside
/// it); an allow list answers with ENOSYS all but reading `picture` and
/// `channel`, writing `channel`, memory without PROT_EXEC, and ending.
/// Returns what it put in force.
Confinement ConfineDecoder(int picture, int channel, int abi);

/// Closes every descriptor from `first` on: what the caller left open (a
/// log, a socket) is reachable from no process of the run.
void CloseDescriptorsFrom(int first);

/// Whether this build confines itself at all: not under the sanitizers,
/// whose runtimes read /proc and trace the process as it ends.
bool ConfinesItself();

/// The Landlock ABI version the running kernel offers; 0 where it has none.
int LandlockAbi();

#endif  // JPEGFADE_CONFINE_H_
