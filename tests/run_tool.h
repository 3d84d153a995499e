// Runs of the built tool for the end-to-end tests and the bench: a child
// process in a folder, under limits, as another user, on fewer CPUs, with
// both its streams captured and its status, times and peak memory taken.
#ifndef JPEGFADE_TESTS_RUN_TOOL_H_
#define JPEGFADE_TESTS_RUN_TOOL_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

/// How a run of the tool is started.
struct Limits {
  rlim_t file_size = RLIM_INFINITY;
  rlim_t address_space = RLIM_INFINITY;
  std::string cgroup = "";  // a cgroup folder to run in
  rlim_t data_size = RLIM_INFINITY;
  uid_t user = 0;            // run as this user when the tests run as root
  bool reader_gone = false;  // nobody reads standard output
  bool merged = false;       // standard error into standard output, as 2>&1
  const char* program = nullptr;  // the built jpegfade unless named
  int cpus = 0;  // run on only this many of the CPUs allowed; 0: on all
  bool without_landlock = false;  // as on a kernel that has no Landlock
  bool without_processes = false;  // as under a process limit
  rlim_t processes = RLIM_INFINITY;  // the user's process limit
};

/// How a run of the tool ended.
struct Outcome {
  std::string out;       // standard output
  int status;            // exit status, or 128 + signal
  long max_rss = 0;      // peak resident memory, KiB
  std::string err = "";  // standard error
  double seconds = 0;      // wall time
  double cpu_seconds = 0;  // user and system time
  long minor_faults = 0;   // pages first touched, from the kernel's count
};

/// A run under way, to be signalled and then finished.
struct Child {
  pid_t pid;
  int out_fd;  // read end of its standard output
  int err_fd;  // a memory file that holds its standard error
  double start;  // when it started, in seconds
};

/// The steady clock, in seconds.
double Seconds();

/// Starts `program` (Limits::program) with `args` in the folder `dir`.
Child StartIn(const std::string& dir, const std::vector<std::string>& args,
              const Limits& limits);

/// Waits for the run to end: its streams, status, times and peak memory.
Outcome Finish(const Child& child);

/// StartIn, then Finish.
Outcome RunIn(const std::string& dir, const std::vector<std::string>& args,
              const Limits& limits = {});

#endif  // JPEGFADE_TESTS_RUN_TOOL_H_
