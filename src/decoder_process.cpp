#include "decoder_process.h"

#include <fcntl.h>
#include <gd.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "confine.h"
#include "image_memory.h"
#include "memory_limit.h"
#include "metadata.h"
#include "report.h"

namespace {

// What the frame writer tells its decoder, a byte each: read the head;
// decode.
constexpr char kReadHead = 'h';
constexpr char kDecode = 'd';

// What a decoder tells the writer: records, each a header and then
// `size` bytes. A message may come at any time; the head once, when asked;
// "done" once, last, followed by the profile's bytes and, for a decoded
// picture, its pixels: width x height packed pixels, row after row, a number
// of bytes the writer knows from the head.
enum RecordKind : uint32_t { kHead = 1, kMessage = 2, kDone = 3 };

struct RecordHeader {
  uint32_t kind;
  uint32_t size;  // of what follows: the record's fields, or a message
};

struct HeadRecord {
  uint32_t has_frame;  // 0 or 1
  int32_t width;
  int32_t height;
  uint32_t reason;  // a Reason: why there is no frame
  uint64_t metadata_bytes;
  uint64_t coefficient_bytes;
  uint64_t kept_bytes;
};

struct DoneRecord {
  uint32_t failure;  // a Failure
  uint32_t reason;   // a Reason: what a decode error found
  int32_t orientation;
  uint32_t profile_bytes;  // the profile's bytes follow the record
};

// A JPEG frame header holds 16-bit sizes; no head says more metadata than
// this, which keeps the memory check's sums from overflowing.
constexpr int kMostSide = 65535;
constexpr uint64_t kMostMetadataBytes = uint64_t{1} << 48;

// The most coefficient bytes a picture of `width` x `height` can need: four
// components of 2 bytes a pixel, each rounded up to whole units of at most
// 32 x 32 pixels.
uint64_t MostCoefficientBytes(int width, int height) {
  return uint64_t{8} * (static_cast<uint64_t>(width) + 32) *
         (static_cast<uint64_t>(height) + 32);
}

// The library reports only the first of a picture's warnings, and an error
// or two; a decoder that says more than this is not the library speaking.
constexpr int kMostMessages = 32;


// glibc's own default for M_MMAP_MAX, which mallopt cannot ask for.
constexpr int kDefaultMmapMax = 65536;

// Where the decoder keeps what it holds: its picture and its channel to the
// writer.
constexpr int kPictureFd = 3;
constexpr int kChannelFd = 4;

// The pixels travel in batches of this many rows (about 1 MiB), each batch
// one write and one read.
int PixelBatchRows(int width) {
  const size_t row_bytes =
      sizeof(int) * static_cast<size_t>(std::max(width, 1));
  return static_cast<int>(
      std::clamp<size_t>((size_t{1} << 20) / row_bytes, 1, IOV_MAX));
}

bool WriteAll(int fd, const void* data, size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t done = write(fd, at, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    at += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

// False at the end of the stream: the other side is gone.
bool ReadAll(int fd, void* data, size_t size) {
  char* at = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t done = read(fd, at, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    at += done;
    size -= static_cast<size_t>(done);
  }
  return true;
}

// ---- The decoder's side, in the child process.

void Send(RecordKind kind, const void* fields, size_t size) {
  const RecordHeader header{kind, static_cast<uint32_t>(size)};
  if (!WriteAll(kChannelFd, &header, sizeof header) ||
      !WriteAll(kChannelFd, fields, size)) {
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
  if (!WriteAll(kChannelFd, look.icc_profile.data(), look.icc_profile.size())) {
    _exit(0);
  }
}

// Waits for the writer to say `order`; ends the decoder when it is gone.
void AwaitOrder(char order) {
  char said = 0;
  if (!ReadAll(kChannelFd, &said, 1) || said != order) _exit(0);
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
// cannot grow so (a memory limit), the rows come as they always did.
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

[[noreturn]] void RunDecoder(const DecoderStart& start, bool regular_file) {
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

}  // namespace

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
  ConfineDecoder(start.abi, kPictureFd, kChannelFd);
  return stream;
}

namespace {

// ---- The writer's side.

// Kills the decoder, if it has not ended already, and waits for it.
void StopChild(Decoder* decoder) {
  if (decoder->pid < 0) return;
  kill(decoder->pid, SIGKILL);
  while (waitpid(decoder->pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  close(decoder->channel);
  decoder->channel = -1;
}

// The one reader of a decoder's records: the header of its next record
// that is not a library message, the messages before it printed as they
// come. False where the decoder ended first, or its messages went past
// their bounds: more than kMostMessages, or one longer than the library's.
bool NextRecord(Decoder* decoder, RecordHeader* header) {
  for (;;) {
    if (!ReadAll(decoder->channel, header, sizeof *header)) return false;
    if (header->kind != kMessage) return true;
    if (header->size >= kLibraryMessageBytes ||
        ++decoder->messages > kMostMessages) {
      return false;
    }
    char text[kLibraryMessageBytes];
    if (!ReadAll(decoder->channel, text, header->size)) return false;
    text[header->size] = '\0';
    PrintLibraryText(text);
  }
}

// The fields of the record whose `header` was read: false unless they are
// exactly `size` bytes and all of them came.
bool ReadFields(const Decoder& decoder, const RecordHeader& header,
                void* fields, size_t size) {
  return header.size == size && ReadAll(decoder.channel, fields, size);
}

bool InBounds(const HeadRecord& head) {
  return head.has_frame <= 1 &&
         head.reason <= static_cast<uint32_t>(kLastReason) &&
         head.width >= 0 && head.width <= kMostSide &&
         head.height >= 0 && head.height <= kMostSide &&
         head.metadata_bytes <= kMostMetadataBytes &&
         head.coefficient_bytes <=
             MostCoefficientBytes(head.width, head.height) &&
         head.kept_bytes <= kMostHeadBytes;
}

bool InBounds(const DoneRecord& done) {
  return done.failure <= static_cast<uint32_t>(Failure::kOutOfMemory) &&
         done.reason <= static_cast<uint32_t>(kLastReason) &&
         done.orientation >= 1 && done.orientation <= 8 &&
         done.profile_bytes <= kMostProfileBytes;
}

// The decoder's "done" and the profile that follows it, once it has
// decoded; false when it ended first or said anything out of turn or out of
// bounds. May throw std::bad_alloc, for the profile.
bool ReceiveDone(Decoder* decoder, DoneRecord* done, std::string* profile) {
  RecordHeader header{};
  if (!NextRecord(decoder, &header) || header.kind != kDone ||
      !ReadFields(*decoder, header, done, sizeof *done) || !InBounds(*done)) {
    return false;
  }
  profile->resize(done->profile_bytes);
  return ReadAll(decoder->channel, &(*profile)[0], profile->size());
}

// The pixels that follow the decoder's "done", into an image of the
// writer's own; null when the child ended first, or there is no memory
// for the image (`failure` says which).
gdImagePtr ReceivePixels(const Decoder& decoder, const PictureHead& head,
                         Failure* failure) {
  gdImagePtr image = MakeCanvas(head.width, head.height);
  if (!image) {
    *failure = Failure::kOutOfMemory;
    return nullptr;
  }
  // The canvas's rows lie one after the other: a batch is one read.
  const size_t row_bytes = sizeof(int) * static_cast<size_t>(head.width);
  const int batch = PixelBatchRows(head.width);
  for (int first = 0; first < head.height; first += batch) {
    const int count = std::min(batch, head.height - first);
    if (!ReadAll(decoder.channel, image->tpixels[first],
                 row_bytes * static_cast<size_t>(count))) {
      DestroyMappedImage(image);
      *failure = Failure::kDecodeError;
      return nullptr;
    }
  }
  *failure = Failure::kNone;
  return image;
}

// A process limit may free up in a moment, as another run's decoders end:
// the fork is tried again, waiting twice as long each time, for about a
// quarter of a second in all. errno says why the last try failed.
pid_t ForkPatiently() {
  for (long wait_ns = 1000000;; wait_ns *= 2) {
    const pid_t pid = fork();
    if (pid >= 0 || (errno != EAGAIN && errno != ENOMEM) ||
        wait_ns > 128000000) {
      return pid;
    }
    const timespec pause{0, wait_ns};
    nanosleep(&pause, nullptr);
  }
}

// Lets the decoder's address space grow to `bytes` beyond what it held at
// its start, and no further (nor past its hard limit): the cap it read its
// head under is replaced, raised or lowered, by what its decode needs.
void LetDecoderTake(const Decoder& decoder, uint64_t bytes) {
  rlimit limit{};
  if (decoder.held_bytes == 0 ||
      prlimit(decoder.pid, RLIMIT_AS, nullptr, &limit) != 0) {
    return;
  }
  limit.rlim_cur = decoder.held_bytes + bytes;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_cur > limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
  }
  prlimit(decoder.pid, RLIMIT_AS, &limit, nullptr);
}

}  // namespace

void StartDecoder(Decoder* decoder, int abi) {
  decoder->regular_file = IsRegularFile(decoder->stream);
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    decoder->start_error = errno;
    return;
  }
  // The child starts with this process's address space, and may take only
  // what reading its head needs beyond it, until its decode is let.
  decoder->held_bytes = ConfinesItself() ? AddressSpaceBytes() : 0;
  DecoderStart start;
  start.picture = fileno(decoder->stream);
  start.channel = ends[1];
  start.abi = abi;
  start.writer = getpid();
  start.most_bytes = decoder->held_bytes == 0
                         ? 0
                         : decoder->held_bytes +
                               HeadReadingBytes(decoder->regular_file);
  const pid_t pid = ForkPatiently();
  if (pid == 0) RunDecoder(start, decoder->regular_file);
  const int error = errno;
  close(ends[1]);
  if (pid < 0) {
    close(ends[0]);
    decoder->start_error = error;
    return;
  }
  decoder->pid = pid;
  decoder->channel = ends[0];
}

PictureHead ReadHeadIn(Decoder* decoder) {
  PictureHead head;
  head.failure = Failure::kDecodeError;  // unless the child answers in turn
  head.reason = Reason::kDecoderFault;
  RecordHeader header{};
  if (decoder->pid < 0 || !WriteAll(decoder->channel, &kReadHead, 1) ||
      !NextRecord(decoder, &header)) {
    return head;
  }
  if (header.kind == kDone) {
    // No memory to read a pipe's head is the one failure told this early.
    head.reason = Reason::kNone;
    DoneRecord done{};
    if (ReadFields(*decoder, header, &done, sizeof done) &&
        done.failure == static_cast<uint32_t>(Failure::kOutOfMemory)) {
      head.failure = Failure::kOutOfMemory;
    }
    return head;
  }
  HeadRecord record{};
  if (header.kind != kHead ||
      !ReadFields(*decoder, header, &record, sizeof record) ||
      !InBounds(record)) {
    return head;
  }
  head.has_frame = record.has_frame == 1;
  head.reason = static_cast<Reason>(record.reason);
  head.width = record.width;
  head.height = record.height;
  head.metadata_bytes = record.metadata_bytes;
  head.coefficient_bytes = record.coefficient_bytes;
  head.kept_bytes = record.kept_bytes;
  head.failure = Failure::kNone;
  return head;
}

void StartDecoding(Decoder* decoder, const PictureHead& head) {
  if (decoder->pid < 0 || !head.has_frame) return;
  LetDecoderTake(*decoder, DecoderBytes(head));
  if (!WriteAll(decoder->channel, &kDecode, 1)) {
    // Gone already: FinishDecoding finds the channel closed.
  }
}

DecodedPicture FinishDecoding(Decoder* decoder, const PictureHead& head) {
  DecodedPicture decoded;
  decoded.failure = Failure::kDecodeError;
  if (!head.has_frame || decoder->pid < 0) {
    StopChild(decoder);
    decoded.reason = head.reason;
    return decoded;  // as the decoder refuses it: nothing to decode
  }
  decoded.reason = Reason::kDecoderFault;  // unless it answers in turn
  DoneRecord done{};
  try {
    if (ReceiveDone(decoder, &done, &decoded.look.icc_profile)) {
      decoded.failure = static_cast<Failure>(done.failure);
      decoded.reason = static_cast<Reason>(done.reason);
      decoded.look.orientation = done.orientation;
      if (decoded.failure == Failure::kNone) {
        decoded.image = ReceivePixels(*decoder, head, &decoded.failure);
        decoded.reason = Reason::kDecoderFault;  // where it sent too few
      }
    }
  } catch (const std::bad_alloc&) {
    decoded.failure = Failure::kOutOfMemory;
  }
  StopChild(decoder);
  return decoded;
}
