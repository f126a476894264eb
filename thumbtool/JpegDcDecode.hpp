// The 1/8-scale JPEG decode done from DC coefficients alone (see JpegDcScan.hpp), joined to
// libjpeg: libjpeg reads the markers up to the scan, this reads the scan. Rows come out as
// libjpeg would give them at that scale with plain chroma replication, except that chroma
// halved both ways is taken from each block's DC alone (see samplingFits).
#pragma once

#include <array>
#include <optional>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include "JpegDcPixels.hpp"
#include "Pixels.hpp"
#include "JpegDcScan.hpp"

namespace thumbtool {

// Where output rows go: called once per row, top to bottom, with output_width pixels of
// output_components channels. A plain function pointer, as nothing with a destructor may sit in
// a frame libjpeg could jump over.
struct RowSink {
  void (*add)(void* context, const unsigned char* row);
  void* context;
};

// Everything one DC decode holds, made before libjpeg may jump out of a call so that no
// destructor is skipped: one MCU row of coefficients and one output row.
struct DcDecode {
  std::optional<DcScan> scan;
  std::array<int, 4> quant{};             // each component's DC quantiser
  std::vector<unsigned char> samples[3];  // one MCU row of samples per component
  std::vector<unsigned char> row;
  int outputWidth = 0;
  int outputHeight = 0;
  int channels = 0;
  int lumaH = 1;  // luma blocks across and down per MCU (1 and 1 for grey)
  int lumaV = 1;
  YccToRgb colour;
};

// Whether the header just read allows the DC decode once the scale is 1/8 and upsampling
// plain: one sequential Huffman scan of 8-bit grey, or of YCbCr that libjpeg would turn into
// RGB with chroma at one block per MCU. Fills `decode` when it does. Call after
// jpeg_read_header and jpeg_calc_output_dimensions.
bool prepareDcDecode(const jpeg_decompress_struct& info, DcDecode& decode);

// Whether the DC decode's chroma is fine enough for a thumbnail of the target size: chroma
// halved both ways comes out at half the 1/8 scale, which must still be at least the target's
// size, or sharp colour edges would show its blocks. Always true for other layouts.
bool chromaDetailHidden(const jpeg_decompress_struct& info, int outputWidth, int outputHeight,
                        Dimensions target);

// Reads the scan from libjpeg's source and hands every output row to the sink. False on any
// anomaly in the data, which leaves the source unusable and the rows given so far incomplete:
// the decode must then start again from the beginning of the file.
bool runDcDecode(j_decompress_ptr info, DcDecode& decode, RowSink sink);

}  // namespace thumbtool
