// Timings for the blend and the encoder, and for whole runs of jpegfade.
//
//   jpegfade_bench PATH/TO/jpegfade
//
// Makes its own pictures. Per frame it reports the median time of the row
// blend (per instruction-set variant), of the per-pixel accessor blend and of
// encoding one frame; for runs that write no frame, what the decoder
// processes cost; for 500-frame runs of small pictures and a 50-frame 1080p
// run, the wall time of jpegfade, replacing the frames of the run before and
// into a fresh folder, against the plain program of the same fade (this
// program with --plain), on one CPU and on all, and its peak resident
// memory, in the temporary folder and again on a loop-mounted XFS; and
// whole runs on every CPU against runs kept to one, and against one-CPU
// runs side by side, which tell what the machine itself allows.
#include <gd.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "blend.h"
#include "run_tool.h"
#include "test_pictures.h"

namespace fs = std::filesystem;

namespace {

template <typename Work>
double MedianSeconds(int repetitions, Work work) {
  std::vector<double> times;
  for (int r = 0; r < repetitions; ++r) {
    const double start = Seconds();
    work();
    times.push_back(Seconds() - start);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// The picture at `path` as a JPEG file, or the bench ends.
void SaveJpegOrDie(gdImagePtr image, const std::string& path) {
  SaveJpeg(image, path);
  if (!std::filesystem::exists(path)) {
    std::printf("cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

// How a bench run is started.
enum class RunOn {
  kAllCpus,
  kOneCpu,        // kept to one CPU, as `taskset -c 0` does
};

// The plain program of the same fade: both pictures decoded, each frame
// blended as jpegfade blends it, and written with fopen("wb"), one after
// the other in one thread. Opening an older frame "wb" empties it, which
// has ext4 write the new one out at its close: it pays the write-out a
// rename over an older frame pays.
int Plain(int argc, char** argv) {
  if (argc < 6) return 2;
  const Image first = LoadJpeg(argv[2]);
  const Image second = LoadJpeg(argv[3]);
  if (!first || !second) return 1;
  const int width = gdImageSX(first.get()), height = gdImageSY(first.get());
  const Image canvas(gdImageCreateTrueColor(width, height));
  const int alpha = std::atoi(argv[5]);
  for (int i = 0; i < alpha; ++i) {
    BlendFrame(first.get(), second.get(), canvas.get(), i, alpha);
    char number[16];
    std::snprintf(number, sizeof number, "%02d.JPG", i);
    SaveJpegOrDie(canvas.get(), argv[4] + std::string(number));
  }
  return 0;
}

// A whole run, which must succeed.
Outcome RunOrDie(const std::vector<std::string>& args,
                 RunOn on = RunOn::kAllCpus) {
  // The run starts in the temporary folder: the program by its full path.
  const std::string program = fs::absolute(args[0]);
  Limits limits;
  limits.program = program.c_str();
  limits.cpus = on == RunOn::kOneCpu ? 1 : 0;
  const Outcome outcome =
      RunIn(fs::temp_directory_path(),
            std::vector<std::string>(args.begin() + 1, args.end()), limits);
  if (outcome.status != 0) {
    std::printf("%s failed\n", args[0].c_str());
    std::exit(1);
  }
  return outcome;
}

// What a line with a target ends with.
const char* Verdict(bool met) { return met ? "met" : "missed"; }

// Below half a fault a frame, the difference between two runs' minor
// faults is their start-up's noise, of either sign, not a fault a frame.
bool FaultsAreNoise(double faults_a_frame) { return faults_a_frame < 0.5; }

std::string FaultsAFrame(double faults_a_frame) {
  if (FaultsAreNoise(faults_a_frame)) return "0 (noise)";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", faults_a_frame);
  return text;
}

void FrameCosts(int width, int height, const fs::path& dir) {
  const Image first_image = MakePhotoLikePicture(width, height, 1);
  const Image second_image = MakePhotoLikePicture(width, height, 2);
  const Image canvas_image(gdImageCreateTrueColor(width, height));
  gdImagePtr first = first_image.get(), second = second_image.get(),
             canvas = canvas_image.get();
  const double t = FrameWeight(7, 20);
  const auto rows = [&](auto blend) {
    return MedianSeconds(
        15, [&] { blend(first, second, canvas, t); });
  };
  const double fast = MedianSeconds(
      15, [&] { BlendFrame(first, second, canvas, 7, 20); });
  const double plain = rows(BlendTrueColorRows);
#if JPEGFADE_X86_VARIANTS
  const double avx2 = CpuHasAvx2() ? rows(BlendTrueColorRowsAvx2) : NAN;
  const double avx512 = CpuHasAvx512() ? rows(BlendTrueColorRowsAvx512) : NAN;
#else
  const double avx2 = NAN, avx512 = NAN;
#endif
  const double copy = MedianSeconds(
      15, [&] { BlendFrame(first, second, canvas, 0, 20); });
  const double accessor = MedianSeconds(
      3, [&] { BlendFrameByPixel(first, second, canvas, t); });
  BlendFrame(first, second, canvas, 7, 20);
  const std::string frame = dir / "frame.JPG";
  const double encode = MedianSeconds(9, [&] { SaveJpegOrDie(canvas, frame); });

  std::printf("\n%d x %d, one frame (median):\n", width, height);
  std::printf("  blend, rows (as dispatched) %8.2f ms\n", fast * 1e3);
  std::printf("  blend, rows, default        %8.2f ms\n", plain * 1e3);
  std::printf("  blend, rows, avx2           %8.2f ms\n", avx2 * 1e3);
  std::printf("  blend, rows, avx512         %8.2f ms\n", avx512 * 1e3);
  std::printf("  blend, copy frame (t = 0)   %8.2f ms\n", copy * 1e3);
  std::printf("  blend, per-pixel accessors  %8.2f ms\n", accessor * 1e3);
  std::printf("  encode (gdImageJpeg, -1)    %8.2f ms  (%.0f KiB)\n",
              encode * 1e3, fs::file_size(frame) / 1024.0);
  std::printf("  (blend + encode) / encode   %8.3f   (target <= 1.3: %s)\n",
              (fast + encode) / encode, Verdict((fast + encode) / encode <= 1.3));
  std::printf("  accessor / rows blend       %8.1f x (target >= 10: %s)\n",
              accessor / fast, Verdict(accessor / fast >= 10));
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Two pictures of width x height, as JPEG files at `a` and `b`.
void WritePictures(int width, int height, const std::string& a,
                   const std::string& b) {
  SaveJpegOrDie(MakePhotoLikePicture(width, height, 1).get(), a);
  SaveJpegOrDie(MakePhotoLikePicture(width, height, 2).get(), b);
}

// Whole runs of `frames` frames of width x height against the plain
// program (Plain), on one CPU and on all, interleaved so that load on the
// machine hits both: into the folder of the run before, replacing its
// frames, and into a fresh folder.
void RunCosts(const std::string& jpegfade, const std::string& self,
              const fs::path& dir, int width, int height, int frames,
              int runs, const char* where = "") {
  const std::string a = dir / "a.jpg", b = dir / "b.jpg";
  WritePictures(width, height, a, b);
  const std::string count = std::to_string(frames);
  const fs::path fresh = dir / "fresh";
  std::printf("\n%d x %d, whole runs of %d frames against the plain program"
              "%s (median of %d):\n", width, height, frames, where, runs);
  for (const RunOn on : {RunOn::kOneCpu, RunOn::kAllCpus}) {
    std::vector<double> tool, plain, tool_fresh, plain_fresh;
    long peak_kib = 0;
    for (int r = 0; r < runs; ++r) {
      const Outcome run = RunOrDie({jpegfade, a, b, dir / "fade", count}, on);
      tool.push_back(run.seconds);
      peak_kib = std::max(peak_kib, run.max_rss);
      plain.push_back(
          RunOrDie({self, "--plain", a, b, dir / "plain", count}).seconds);
      fs::create_directory(fresh);
      tool_fresh.push_back(
          RunOrDie({jpegfade, a, b, fresh / "fade", count}, on).seconds);
      fs::remove_all(fresh);
      fs::create_directory(fresh);
      plain_fresh.push_back(
          RunOrDie({self, "--plain", a, b, fresh / "plain", count}).seconds);
      fs::remove_all(fresh);
    }
    const double budget_kib = (3.0 * width * height * 4 + 16 * 1048576.0) / 1024;
    std::printf("  %s: replacing %.1f ms, plain %.1f ms, ratio %.3f; fresh "
                "folder %.1f / %.1f ms, ratio %.3f; peak %.1f MiB",
                on == RunOn::kOneCpu ? "one CPU " : "all CPUs",
                Median(tool) * 1e3, Median(plain) * 1e3,
                Median(tool) / Median(plain), Median(tool_fresh) * 1e3,
                Median(plain_fresh) * 1e3,
                Median(tool_fresh) / Median(plain_fresh), peak_kib / 1024.0);
    if (on == RunOn::kOneCpu) {
      std::printf(" (target <= %.1f: %s)", budget_kib / 1024,
                  Verdict(peak_kib <= budget_kib));
    }
    std::printf("\n");
  }
}

// The runs of RunCosts on a loop-mounted XFS, which, unlike ext4, writes a
// file out before a rename over an older one only when jpegfade asks it
// to: a plain program's frames it writes out at their close. Needs root, a
// loop device, mkfs.xfs and XFS in the kernel; says which it lacks.
void XfsRunCosts(const std::string& jpegfade, const std::string& self,
                 const fs::path& dir) {
  const fs::path image = dir / "xfs.img", disk = dir / "xfs";
  fs::create_directory(disk);
  if (getuid() != 0 || access("/dev/loop-control", F_OK) != 0) {
    std::printf("\nno runs on XFS: they need root and a loop device\n");
  } else if (std::system(("truncate -s 1G " + image.string() +
                          " && mkfs.xfs -q -f " + image.string() +
                          " >/dev/null 2>&1").c_str()) != 0) {
    std::printf("\nno runs on XFS: mkfs.xfs failed (xfsprogs installed?)\n");
  } else if (std::system(("mount -t xfs -o loop " + image.string() + " " +
                          disk.string() + " 2>/dev/null").c_str()) != 0) {
    std::printf("\nno runs on XFS: it cannot be mounted (no XFS in this "
                "kernel?)\n");
  } else {
    RunCosts(jpegfade, self, disk, 320, 240, 500, 9, " on XFS");
    RunCosts(jpegfade, self, disk, 1920, 1080, 50, 7, " on XFS");
    (void)!std::system(("umount " + disk.string()).c_str());
  }
  fs::remove(image);
  fs::remove(disk);
}

int UsableCpuCount() {
  cpu_set_t set;
  return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

// `cpus` one-CPU runs of jpegfade started together, run k on CPU k, each
// making `frames` frames; what each gave once the last has ended.
std::vector<Outcome> RunsTogether(const std::string& jpegfade,
                                  const fs::path& dir,
                                  const std::vector<std::string>& pictures,
                                  int frames, int cpus) {
  cpu_set_t allowed;
  sched_getaffinity(0, sizeof allowed, &allowed);
  std::vector<Child> children;
  Limits limits;
  limits.program = "/usr/bin/taskset";
  for (int cpu = 0, k = 0; cpu < CPU_SETSIZE && k < cpus; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    const fs::path part = dir / ("part" + std::to_string(k++));
    fs::create_directories(part);
    children.push_back(StartIn(
        part.string(),
        {"-c", std::to_string(cpu), fs::absolute(jpegfade), pictures[0],
         pictures[1], "fade", std::to_string(frames)},
        limits));
  }
  std::vector<Outcome> outcomes;
  for (const Child& child : children) {
    outcomes.push_back(Finish(child));
    if (outcomes.back().status != 0) {
      std::printf("a one-CPU run of %s failed\n", jpegfade.c_str());
      std::exit(1);
    }
  }
  return outcomes;
}

// Whole runs on every CPU the bench may use against the same runs kept to
// one CPU and against the machine's own parallel runs, interleaved: wall
// time, CPU time, page faults a frame after the first, peak memory, and the
// serial part of a run with what it gives on more cores.
void CpuCosts(const std::string& jpegfade, const fs::path& dir, int width,
              int height, int frames, int runs) {
  const std::string a = dir / "a.jpg", b = dir / "b.jpg";
  WritePictures(width, height, a, b);
  const int cpus = UsableCpuCount();
  const std::vector<std::string> args = {jpegfade, a, b, dir / "fade",
                                         std::to_string(frames)};
  std::vector<std::string> half = args;
  half[4] = std::to_string(frames / 2);
  std::vector<double> wall_all, wall_one, cpu_all, cpu_one, wall_split;
  std::vector<double> faults_all, faults_one, cpu_together;
  long peak_kib = 0;
  for (int r = 0; r < runs; ++r) {
    const Outcome all = RunOrDie(args);
    const Outcome one = RunOrDie(args, RunOn::kOneCpu);
    wall_all.push_back(all.seconds);
    cpu_all.push_back(all.cpu_seconds);
    wall_one.push_back(one.seconds);
    cpu_one.push_back(one.cpu_seconds);
    peak_kib = std::max(peak_kib, all.max_rss);
    const double after_first = frames - frames / 2;
    faults_all.push_back((all.minor_faults - RunOrDie(half).minor_faults) /
                         after_first);
    faults_one.push_back((one.minor_faults - RunOrDie(half, RunOn::kOneCpu).minor_faults) /
                         after_first);
    // What the machine allows: the frames split between one-CPU runs.
    double longest = 0;
    for (const Outcome& part :
         RunsTogether(jpegfade, dir, {a, b}, frames / cpus, cpus)) {
      longest = std::max(longest, part.seconds);
    }
    wall_split.push_back(longest);
    // What running on every CPU at once costs any program here: whole
    // one-CPU runs side by side, each against one alone.
    double cpu = 0;
    for (const Outcome& whole : RunsTogether(jpegfade, dir, {a, b}, frames, cpus)) {
      cpu += whole.cpu_seconds / cpus;
    }
    cpu_together.push_back(cpu);
  }
  const double one = Median(wall_one), all = Median(wall_all);
  // T(n) = S + P / n through the one-CPU and all-CPU points. Where noise
  // puts the all-CPU time above the one-CPU time, or below one / cpus,
  // S is held to the whole run or to none, and the line says so.
  const double fitted = cpus > 1 ? (one - all) * cpus / (cpus - 1) : 0;
  const double parallel = std::clamp(fitted, 0.0, one);
  const double serial = one - parallel;
  const char* const serial_noise =
      fitted < 0     ? " (noise: all CPUs no faster than one)"
      : fitted > one ? " (noise: more than a linear speed-up)"
                     : "";
  const double split = all / Median(wall_split);
  const double cpu_added = (Median(cpu_all) / Median(cpu_one) - 1) * 100;
  const double image = 4.0 * width * height;
  const double encoded = static_cast<double>(fs::file_size(dir / "fade00.JPG"));
  const double bound_mib =
      (2 * image + cpus * (image + 2 * encoded)) / 1048576.0 + 16;
  std::printf("\n%d x %d, %d frames, all %d CPUs against one (median of %d):\n",
              width, height, frames, cpus, runs);
  std::printf("  wall, all CPUs / one CPU    %8.1f / %.1f ms\n", all * 1e3,
              one * 1e3);
  std::printf("  wall, %d one-CPU runs of %d  %8.1f ms (all CPUs: %.3f of it; "
              "target <= 1.1: %s)\n", cpus, frames / cpus,
              Median(wall_split) * 1e3, split, Verdict(split <= 1.1));
  std::printf("  CPU, all CPUs / one CPU     %8.1f / %.1f ms\n",
              Median(cpu_all) * 1e3, Median(cpu_one) * 1e3);
  std::printf("  speed-up                    %8.2f x\n", one / all);
  std::printf("  CPU time added              %8.1f %% (target <= 5: %s)\n",
              cpu_added, Verdict(cpu_added <= 5));
  std::printf("  CPU, one-CPU runs side by side %5.1f %% above one alone "
              "(the machine's own cost of all CPUs at once)\n",
              (Median(cpu_together) / Median(cpu_one) - 1) * 100);
  std::printf("  minor faults a frame after the first: %s on all CPUs, %s on "
              "one (target 0: %s)\n", FaultsAFrame(Median(faults_all)).c_str(),
              FaultsAFrame(Median(faults_one)).c_str(),
              Verdict(FaultsAreNoise(Median(faults_all)) &&
                      FaultsAreNoise(Median(faults_one))));
  std::printf("  peak resident, all CPUs     %8.1f MiB (target <= %.1f MiB: %s)\n",
              peak_kib / 1024.0, bound_mib,
              Verdict(peak_kib / 1024.0 <= bound_mib));
  std::printf("  serial part                 %8.1f ms of %.1f%s; projected %.1f "
              "ms on 8 cores, %.1f ms on 16\n", serial * 1e3, one * 1e3,
              serial_noise, (serial + parallel / 8) * 1e3,
              (serial + parallel / 16) * 1e3);
}

// Runs that write no frame, so that decoding the pictures is the run: each
// picture in a decoder process of its own. At 64 x 64 the time is mostly
// what starting and confining the decoders costs.
void DecoderCosts(const std::string& jpegfade, const fs::path& dir, int width,
                  int height, int runs) {
  const std::string a = dir / "a.jpg", b = dir / "b.jpg";
  WritePictures(width, height, a, b);
  const std::vector<std::string> args = {jpegfade, a, b, dir / "fade", "0"};
  std::vector<double> wall;
  for (int r = 0; r < runs; ++r) wall.push_back(RunOrDie(args).seconds);
  std::printf("\n%d x %d, no frame (median of %d): %.1f ms\n", width, height,
              runs, Median(wall) * 1e3);
}

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0)
      return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--plain") == 0) {
    return Plain(argc, argv);
  }
  if (argc < 2) {
    std::printf("usage: %s PATH/TO/jpegfade\n", argv[0]);
    return 2;
  }
  std::string pattern = fs::temp_directory_path() / "jpegfade-bench-XXXXXX";
  if (!mkdtemp(pattern.data())) return 1;
  const fs::path dir = pattern;
  std::printf("jpegfade bench on %s, %ld cores", CpuModel().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN));
#if JPEGFADE_X86_VARIANTS
  std::printf(", blend variant %s", CpuHasAvx512() ? "avx512"
                                    : CpuHasAvx2() ? "avx2"
                                                   : "default");
#endif
  std::printf("\n");
  FrameCosts(1920, 1080, dir);
  FrameCosts(4096, 4096, dir);
  DecoderCosts(argv[1], dir, 64, 64, 21);
  DecoderCosts(argv[1], dir, 1920, 1080, 9);
  DecoderCosts(argv[1], dir, 4096, 4096, 7);
  const std::string self = fs::read_symlink("/proc/self/exe");
  RunCosts(argv[1], self, dir, 64, 64, 500, 9);
  RunCosts(argv[1], self, dir, 320, 240, 500, 9);
  RunCosts(argv[1], self, dir, 1920, 1080, 50, 7);
  XfsRunCosts(argv[1], self, dir);
  CpuCosts(argv[1], dir, 1920, 1080, 50, 7);
  CpuCosts(argv[1], dir, 4096, 4096, 20, 5);
  CpuCosts(argv[1], dir, 64, 64, 500, 9);
  CpuCosts(argv[1], dir, 320, 240, 500, 7);
  fs::remove_all(dir);
  return 0;
}
