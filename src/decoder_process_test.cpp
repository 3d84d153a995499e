#include "decoder_process.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstdint>
#include <string>

#include "decoder_child.h"
#include "decoder_protocol.h"
#include "image_memory.h"
#include "memory_limit.h"
#include "metadata.h"
#include "test_pictures.h"

namespace {

// The records as a decoder writes them, from the protocol's own
// definitions, whose layout its static_asserts pin.
template <typename Fields>
std::string Bytes(const Fields& fields) {
  return std::string(reinterpret_cast<const char*>(&fields), sizeof fields);
}

template <typename Fields>
std::string Record(RecordKind kind, const Fields& fields) {
  return Bytes(RecordHeader{kind, sizeof fields}) + Bytes(fields);
}

std::string Head(int32_t width, int32_t height, uint64_t metadata = 0) {
  HeadRecord head{};
  head.has_frame = 1;
  head.width = width;
  head.height = height;
  head.metadata_bytes = metadata;
  return Record(kHead, head);
}

std::string Message(const std::string& text) {
  return Bytes(RecordHeader{kMessage, static_cast<uint32_t>(text.size())}) +
         text;
}

std::string Done(uint32_t failure, int32_t orientation,
                 uint32_t profile_bytes) {
  return Record(kDone, DoneRecord{failure, 0, orientation, profile_bytes});
}

// 2 x 1 pixels, as the decoder sends them.
const std::string kPixels("\x01\x02\x03\x00\x04\x05\x06\x00", 8);

// What the fake decoder says: "crash" crashes; "grab:N" takes N bytes and
// says no memory where it cannot have them, else a decode error; "stall:"
// before the rest waits a moment first.
void Say(int channel, std::string said) {
  if (said.rfind("stall:", 0) == 0) {
    usleep(200000);
    said = said.substr(6);
  }
  if (said == "crash") raise(SIGSEGV);
  if (said.rfind("grab:", 0) == 0) {
    said = Done(std::malloc(std::stoull(said.substr(5))) ? 1 : 2, 1, 0);
  }
  (void)!write(channel, said.data(), said.size());
}

// A decoder, capped as a decoder is, that says `at_head` when asked for the
// head and `at_decode` when told to decode; it ends once it has nothing more
// to say.
Decoder FakeDecoder(const std::string& at_head, const std::string& at_decode) {
  int ends[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
  Decoder decoder;
  decoder.held_bytes = MemoryLimitsTestable() ? AddressSpaceBytes() : 0;
  decoder.pid = fork();
  if (decoder.pid == 0) {
    close(ends[0]);
    if (decoder.held_bytes) {
      CapAddressSpace(decoder.held_bytes + HeadReadingBytes(true));
    }
    char order;
    if (read(ends[1], &order, 1) == 1) Say(ends[1], at_head);
    if (!at_decode.empty() && read(ends[1], &order, 1) == 1) {
      Say(ends[1], at_decode);
    }
    _exit(0);
  }
  close(ends[1]);
  decoder.channel = ends[0];
  return decoder;
}

std::string Repeated(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
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
    bool capped = false;  // holds only where memory limits hold
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
      {"its library's line before its head", Message("early") + Head(2, 1),
       Done(0, 6, 3) + "icc" + kPixels, kOk, kOk, "jpegfade: early\n"},
      {"a stall before its head and after", "stall:" + Head(2, 1),
       "stall:" + Done(0, 6, 3) + "icc" + kPixels, kOk, kOk},
      {"as many lines as the library may send", Head(2, 1),
       Repeated(Message("w"), 32) + Done(0, 6, 3) + "icc" + kPixels, kOk, kOk,
       Repeated("jpegfade: w\n", 32)},
      {"one line more", Head(2, 1), Repeated(Message("w"), 33), kOk, kDecode,
       Repeated("jpegfade: w\n", 32)},
      {"memory past its cap before its head", "grab:1073741824", "", kMemory,
       kMemory, "", true},
      {"memory its decode may take", Head(2000, 2000), "grab:18874368", kOk,
       kDecode, "", true},
      {"memory past what its decode may take", Head(2, 1), "grab:1073741824",
       kOk, kMemory, "", true},
      {"its library's C1 and bidi controls, escaped", Head(2, 1),
       Message("\x9b" "2J\xc2\x9d" "0;t\xe2\x81\xa6x\n") + Done(0, 6, 3) + "icc" + kPixels, kOk, kOk,
       "jpegfade: \\x9b2J\\xc2\\x9d0;t\\xe2\\x81\\xa6x\n"},
  };
  for (const Row& row : rows) {
    if (row.capped && !MemoryLimitsTestable()) continue;
    Decoder decoder = FakeDecoder(row.at_head, row.at_decode);
    testing::internal::CaptureStderr();
    const PictureHead head = ReadHeadIn(&decoder);
    EXPECT_EQ(head.failure, row.head_failure) << row.what;
    if (head.failure != kOk) {
      testing::internal::GetCapturedStderr();
      kill(decoder.pid, SIGKILL);  // the writer ends here, and the decoder
      waitpid(decoder.pid, nullptr, 0);
      continue;
    }
    StartDecoding(&decoder, head);
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
