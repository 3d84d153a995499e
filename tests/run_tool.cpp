#include "run_tool.h"

#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "test_pictures.h"

double Seconds() {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

namespace {

// Keeps the calling process to the first `cpus` of the CPUs it may use.
void KeepToCpus(int cpus) {
  cpu_set_t allowed, kept;
  if (cpus <= 0 || sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  CPU_ZERO(&kept);
  for (int cpu = 0, left = cpus; cpu < CPU_SETSIZE && left > 0; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) {
      CPU_SET(cpu, &kept);
      --left;
    }
  }
  sched_setaffinity(0, sizeof kept, &kept);
}

// Makes the Landlock calls of this process and what it runs fail with
// ENOSYS, as on a kernel built without Landlock.
void HideLandlock() {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  for (const char* call : {"landlock_create_ruleset", "landlock_add_rule",
                           "landlock_restrict_self"}) {
    seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS),
                     seccomp_syscall_resolve_name(call), 0);
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || seccomp_load(filter) != 0) {
    _exit(123);
  }
}

// Makes the starting of any process of its own memory fail with EAGAIN, as
// a process limit would; threads, and the sanitizers' tracer, which shares
// the memory, start. clone3 is answered ENOSYS, so that they fall back to
// clone.
void RefuseProcesses() {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  seccomp_rule_add(filter, SCMP_ACT_ERRNO(EAGAIN), SCMP_SYS(clone), 1,
                   SCMP_A0_64(SCMP_CMP_MASKED_EQ, CLONE_VM, 0));
  seccomp_rule_add(filter, SCMP_ACT_ERRNO(EAGAIN), SCMP_SYS(fork), 0);
  seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || seccomp_load(filter) != 0) {
    _exit(123);
  }
}

void SetLimit(int resource, rlim_t value) {
  if (value == RLIM_INFINITY) return;
  const rlimit limit{value, value};
  setrlimit(resource, &limit);
}

}  // namespace

Child StartIn(const std::string& dir, const std::vector<std::string>& args,
              const Limits& limits) {
  const std::vector<std::string> command = ToolCommand(limits.program ? limits.program : JPEGFADE_EXECUTABLE, args);
  std::vector<char*> argv;
  for (const std::string& arg : command)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {-1, -1, -1, 0};
  const int err_fd = memfd_create("stderr", 0);
  if (limits.reader_gone) close(pipe_fds[0]);
  const double start = Seconds();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    dup2(limits.merged ? pipe_fds[1] : err_fd, STDERR_FILENO);
    close(pipe_fds[1]);
    if (!limits.reader_gone) close(pipe_fds[0]);
    if (chdir(dir.c_str()) != 0) _exit(126);
    SetLimit(RLIMIT_FSIZE, limits.file_size);
    SetLimit(RLIMIT_AS, limits.address_space);
    SetLimit(RLIMIT_DATA, limits.data_size);
    KeepToCpus(limits.cpus);
    if (!limits.cgroup.empty()) {
      FILE* procs = std::fopen((limits.cgroup + "/cgroup.procs").c_str(), "w");
      if (!procs || std::fputs("0\n", procs) < 0 || std::fclose(procs) != 0) {
        _exit(125);  // the cgroup cannot be joined here
      }
    }
    SetLimit(RLIMIT_NPROC, limits.processes);
    if (limits.user != 0 && getuid() == 0 &&
        (setgid(limits.user) != 0 || setuid(limits.user) != 0)) {
      _exit(124);
    }
    if (limits.without_landlock) HideLandlock();
    if (limits.without_processes) RefuseProcesses();
    signal(SIGXFSZ, SIG_DFL);  // the tool must not rely on inheriting SIG_IGN
    signal(SIGPIPE, SIG_DFL);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  return {pid, limits.reader_gone ? -1 : pipe_fds[0], err_fd, start};
}

Outcome Finish(const Child& child) {
  Outcome outcome{"", -1};
  char buffer[4096];
  for (ssize_t n; child.out_fd >= 0 &&
                  (n = read(child.out_fd, buffer, sizeof buffer)) > 0;) {
    outcome.out.append(buffer, n);
  }
  if (child.out_fd >= 0) close(child.out_fd);
  int status = 0;
  rusage usage{};
  wait4(child.pid, &status, 0, &usage);
  outcome.max_rss = usage.ru_maxrss;
  outcome.minor_faults = usage.ru_minflt;
  outcome.seconds = Seconds() - child.start;
  outcome.cpu_seconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 +
                        usage.ru_stime.tv_sec + usage.ru_stime.tv_usec * 1e-6;
  outcome.status =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  lseek(child.err_fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(child.err_fd, buffer, sizeof buffer)) > 0;) {
    outcome.err.append(buffer, n);
  }
  close(child.err_fd);
  return outcome;
}

Outcome RunIn(const std::string& dir, const std::vector<std::string>& args,
              const Limits& limits) {
  return Finish(StartIn(dir, args, limits));
}

// Standard error holds only whole lines of the tool's own, so that a
// script's grep on `2>&1` finds the failure line at the start of a line.
