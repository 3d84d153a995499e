// Each picture is parsed in a process of its own, its decoder, that holds no
// right at all: a flaw in the JPEG decoder that a hostile picture reaches
// finds there no file, no terminal, no other process and only the calls
// that decoding needs. This process, which writes the frames, never parses a
// picture byte: it reads the decoder's records, checks every one, and takes
// the pixels, a number of bytes it knows beforehand, into memory of its own.
#ifndef JPEGFADE_DECODER_PROCESS_H_
#define JPEGFADE_DECODER_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <cstdio>

#include "jpeg_input.h"

/// One picture's decoder, a child process.
struct Decoder {
  FILE* stream = nullptr;     // the picture
  bool regular_file = false;  // a file, which can be read again, not a pipe
  pid_t pid = -1;             // the child; -1 where none could be started
  int start_error = 0;        // why none could be started: an errno
  int channel = -1;           // this end of the socket pair to the child
  uint64_t held_bytes = 0;    // its address space at its start; 0: uncapped
  int messages = 0;           // library messages taken from it so far
};

/// Starts the decoder of `decoder->stream`: a child that confines itself at
/// once (no file, no socket, no process; the Landlock ABI is `abi`), whose
/// address space may grow only by what reading a head needs, and that
/// reads nothing until ReadHeadIn asks. Call it before this process
/// confines itself, which can then start no process. Where no child can be
/// started, even after a moment's retries, `pid` stays -1 and `start_error`
/// says why: this process never decodes a picture itself.
void StartDecoder(Decoder* decoder, int abi);

/// The picture's head, read by its decoder up to its first scan: what the
/// memory check needs, or why it could not be read (no memory for a pipe's
/// head; a decoder that died or answered out of turn gives a decode error).
PictureHead ReadHeadIn(Decoder* decoder);

/// Lets the decoder decode the picture whose `head` it read, once the memory
/// check has let it: its address space may now grow by DecoderBytes(`head`)
/// beyond what it held at its start, and no more. Returns at once.
void StartDecoding(Decoder* decoder, const PictureHead& head);

/// Waits for the picture that StartDecoding asked for, printing the
/// decoder's library lines on standard error as they come: its image (one
/// for DestroyMappedImage) and how it is shown, or why there is none. A
/// decoder that dies, is killed, or says anything out of turn or out of
/// bounds gives a decode error. The child is gone when this returns.
DecodedPicture FinishDecoding(Decoder* decoder, const PictureHead& head);

#endif  // JPEGFADE_DECODER_PROCESS_H_
