// Each picture is parsed in a process of its own, its decoder, that holds no
// right at all: a flaw in the JPEG decoder that a hostile picture reaches
// finds there no file, no terminal, no other process and only the calls
// that decoding needs. This process, which writes the frames, never parses a
// picture byte: it reads the decoder's records, checks every one, and takes
// the pixels, a number of bytes it knows beforehand, into memory of its own.
#ifndef JPEGFADE_DECODER_PROCESS_H_
#define JPEGFADE_DECODER_PROCESS_H_

#include <sys/types.h>

#include <cstdio>

#include "jpeg_input.h"

/// One picture's decoder: a child process, or this process where none could
/// be started.
struct Decoder {
  FILE* stream = nullptr;     // the picture
  bool regular_file = false;  // a file, which can be read again, not a pipe
  pid_t pid = -1;             // the child; -1 where this process decodes
  int channel = -1;           // this end of the socket pair to the child
  JpegHead head;              // where this process decodes: the head it read
};

/// Starts the decoder of `decoder->stream`: a child that confines itself at
/// once (no file, no socket, no process; the Landlock ABI is `abi`) and
/// reads nothing until ReadHeadIn asks. Call it before this process confines
/// itself, which can then start no process. Never fails: where no child can
/// be started, the decoder is this process.
void StartDecoder(Decoder* decoder, int abi);

/// The picture's head, read by its decoder up to the frame header: what the
/// memory check needs, or why it could not be read (no memory for a pipe's
/// head; a decoder that died or answered out of turn gives a decode error).
PictureHead ReadHeadIn(Decoder* decoder);

/// Lets the decoder decode the picture whose `head` it read, once the memory
/// check has let it, and returns at once.
void StartDecoding(Decoder* decoder, const PictureHead& head);

/// Waits for the picture that StartDecoding asked for, printing the
/// decoder's library lines on standard error as they come: its image (one
/// for DestroyMappedImage) and how it is shown, or why there is none. A
/// decoder that dies, is killed, or says anything out of turn or out of
/// bounds gives a decode error. The child is gone when this returns.
DecodedPicture FinishDecoding(Decoder* decoder, const PictureHead& head);

/// In a decoder just forked from the writer `parent`: keeps only `picture`
/// and `channel` (as descriptors 3 and 4, with /dev/null on standard input,
/// output and error), dies with `parent`, and gives up for good every right
/// decoding does not need (ConfineDecoder with `abi`). The picture's stream;
/// null where the descriptors could not be kept.
FILE* EnterDecoder(int picture, int channel, int abi, pid_t parent);

#endif  // JPEGFADE_DECODER_PROCESS_H_
