#include "decoder_child.h"

#include <fcntl.h>
#include <gd.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "confine.h"
#include "decoder_protocol.h"
#include "memory_limit.h"
#include "metadata.h"
#include "report.h"
#include "whole_io.h"

namespace {

// glibc's own default for M_MMAP_MAX, which mallopt cannot ask for.
constexpr int kDefaultMmapMax = 65536;

// Where the decoder keeps what it holds: its picture and its channel to the
// writer.
constexpr int kPictureFd = 3;
constexpr int kChannelFd = 4;

// One record to the writer; where the writer is gone, so goes its decoder.
void Send(RecordKind kind, const void* fields, size_t size) {
  const RecordHeader header{kind, static_cast<uint32_t>(size)};
  if (!WriteWhole(kChannelFd, &header, sizeof header) ||
      !WriteWhole(kChannelFd, fields, size)) {
    _exit(0);  // the writer is gone, and so goes its decoder
  }
}

// The library's messages travel to the writer, which prints them: the
// decoder's standard error leads nowhere.
void SendLibraryMessage(int, const char* format, va_list args) {
  char text[kLibraryMessageBytes];
  const int length = std::vsnprintf(text, sizeof text, format, args);
  if (length < 0) return;
  Send(kMessage, text, std::min(static_cast<size_t>(length), sizeof text - 1));
}

void SendDone(Failure failure, Reason reason, const Appearance& look) {
  const DoneRecord done{static_cast<uint32_t>(failure),
                        static_cast<uint32_t>(reason), look.orientation,
                        static_cast<uint32_t>(look.icc_profile.size())};
  Send(kDone, &done, sizeof done);
  if (!WriteWhole(kChannelFd, look.icc_profile.data(), look.icc_profile.size())) {
    _exit(0);
  }
}

// Waits for the writer to say `order`; ends the decoder when it is gone.
void AwaitOrder(char order) {
  char said = 0;
  if (!ReadWhole(kChannelFd, &said, 1) || said != order) _exit(0);
}

// The picture's pixels to the writer, row after row.
void SendPixels(gdImagePtr image) {
  const size_t row_bytes = sizeof(int) * static_cast<size_t>(image->sx);
  const int batch = PixelBatchRows(image->sx);
  iovec rows[IOV_MAX];
  for (int first = 0; first < image->sy; first += batch) {
    const int count = std::min(batch, image->sy - first);
    for (int k = 0; k < count; ++k) rows[k] = {image->tpixels[first + k], row_bytes};
    for (int sent = 0; sent < count;) {
      ssize_t done = writev(kChannelFd, rows + sent, count - sent);
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) _exit(0);
      // A short write may end inside a row: the rest of it goes next.
      for (; sent < count && static_cast<size_t>(done) >= rows[sent].iov_len;
           ++sent) {
        done -= static_cast<ssize_t>(rows[sent].iov_len);
      }
      if (done > 0) {
        rows[sent].iov_base = static_cast<char*>(rows[sent].iov_base) + done;
        rows[sent].iov_len -= static_cast<size_t>(done);
      }
    }
  }
}

// Moves `picture` and `channel` to kPictureFd and kChannelFd, puts
// /dev/null on standard input, output and error, and closes every other
// descriptor: the other picture's, and whatever the caller left open (a
// log, a socket).
bool KeepOnly(int picture, int channel) {
  // First above the places they go to, so that no move overwrites another.
  const int kept[] = {picture, channel};
  int moved[2];
  for (int k = 0; k < 2; ++k) {
    moved[k] = fcntl(kept[k], F_DUPFD, 10);
    if (moved[k] < 0) return false;
  }
  const int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd) {
    if (null < 0) {
      close(fd);
    } else if (null != fd) {
      dup2(null, fd);
    }
  }
  for (int k = 0; k < 2; ++k) {
    if (dup2(moved[k], kPictureFd + k) < 0) return false;
  }
  CloseDescriptorsFrom(kChannelFd + 1);
  return true;
}

// The environment may hold secrets (tokens, keys): nothing the decoder
// needs, and gone from its memory before it reads a byte.
void ForgetEnvironment() {
  for (char** entry = environ; entry && *entry; ++entry) {
    std::memset(*entry, 0, std::strlen(*entry));
  }
  clearenv();
}

// The library makes the picture's rows one allocation each, from the heap's
// top, in 4 KiB pages that cost a fault each, which on a virtual machine is
// most of a large picture's decoding time. The top is grown for all of them
// at once and advised to huge pages, one fault each 2 MiB; where the heap
// cannot grow so (a memory limit), the rows come in plain pages.
void TakeRowsInHugePages(size_t bytes) {
  constexpr size_t kHugePage = size_t{2} << 20;
  if (bytes < kHugePage) return;
  // Memory freed here goes back to the top and stays there; the block below
  // comes from the top, not from a mapping of its own.
  mallopt(M_TRIM_THRESHOLD, INT_MAX);
  mallopt(M_MMAP_MAX, 0);
  const uintptr_t start = reinterpret_cast<uintptr_t>(sbrk(0));
  void* block = std::malloc(bytes + kHugePage);
  mallopt(M_MMAP_MAX, kDefaultMmapMax);
  if (!block) return;
  std::free(block);
  const uintptr_t end = reinterpret_cast<uintptr_t>(sbrk(0)) & ~(kHugePage - 1);
  const uintptr_t from = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (end > from) {
    madvise(reinterpret_cast<void*>(from), end - from, MADV_HUGEPAGE);
  }
}

// Stdio's own buffer would be sized by a stat of the descriptor, a call the
// confined child does not have.
char picture_buffer[BUFSIZ];

}  // namespace

void RunDecoder(const DecoderStart& start, bool regular_file) {
  FILE* stream = EnterDecoder(start);
  if (!stream) _exit(0);
  gdSetErrorMethod(SendLibraryMessage);
  AwaitOrder(kReadHead);
  JpegHead head;
  const PictureHead summary = ReadPictureHead(stream, regular_file, &head);
  if (summary.failure != Failure::kNone) {
    SendDone(summary.failure, Reason::kNone, {});
    _exit(0);
  }
  const HeadRecord record{summary.has_frame ? 1u : 0u,
                          summary.width,
                          summary.height,
                          static_cast<uint32_t>(summary.reason),
                          summary.metadata_bytes,
                          summary.coefficient_bytes,
                          summary.kept_bytes};
  Send(kHead, &record, sizeof record);
  AwaitOrder(kDecode);
  TakeRowsInHugePages(ImageBytes(summary.width, summary.height));
  DecodedPicture decoded = DecodePicture(&head, stream);
  if (decoded.image && (!decoded.image->trueColor ||
                        decoded.image->sx != summary.width ||
                        decoded.image->sy != summary.height)) {
    decoded.failure = Failure::kDecodeError;
    decoded.reason = Reason::kRefused;
  }
  SendDone(decoded.failure, decoded.reason, decoded.look);
  if (decoded.failure == Failure::kNone) SendPixels(decoded.image);
  _exit(0);
}


// A file's head is only walked, through a buffer on the stack; a pipe's is
// kept as it grows (its string, and the metadata kept beside it), up to
// kMostHeadBytes.
uint64_t HeadReadingBytes(bool regular_file) {
  constexpr uint64_t kWalking = uint64_t{16} << 20;
  return regular_file ? kWalking : kWalking + 4 * kMostHeadBytes;
}

void CapAddressSpace(uint64_t bytes) {
  rlimit limit{};
  if (bytes == 0 || getrlimit(RLIMIT_AS, &limit) != 0) return;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > bytes) {
    limit.rlim_cur = bytes;
  }
  setrlimit(RLIMIT_AS, &limit);
}

FILE* EnterDecoder(const DecoderStart& start) {
  // Dies with the writer; and if the writer died before that took effect,
  // ends here.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != start.writer) _exit(0);
  if (!KeepOnly(start.picture, start.channel)) return nullptr;
  // Interrupts are for the frame writer, which decides how the run ends.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_IGN);
  // No core file of a crash, which the kernel would write where the run was
  // started, and no other process of the user's may trace it.
  prctl(PR_SET_DUMPABLE, 0);
  ForgetEnvironment();
  CapAddressSpace(start.most_bytes);
  FILE* stream = fdopen(kPictureFd, "r");
  if (!stream || setvbuf(stream, picture_buffer, _IOFBF, sizeof picture_buffer) != 0) {
    return nullptr;
  }
  ConfineDecoder(kPictureFd, kChannelFd, start.abi);
  return stream;
}

