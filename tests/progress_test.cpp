// The progress line, with both streams on a raw pseudo-terminal, as a
// person's are: the bytes read from it are the bytes the tool wrote.
#include <pty.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <regex>

#include "tool_test.h"

TEST_F(JpegfadeTest, ProgressIsShownOnATerminalAfterASecondAndErased) {
  // A held run waits at frame 5, a FIFO, until more than a second has gone
  // by; pictures large enough for workers, but where a row keeps to one CPU.
  SaveJpeg(MakeTrueColorPicture(160, 128, 1).get(), Path("c.jpg"));
  SaveJpeg(MakeTrueColorPicture(160, 128, 2).get(), Path("d.jpg"));
  before_ = Listing();
  struct Row {
    int alpha;
    bool held, one_cpu, killed, piped;  // piped: standard error on a pipe
    int status;
    const char* last;  // after the erase; null: not a byte on the terminal
  } rows[] = {{3, false, false, false, false, 0, nullptr},
              {10, true, false, false, false, 0, ""},
              {10, true, true, false, false, 0, ""},
              {10, true, false, false, false, 255,
               "file write error for p07.JPG\n"
               "jpegfade: p07.JPG: No space left on device\n"},
              {100000, false, false, true, false, 143, ""},
              {10, true, false, false, true, 0, nullptr}};
  for (const Row& row : rows) {
    if (row.held) mkfifo(Path("p05.JPG").c_str(), 0600);
    if (row.status == 255)
      std::filesystem::create_symlink("/dev/full", Path("p07.JPG"));
    std::vector<std::string> command =
        ToolCommand(JPEGFADE_EXECUTABLE,
                    {"c.jpg", "d.jpg", "p", std::to_string(row.alpha)});
    std::vector<char*> argv;
    for (std::string& arg : command) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int terminal, err[2];
    termios raw{};
    cfmakeraw(&raw);
    ASSERT_EQ(pipe(err), 0);
    const double start = Seconds();
    const pid_t pid = forkpty(&terminal, nullptr, &raw, nullptr);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    if (pid == 0 && row.piped) dup2(err[1], STDERR_FILENO);
    if (pid == 0 && row.one_cpu) sched_setaffinity(0, sizeof one, &one);
    if (pid == 0 && chdir(dir_.c_str()) == 0) execv(argv[0], argv.data());
    if (pid == 0) _exit(127);
    close(err[1]);
    if (row.held) usleep(1200 * 1000);
    if (row.held) ReadFileBytes(Path("p05.JPG"));
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;
         shown.append(buffer, n)) {
      if (shown.empty() && row.killed) kill(pid, SIGTERM);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = Seconds() - start;
    SCOPED_TRACE(std::to_string(row.alpha) + " frames: " + shown);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
              row.status);
    EXPECT_EQ(read(err[0], buffer, sizeof buffer), 0);
    close(terminal);
    close(err[0]);
    for (const std::string& name : NewFiles())
      std::filesystem::remove(Path(name));
    if (!row.last) {
      EXPECT_EQ(shown, "");  // a short run, or no terminal
      continue;
    }
    // Draws, 4 a second at most from the first second on (the killed run
    // ends at its first); then the erase, and after it only what the run
    // leaves on the screen anyway.
    const std::string time = "\\d+:\\d\\d(:\\d\\d)?";
    EXPECT_TRUE(std::regex_match(
        shown, std::regex("(\rframe \\d+ of " + std::to_string(row.alpha) +
                          ", " + time + " so far, " + time +
                          " left\x1b\\[K)+\r\x1b\\[K" + row.last)));
    EXPECT_LE(std::count(shown.begin(), shown.end(), '\r') - 1,
              1 + 4 * (seconds - 1));
  }
}
