#include "pictures.h"

#include <cstring>
#include <string>
#include <utility>

#include "cpu_count.h"
#include "image_memory.h"
#include "memory_limit.h"
#include "report.h"

namespace {

// The head of `picture`, read by its decoder; where it has none, its
// picture's line and the reason, and the end of the process: no picture is
// ever parsed here, where the frames' folder can be reached.
PictureHead AskHeadOrDie(Picture* picture) {
  const int error = picture->decoder.start_error;
  if (picture->decoder.pid < 0) {
    DieExplained(kFileDecodeError, picture->path,
                 std::string("no process for its decoder: ") +
                     std::strerror(error));
  }
  return ReadHeadIn(&picture->decoder);
}

// The head of `picture`, once it shows that `images` images of its size fit
// in memory; else its line, and the end of the process.
PictureHead HeadOrDie(Picture* picture, int images) {
  const PictureHead head = AskHeadOrDie(picture);
  CheckRoomOrDie(head, images, picture->path);
  return head;
}

// The decoded picture; else its line, and the end of the process.
void TakeOrDie(Picture* picture, DecodedPicture decoded) {
  DieOfFailure(decoded.failure, decoded.reason, picture->path);
  picture->image = decoded.image;
  picture->look = std::move(decoded.look);
  picture->stored_width = decoded.image->sx;
  picture->stored_height = decoded.image->sy;
}

}  // namespace

Picture OpenPictureOrDie(const char* path) {
  Picture picture;
  picture.path = path;
  picture.decoder.stream = OpenForReadingOrDie(path);
  return picture;
}

// Decoding a large picture takes most of a run's serial part, so the second
// is decoded beside the first where that changes nothing a user sees: its
// decoder is a process of its own, its picture is a file (a pipe's head,
// read now, would be held, up to 32 MiB, before its turn), there is a second
// CPU, and there is room for both pictures at once and the images still to
// make. Its library lines wait in its channel until the first picture is
// taken, and its failure is told only then.
void DecodeBothOrDie(Picture* first, Picture* second, int images_at_first,
                     int images_at_second) {
  const PictureHead head = HeadOrDie(first, images_at_first);
  const bool read_ahead = second->decoder.pid > 0 &&
                          second->decoder.regular_file && UsableCpus() > 1;
  PictureHead second_head;
  bool beside = false;
  if (read_ahead) {
    second_head = ReadHeadIn(&second->decoder);
    // Both at once: the first picture itself, and what the second leaves
    // to make (itself and the canvas).
    const int first_itself = images_at_first - images_at_second;
    beside = second_head.failure == Failure::kNone &&
             NeededBytes(head, first_itself) +
                     NeededBytes(second_head, images_at_second) <=
                 AvailableBytes();
    if (beside) StartDecoding(&second->decoder, second_head);
  }
  StartDecoding(&first->decoder, head);
  TakeOrDie(first, FinishDecoding(&first->decoder, head));
  if (!read_ahead) second_head = AskHeadOrDie(second);
  if (!beside) {
    CheckRoomOrDie(second_head, images_at_second, second->path);
    StartDecoding(&second->decoder, second_head);
  }
  TakeOrDie(second, FinishDecoding(&second->decoder, second_head));
}

// Frames of stored pixels would show one picture lying on its side where a
// viewer shows it upright. Tags that agree travel with the frames instead,
// and the pixels stay as stored. A turn holds one more image of the
// picture's size for a moment, before the canvas is made: the memory check
// counted the canvas.
void TurnUprightWhereTagsDisagree(Picture* first, Picture* second) {
  const int a = first->look.orientation, b = second->look.orientation;
  if (a == b) return;
  for (Picture* picture : {first, second}) {
    if (picture->look.orientation == 1) continue;
    gdImagePtr turned =
        TurnedUpright(picture->image, picture->look.orientation);
    if (!turned) DieWithPath(kOutOfMemory, picture->path);
    DestroyMappedImage(picture->image);
    picture->image = turned;
    picture->look.orientation = 1;
  }
  const std::string note = "the pictures carry different orientations (" +
                           std::to_string(a) + " and " + std::to_string(b) +
                           "); both are turned upright, and the frames carry "
                           "none";
  Note(note.c_str());
}

void ClosePicture(Picture* picture) {
  DestroyMappedImage(picture->image);
  picture->image = nullptr;
  std::fclose(picture->decoder.stream);
}
