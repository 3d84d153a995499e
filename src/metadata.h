// How a picture is to be shown: the orientation its Exif data gives and the
// colour profile it carries, read from the segments the marker walk kept,
// and the same written into every frame when both pictures agree.
#ifndef JPEGFADE_METADATA_H_
#define JPEGFADE_METADATA_H_

#include <cstddef>
#include <string>
#include <vector>

/// What a picture says about how it is shown.
struct Appearance {
  int orientation = 1;      // Exif Orientation, 1 to 8; 1 when untagged
  std::string icc_profile;  // the whole ICC profile; empty when none
};

/// The most bytes a profile can have: 255 APP2 segments, each of at most
/// 65,519 bytes of the profile.
constexpr size_t kMostProfileBytes = size_t{255} * 65519;

/// The Orientation (1 to 8) of IFD0 in `tiff`, an Exif segment's TIFF data
/// in either byte order; 1 when it has none, or it is malformed (IFD0 runs
/// past the data, the tag's type or count is not one SHORT).
int ExifOrientation(const std::string& tiff);

/// The profile that `chunks` (APP2 ICC_PROFILE segments after their
/// identifier: sequence number, count, data) make when put in order; empty
/// when they are incomplete, repeated or inconsistent.
std::string IccProfile(const std::vector<std::string>& chunks);

/// What every frame carries of the pictures' metadata.
struct SharedMetadata {
  std::string segments;  // right after each frame's JFIF APP0 segment
  const char* disagreement = nullptr;  // for a person, where the profiles
                                       // differ and the frames carry none
};

/// The segments every frame carries: an APP1 Exif segment with the
/// orientation where both pictures give the same one other than 1, and
/// APP2 ICC_PROFILE chunks where both carry the same profile; and where the
/// profiles disagree, what a person should be told (orientations that
/// disagree were dealt with before, by turning the pictures upright).
SharedMetadata SharedSegments(const Appearance& first,
                              const Appearance& second);

/// Inserts `segments` into `jpeg` right after its JFIF APP0 segment (after
/// its start-of-image marker, if it has none), in the room it already has
/// where that suffices. May throw std::bad_alloc.
void InsertSegments(std::string* jpeg, const std::string& segments);

#endif  // JPEGFADE_METADATA_H_
