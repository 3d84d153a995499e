// Writes the fuzz target's seed corpus into the folder it is given: pairs of
// small pictures of every kind the project can make, in the target's input
// format (a two-byte big-endian length, the first picture, the second).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "jpeg_writer.h"

namespace {

void WritePair(const std::string& folder, const std::string& name,
               const std::string& first, const std::string& second) {
  const std::string path = folder + "/" + name;
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) {
    std::printf("file write error for %s\n", path.c_str());
    std::exit(-1);
  }
  const unsigned char length[] = {static_cast<unsigned char>(first.size() >> 8),
                                  static_cast<unsigned char>(first.size())};
  std::fwrite(length, 1, 2, out);
  std::fwrite(first.data(), 1, first.size(), out);
  std::fwrite(second.data(), 1, second.size(), out);
  if (std::fclose(out) != 0) {
    std::printf("file write error for %s\n", path.c_str());
    std::exit(-1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::puts("usage: make_seeds FOLDER");
    return 2;
  }
  const auto& kinds = kJpegKinds;
  const struct {
    int width, height;
  } sizes[] = {{1, 1}, {17, 5}, {3, 31}, {16, 16}};
  int count = 0;
  for (const auto& size : sizes) {
    for (const auto& a : kinds) {
      // Each kind against itself and against plain colour, both ways round.
      for (const auto& b : {kinds[0], a}) {
        const std::string name = std::string(a.name) + "-" + b.name + "-" +
                                 std::to_string(size.width) + "x" +
                                 std::to_string(size.height);
        WritePair(argv[1], name, WriteJpeg(a.kind, size.width, size.height, 1),
                  WriteJpeg(b.kind, size.width, size.height, 2));
        ++count;
      }
    }
  }
  std::printf("%d seed pairs in %s\n", count, argv[1]);
  return 0;
}
