// jpegfade FIRST SECOND PREFIX ALPHA
//
// Writes ALPHA JPEG frames PREFIX00.JPG, PREFIX01.JPG, ... fading from the
// SECOND picture to the FIRST. Every failure prints one line on standard output
// and ends the process with status 255; success prints nothing.
#include <gd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "confine.h"
#include "cpu_count.h"
#include "frame_output.h"
#include "interrupts.h"
#include "memory_limit.h"
#include "metadata.h"
#include "parallel_frames.h"
#include "pictures.h"
#include "report.h"

namespace {

const char kHelp[] =
    "usage: jpegfade FIRST SECOND PREFIX ALPHA\n"
    "Writes ALPHA JPEG frames PREFIX00.JPG, PREFIX01.JPG, ... that fade from\n"
    "the SECOND picture to the FIRST.\n"
    "  FIRST   the picture the fade ends on (a JPEG file)\n"
    "  SECOND  the picture the fade starts from, of the same size\n"
    "  PREFIX  the head of every frame file name, used as it is\n"
    "  ALPHA   the number of frames\n"
    "see man jpegfade\n";

const char kVersion[] =
    "jpegfade " JPEGFADE_VERSION "\n"
    "Copyright the jpegfade authors. MIT licence: this is free software; you\n"
    "are free to change and redistribute it. There is NO WARRANTY.\n";

// --help (or -h) or --version as the only argument is a person asking;
// with any other arguments they are paths like any other.
void ExitAfterHelpOrVersion(int argc, char** argv) {
  if (argc != 2) return;
  const bool help = std::strcmp(argv[1], "--help") == 0 ||
                    std::strcmp(argv[1], "-h") == 0;
  const char* answer = help                                     ? kHelp
                       : std::strcmp(argv[1], "--version") == 0 ? kVersion
                                                                : nullptr;
  if (!answer) return;
  std::fputs(answer, stdout);
  std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0
                                                              : kFailureStatus);
}

// The rule of the first three arguments that they break, for a person:
// they must be present and differ as text (two spellings of one path are
// not caught here); null where they keep it.
const char* ArgumentFault(int argc, char** argv) {
  if (argc < 4) return "fewer than three arguments: FIRST, SECOND and PREFIX";
  if (std::strcmp(argv[1], argv[2]) == 0) {
    return "FIRST and SECOND are the same text";
  }
  if (std::strcmp(argv[1], argv[3]) == 0) {
    return "PREFIX is the same text as FIRST";
  }
  if (std::strcmp(argv[2], argv[3]) == 0) {
    return "PREFIX is the same text as SECOND";
  }
  return nullptr;
}

// Reads `text` as atoi does (leading space, a sign, digits up to the first
// other character, 0 without digits), but a value outside int, which atoi
// leaves undefined, is refused.
int ReadAlphaOrDie(const char* text) {
  errno = 0;
  const long value = std::strtol(text, nullptr, 10);
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) {
    Die(kAlphaOutOfRange);
  }
  return static_cast<int>(value);
}

// Where ALPHA is not a plain integer (no digits, or text after them), says
// how it was read, for a person; the frames and the status stay those of
// the number read.
void NoteHowAlphaWasRead(const char* text, int alpha) {
  char* end = nullptr;
  std::strtol(text, &end, 10);
  if (end != text && *end == '\0') return;
  const std::string note = "ALPHA \"" + PrintableName(text) + "\" read as " +
                           std::to_string(alpha) +
                           (alpha <= 0 ? ": no frame written" : "");
  Note(note.c_str());
}

// The stored sizes of both pictures, and where they were turned, their
// sizes as shown, for a person whose pictures differ.
std::string SizesNote(const Picture& first, const Picture& second) {
  auto size = [](int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height);
  };
  auto stored = [&](const Picture& picture) {
    return PrintableName(picture.path) + " is " +
           size(picture.stored_width, picture.stored_height);
  };
  auto shown = [&](const Picture& picture) {
    return size(gdImageSX(picture.image), gdImageSY(picture.image));
  };
  std::string note = stored(first) + ", " + stored(second);
  if (shown(first) != size(first.stored_width, first.stored_height) ||
      shown(second) != size(second.stored_width, second.stored_height)) {
    note += "; turned by their orientation tags, " + shown(first) + " and " +
            shown(second);
  }
  return note;
}

}  // namespace

int main(int argc, char** argv) {
  // Nothing the caller left open (a log, a socket, a secret) stays within
  // reach of this process, which confines itself to writing frames; only
  // standard input, output and error are kept.
  CloseDescriptorsFrom(3);
  // Under a file-size limit the kernel would kill us mid-frame with SIGXFSZ,
  // leaving half a file; ignored, the write fails and is reported instead.
  // Likewise a reader gone from standard output or from a FIFO frame must
  // give status 255 and its line, not death by SIGPIPE.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  ReportLibraryMessages();
  RemoveUnfinishedFileOnInterrupt();

  ExitAfterHelpOrVersion(argc, argv);
  if (const char* fault = ArgumentFault(argc, argv)) {
    DieWithUsage(kArgumentError, fault);
  }
  Picture first = OpenPictureOrDie(argv[1]);
  Picture second = OpenPictureOrDie(argv[2]);
  if (argc <= 4) DieWithUsage(kMissingAlpha);
  const char* prefix = argv[3];
  const int alpha = ReadAlphaOrDie(argv[4]);
  NoteHowAlphaWasRead(argv[4], alpha);
  // Each picture is parsed in a decoder process of its own that holds no
  // right; they are started before this process confines itself, since it
  // can then start no process.
  // What the memory and CPU checks and the frame writer read as the run
  // goes on (the limits change; the mount table says how a file system
  // orders its writes), opened now: once confined, the run opens no file
  // to read.
  KeepMemoryFiles();
  KeepCpuFiles();
  KeepMountTable();
  const int abi = LandlockAbi();
  StartDecoder(&first.decoder, abi);
  // Where the first picture's decoder cannot be had, the run ends there.
  if (first.decoder.pid > 0) StartDecoder(&second.decoder, abi);
  ConfineToFrames(prefix, alpha, abi, {first.decoder.pid, second.decoder.pid});

  // Both pictures are decoded in full before any frame is written, so a frame
  // may even replace one of the input files. The run's memory plan: the
  // first picture is decoded only where it leaves room for the second and a
  // canvas of its size; the second, once the first is held, for a canvas.
  constexpr int kLeftAtFirst = 3;   // images to make: both pictures, the canvas
  constexpr int kLeftAtSecond = 2;  // the second picture, the canvas
  DecodeBothOrDie(&first, &second, kLeftAtFirst, kLeftAtSecond);
  // Sizes are compared as the pictures are shown where they are turned,
  // else as stored, where an orientation both carry travels with the frames.
  TurnUprightWhereTagsDisagree(&first, &second);
  if (gdImageSX(first.image) != gdImageSX(second.image) ||
      gdImageSY(first.image) != gdImageSY(second.image)) {
    DieWithNote(kDifferentSize, SizesNote(first, second));
  }
  Fade fade;
  fade.first = first.image;
  fade.second = second.image;
  fade.alpha = alpha;
  fade.prefix = prefix;
  try {
    const SharedMetadata shared = SharedSegments(first.look, second.look);
    if (shared.disagreement) Note(shared.disagreement);
    fade.segments = shared.segments;
  } catch (const std::bad_alloc&) {
    // The frames would carry the first picture's metadata.
    DieWithPath(kOutOfMemory, argv[1]);
  }
  WriteFrames(fade);

  ClosePicture(&first);
  ClosePicture(&second);
  return 0;
}
