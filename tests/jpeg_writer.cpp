#include "jpeg_writer.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace {

void SetKind(jpeg_compress_struct* cinfo, JpegKind kind) {
  switch (kind) {
    case JpegKind::kGray:
      jpeg_set_colorspace(cinfo, JCS_GRAYSCALE);
      break;
    case JpegKind::kProgressive:
      jpeg_simple_progression(cinfo);
      break;
    case JpegKind::kCmyk:
      jpeg_set_colorspace(cinfo, JCS_CMYK);
      cinfo->write_Adobe_marker = TRUE;
      break;
    case JpegKind::kRestarts:
      cinfo->restart_in_rows = 1;
      break;
    case JpegKind::kArithmetic:
      cinfo->arith_code = TRUE;
      break;
    default:
      break;
  }
}

void WriteMetadata(jpeg_compress_struct* cinfo) {
  // An embedded thumbnail's end marker and a fake frame header inside
  // segments must be skipped by length, not taken for the real thing.
  const unsigned char thumbnail[] = {0xff, 0xd8, 0xff, 0xc0, 0x00, 0x0b,
                                     0x08, 0x7f, 0xff, 0x7f, 0xff, 0x01,
                                     0x01, 0x11, 0x00, 0xff, 0xd9};
  jpeg_write_marker(cinfo, JPEG_APP0 + 1, thumbnail, sizeof thumbnail);
  const char comment[] = "made for jpegfade's tests \xff\xd9\xff\xc0";
  jpeg_write_marker(cinfo, JPEG_COM, reinterpret_cast<const JOCTET*>(comment),
                    sizeof comment - 1);
}

}  // namespace

std::string WriteJpeg(JpegKind kind, int width, int height, unsigned seed) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr error;
  cinfo.err = jpeg_std_error(&error);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  const bool cmyk = kind == JpegKind::kCmyk;
  const bool gray = kind == JpegKind::kGray;
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = cmyk ? 4 : gray ? 1 : 3;
  cinfo.in_color_space = cmyk ? JCS_CMYK : gray ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  SetKind(&cinfo, kind);
  jpeg_start_compress(&cinfo, TRUE);
  if (kind == JpegKind::kMetadata) WriteMetadata(&cinfo);
  std::vector<JSAMPLE> row(static_cast<size_t>(width) * cinfo.input_components);
  for (int y = 0; y < height; ++y) {
    for (size_t x = 0; x < row.size(); ++x) {
      row[x] = static_cast<JSAMPLE>((x * 37 + y * 11 + seed * 101) ^
                                    (seed * (x + y)));
    }
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::string bytes(reinterpret_cast<char*>(buffer), size);
  std::free(buffer);
  return bytes;
}
