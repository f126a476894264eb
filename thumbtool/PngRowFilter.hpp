// The scanline filtering step of PNG encoding: each row is replaced by the differences that one
// of the five predictors leaves, prefixed by the predictor's type byte.
#pragma once

#include "Image.hpp"

namespace thumbtool {

// Writes image.height rows of 1 + image.stride() bytes to out. Each row takes the predictor
// whose differences, read as signed bytes, have the smallest sum of magnitudes: small values
// are what the compressor codes cheaply. The caller has checked that the image holds its rows.
void filterRows(const Image& image, unsigned char* out);

}  // namespace thumbtool
