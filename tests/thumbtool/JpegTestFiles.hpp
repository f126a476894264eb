// JPEG files written and read with libjpeg for the tests of thumbtool's JPEG input.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <vector>

#include <jpeglib.h>

namespace thumbtool {

using Bytes = std::vector<unsigned char>;

struct JpegEncoding {
  int width = 0;
  int height = 0;
  int components = 3;  // 1 (grey) or 3 (stored as YCbCr)
  int quality = 75;
  int lumaH = 1;  // luma sampling factors; chroma is 1x1
  int lumaV = 1;
  unsigned restartInterval = 0;  // in MCUs; 0 for none
};

// Fills row `y` (width * components samples).
using RowFiller = std::function<void(int y, unsigned char* row)>;
// Writes extra markers once the header is out.
using MarkerWriter = std::function<void(j_compress_ptr info)>;

Bytes encodeJpeg(const JpegEncoding& encoding, const RowFiller& fillRow,
                 const MarkerWriter& writeMarkers = {});

// Decodes every row of a decompressor whose header was read and output set, into `pixels`
// (the caller's, so that nothing here is skipped should libjpeg jump out).
void readAllRows(j_decompress_ptr info, Bytes& pixels);

}  // namespace thumbtool
