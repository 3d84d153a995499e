#include "jpeg_writer.h"

#include <cstdio>
#include <algorithm>
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

// Little-endian, as most cameras write it: "II", IFD0 at 8, one entry.
void WriteOrientation(jpeg_compress_struct* cinfo, int orientation) {
  const unsigned char exif[] = {
      'E', 'x', 'i', 'f', 0, 0,  // identifier
      'I', 'I', 0x2a, 0, 8, 0, 0, 0,  // byte order, 42, IFD0 at 8
      1, 0,  // one entry: Orientation, SHORT, one value
      0x12, 0x01, 3, 0, 1, 0, 0, 0,
      static_cast<unsigned char>(orientation), 0, 0, 0,
      0, 0, 0, 0};  // no next IFD
  jpeg_write_marker(cinfo, JPEG_APP0 + 1, exif, sizeof exif);
}

}  // namespace

std::string WriteJpeg(JpegKind kind, int width, int height, unsigned seed,
                      int orientation, const std::string& icc) {
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
  if (orientation != 0) WriteOrientation(&cinfo, orientation);
  if (!icc.empty()) {
    jpeg_write_icc_profile(&cinfo,
                           reinterpret_cast<const JOCTET*>(icc.data()),
                           static_cast<unsigned>(icc.size()));
  }
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

Carried ReadCarried(const std::string& jpeg) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr error;
  cinfo.err = jpeg_std_error(&error);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(jpeg.data()),
               jpeg.size());
  jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xffff);
  jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xffff);
  jpeg_read_header(&cinfo, TRUE);
  Carried carried;
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
    if (m->marker == JPEG_APP0 + 1) {
      carried.app1.emplace_back(reinterpret_cast<char*>(m->data),
                                m->data_length);
    }
  }
  JOCTET* icc = nullptr;
  unsigned size = 0;
  if (jpeg_read_icc_profile(&cinfo, &icc, &size)) {
    carried.icc.assign(reinterpret_cast<char*>(icc), size);
    std::free(icc);
  }
  jpeg_destroy_decompress(&cinfo);
  return carried;
}

std::string WithoutApp1AndApp2(const std::string& jpeg) {
  std::string out = jpeg.substr(0, 2);
  size_t at = 2;
  // Segments up to the first scan, each FF, marker, two length bytes.
  while (at + 4 <= jpeg.size() && jpeg[at + 1] != '\xda') {
    const size_t length = (static_cast<unsigned char>(jpeg[at + 2]) << 8) |
                          static_cast<unsigned char>(jpeg[at + 3]);
    if (jpeg[at + 1] != '\xe1' && jpeg[at + 1] != '\xe2') {
      out += jpeg.substr(at, 2 + length);
    }
    at += 2 + length;
  }
  return out + jpeg.substr(std::min(at, jpeg.size()));
}
