#include "decoder_process.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "image_memory.h"
#include "metadata.h"

namespace {

// The records as a decoder writes them, spelled out here apart from the
// code: a kind and a size, then the fields, 32 bits each (the head's
// metadata count in two, low first).
std::string Record(uint32_t kind, std::initializer_list<uint32_t> fields) {
  std::string bytes;
  for (const uint32_t word :
       {kind, static_cast<uint32_t>(4 * fields.size())}) {
    bytes.append(reinterpret_cast<const char*>(&word), 4);
  }
  for (const uint32_t word : fields) {
    bytes.append(reinterpret_cast<const char*>(&word), 4);
  }
  return bytes;
}

std::string Head(uint32_t width, uint32_t height, uint64_t metadata = 0) {
  return Record(1, {1, width, height, 0, static_cast<uint32_t>(metadata),
                    static_cast<uint32_t>(metadata >> 32)});
}

std::string Message(const std::string& text) {
  const uint32_t header[] = {2, static_cast<uint32_t>(text.size())};
  return std::string(reinterpret_cast<const char*>(header), sizeof header) + text;
}

std::string Done(uint32_t failure, uint32_t orientation, uint32_t profile_bytes) {
  return Record(3, {failure, orientation, profile_bytes});
}

// 2 x 1 pixels, as the decoder sends them.
const std::string kPixels("\x01\x02\x03\x00\x04\x05\x06\x00", 8);

// A decoder that says `at_head` when asked for the head and `at_decode` when
// told to decode, or crashes there where that is "crash"; it ends once it
// has nothing more to say.
Decoder FakeDecoder(const std::string& at_head, const std::string& at_decode) {
  int ends[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
  Decoder decoder;
  decoder.pid = fork();
  if (decoder.pid == 0) {
    close(ends[0]);
    char order;
    if (read(ends[1], &order, 1) == 1) (void)!write(ends[1], at_head.data(), at_head.size());
    if (!at_decode.empty() && read(ends[1], &order, 1) == 1) {
      if (at_decode == "crash") raise(SIGSEGV);
      (void)!write(ends[1], at_decode.data(), at_decode.size());
    }
    _exit(0);
  }
  close(ends[1]);
  decoder.channel = ends[0];
  return decoder;
}

TEST(DecoderProcess, WhateverTheDecoderSaysTheWriterTakesAPictureOrItsFailure) {
  std::signal(SIGPIPE, SIG_IGN);
  const Failure kOk = Failure::kNone, kDecode = Failure::kDecodeError,
                kMemory = Failure::kOutOfMemory;
  struct Row {
    const char* what;
    std::string at_head, at_decode;
    Failure head_failure, failure;
    std::string printed = "";
  };
  const Row rows[] = {
      {"a picture", Head(2, 1), Done(0, 6, 3) + "icc" + kPixels, kOk, kOk},
      {"its library's line, escaped", Head(2, 1),
       Message("cut\x1b[2J\n") + Done(0, 6, 3) + "icc" + kPixels, kOk, kOk,
       "jpegfade: cut\\x1b[2J\n"},
      {"no memory for its head", Done(2, 1, 0), "", kMemory, kMemory},
      {"no memory for its pixels", Head(2, 1), Done(2, 1, 0), kOk, kMemory},
      {"an end before its head", "", "", kDecode, kDecode},
      {"a head wider than a JPEG's", Head(65536, 1), "", kDecode, kDecode},
      {"metadata past any file's", Head(2, 1, uint64_t{1} << 60), "", kDecode, kDecode},
      {"a head once more", Head(2, 1), Head(2, 1), kOk, kDecode},
      {"a line longer than the library's", Head(2, 1), Message(std::string(2000, 'x')), kOk, kDecode},
      {"a failure there is not", Head(2, 1), Done(9, 1, 0), kOk, kDecode},
      {"an orientation of 9", Head(2, 1), Done(0, 9, 0) + kPixels, kOk, kDecode},
      {"a profile longer than 255 segments hold", Head(2, 1), Done(0, 1, kMostProfileBytes + 1), kOk, kDecode},
      {"its pixels cut short", Head(2, 1), Done(0, 1, 0) + kPixels.substr(0, 5), kOk, kDecode},
      {"a crash", Head(2, 1), "crash", kOk, kDecode},
  };
  for (const Row& row : rows) {
    Decoder decoder = FakeDecoder(row.at_head, row.at_decode);
    const PictureHead head = ReadHeadIn(&decoder);
    EXPECT_EQ(head.failure, row.head_failure) << row.what;
    if (head.failure != kOk) {
      kill(decoder.pid, SIGKILL);  // the writer ends here, and the decoder
      waitpid(decoder.pid, nullptr, 0);
      continue;
    }
    StartDecoding(&decoder, head);
    testing::internal::CaptureStderr();
    const DecodedPicture decoded = FinishDecoding(&decoder, head);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), row.printed) << row.what;
    EXPECT_EQ(decoded.failure, row.failure) << row.what;
    // The decoder is gone and waited for, whatever it did.
    EXPECT_EQ(waitpid(decoder.pid, nullptr, WNOHANG), -1) << row.what;
    if (decoded.failure != kOk) continue;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(decoded.image->tpixels[0]), 8), kPixels);
    EXPECT_EQ(decoded.look.orientation, 6);
    EXPECT_EQ(decoded.look.icc_profile, "icc");
    DestroyMappedImage(decoded.image);
  }
}

}  // namespace
