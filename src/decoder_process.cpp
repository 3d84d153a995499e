#include "decoder_process.h"

#include <gd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <new>
#include <string>

#include "confine.h"
#include "decoder_child.h"
#include "decoder_protocol.h"
#include "image_memory.h"
#include "memory_limit.h"
#include "metadata.h"
#include "report.h"
#include "whole_io.h"

namespace {

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
    if (!ReadWhole(decoder->channel, header, sizeof *header)) return false;
    if (header->kind != kMessage) return true;
    if (header->size >= kLibraryMessageBytes ||
        ++decoder->messages > kMostMessages) {
      return false;
    }
    char text[kLibraryMessageBytes];
    if (!ReadWhole(decoder->channel, text, header->size)) return false;
    text[header->size] = '\0';
    PrintLibraryText(text);
  }
}

// The fields of the record whose `header` was read: false unless they are
// exactly `size` bytes and all of them came.
bool ReadFields(const Decoder& decoder, const RecordHeader& header,
                void* fields, size_t size) {
  return header.size == size && ReadWhole(decoder.channel, fields, size);
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
  return ReadWhole(decoder->channel, &(*profile)[0], profile->size());
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
    if (!ReadWhole(decoder.channel, image->tpixels[first],
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
  if (decoder->pid < 0 || !WriteWhole(decoder->channel, &kReadHead, 1) ||
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
  if (!WriteWhole(decoder->channel, &kDecode, 1)) {
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
