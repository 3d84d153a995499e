#include "test_pictures.h"

#include <seccomp.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "jpeg_input.h"

bool ResourceLimitHolds(int resource) {
  rlimit old{};
  if (getrlimit(resource, &old) != 0) return false;
  // A soft limit of a terabyte binds nothing here, and is put back at once.
  rlimit trial = old;
  trial.rlim_cur = std::min<rlim_t>(old.rlim_max, rlim_t{1} << 40);
  if (trial.rlim_cur == old.rlim_cur) trial.rlim_cur -= 4096;
  rlimit seen{};
  const bool holds = setrlimit(resource, &trial) == 0 &&
                     getrlimit(resource, &seen) == 0 &&
                     seen.rlim_cur == trial.rlim_cur;
  setrlimit(resource, &old);
  return holds;
}

bool SeccompHolds() {
  // In a child, whose filter goes with it.
  const pid_t pid = fork();
  if (pid == 0) {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(getppid), 0);
    const bool loaded = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                        seccomp_load(filter) == 0;
    _exit(loaded && syscall(SYS_getppid) == -1 && errno == ENOSYS ? 0 : 1);
  }
  int status = 1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool MemoryLimitsTestable() {
#ifdef JPEGFADE_UNDER_ASAN
  return false;
#else
  return ResourceLimitHolds(RLIMIT_AS) && ResourceLimitHolds(RLIMIT_DATA);
#endif
}

std::vector<std::string> ToolCommand(const std::string& program,
                                     const std::vector<std::string>& args) {
  std::vector<std::string> command;
  const std::string emulator = JPEGFADE_EMULATOR;
  if (!emulator.empty()) command.push_back(emulator);
  command.push_back(program);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

std::string MakeTempFolder() {
  std::string path =
      std::filesystem::temp_directory_path() / "jpegfade-test-XXXXXX";
  return mkdtemp(path.data()) ? path : "";
}

Image MakeTrueColorPicture(int width, int height, unsigned seed) {
  Image image(gdImageCreateTrueColor(width, height));
  // Plain assignment: drawing would alpha-blend the colours we mean to store.
  unsigned state = seed * 2654435761u + 1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      state = state * 1103515245u + 12345u;
      const int noise = static_cast<int>(state >> 24) & 0x3f;
      const int red = (x * 255 / (width > 1 ? width - 1 : 1) + noise) & 0xff;
      const int green = (y * 255 / (height > 1 ? height - 1 : 1)) & 0xff;
      const int blue = static_cast<int>((seed * 97 + x * y + noise) & 0xff);
      const int alpha = (x + y) % 2 ? 0 : 0x40;
      image->tpixels[y][x] = gdTrueColorAlpha(red, green, blue, alpha);
    }
  }
  return image;
}

// Smooth photo-like content with some texture and a little noise, so that the
// encoder works about as hard as on a photograph.
Image MakePhotoLikePicture(int width, int height, int seed) {
  Image image(gdImageCreateTrueColor(width, height));
  unsigned state = 12345u + seed;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      state = state * 1103515245u + 12345u;
      const int noise = static_cast<int>(state >> 28) - 8;
      const double u = x / static_cast<double>(width);
      const double v = y / static_cast<double>(height);
      const double wave =
          std::sin((x + seed * 37) / 23.0) * std::cos((y - seed * 11) / 31.0);
      const auto channel = [&](double base) {
        return std::clamp(static_cast<int>(base + 40 * wave) + noise, 0, 255);
      };
      image->tpixels[y][x] =
          gdTrueColor(channel(60 + 150 * u), channel(200 - 120 * v),
                      channel(90 + 80 * u * v + 40 * seed));
    }
  }
  return image;
}

void SaveJpeg(gdImagePtr image, const std::string& path) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return;
  gdImageJpeg(image, out, -1);
  std::fclose(out);
}

Image LoadJpeg(const std::string& path) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) return nullptr;
  Image image(gdImageCreateFromJpeg(in));
  std::fclose(in);
  return image;
}

std::string EncodeJpeg(gdImagePtr image) {
  int size = 0;
  void* bytes = gdImageJpegPtr(image, &size, -1);
  std::string encoded(static_cast<const char*>(bytes), size);
  gdFree(bytes);
  return encoded;
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

namespace {

void IgnoreLibraryMessage(int, const char*, va_list) {}

}  // namespace

void QuietLibrary() { gdSetErrorMethod(IgnoreLibraryMessage); }

FILE* OpenAsStream(std::string* bytes, bool as_file) {
  if (!as_file) {
    // fmemopen refuses an empty buffer.
    return bytes->empty() ? nullptr
                          : fmemopen(&(*bytes)[0], bytes->size(), "rb");
  }
  FILE* stream = std::tmpfile();
  if (stream &&
      (std::fwrite(bytes->data(), 1, bytes->size(), stream) != bytes->size() ||
       std::fseek(stream, 0, SEEK_SET) != 0)) {
    std::fclose(stream);
    return nullptr;
  }
  return stream;
}

Image DecodeAsTheTool(std::string bytes, bool as_file) {
  // The tests decode damaged pictures on purpose; the library's warnings
  // about them, thousands of lines, would bury the tests' own output.
  QuietLibrary();
  FILE* stream = OpenAsStream(&bytes, as_file);
  if (!stream) return nullptr;
  JpegHead head = ReadJpegHead(stream, IsRegularFile(stream));
  Image image(DecodeJpeg(&head, stream));
  std::fclose(stream);
  return image;
}
