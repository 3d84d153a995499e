// A picture's decoder, the child process that parses it: it keeps only its
// picture and its channel to the frame writer, caps its memory, confines
// itself for good, and then answers the writer's orders as the protocol
// says, until it has sent its picture or why there is none.
#ifndef JPEGFADE_DECODER_CHILD_H_
#define JPEGFADE_DECODER_CHILD_H_

#include <sys/types.h>

#include <cstdint>
#include <cstdio>

/// What a decoder may take to read its head, beyond the address space it
/// held at its start.
uint64_t HeadReadingBytes(bool regular_file);

/// Caps this process's address space at `bytes`, or lower where a cap is
/// lower already; 0 caps nothing.
void CapAddressSpace(uint64_t bytes);

/// What a decoder process is started with.
struct DecoderStart {
  int picture = -1;         // its picture's descriptor
  int channel = -1;         // its end of the channel to the writer
  int abi = 0;              // the kernel's Landlock ABI
  pid_t writer = -1;        // the process it dies with
  uint64_t most_bytes = 0;  // its address space while it reads the head; 0:
                            // no cap of its own
};

/// In a decoder just forked from the writer: keeps only its picture and
/// channel (as descriptors 3 and 4, with /dev/null on standard input,
/// output and error), dies with the writer, caps its address space at
/// `most_bytes`, and gives up for good every right decoding does not need
/// (ConfineDecoder). The picture's stream; null where the descriptors could
/// not be kept.
FILE* EnterDecoder(const DecoderStart& start);

/// The decoder's whole life, in a child just forked from the writer: enters
/// (EnterDecoder), reads its head when asked, decodes when let, and ends.
[[noreturn]] void RunDecoder(const DecoderStart& start, bool regular_file);

#endif  // JPEGFADE_DECODER_CHILD_H_
