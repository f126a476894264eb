// The encoders that need no general image stack: PNG (our own writer), JPEG (libjpeg) and BMP.
// Each renders the whole file into memory, so nothing is written when encoding fails.
#pragma once

#include <optional>
#include <vector>

#include "Image.hpp"

namespace thumbtool {

using Bytes = std::vector<unsigned char>;

// RGB or RGBA, 8 bits per channel (PngWriter.hpp).
std::optional<Bytes> encodePng(const Image& image);

// Baseline JPEG at libjpeg's default quality (75); alpha is flattened onto white first.
std::optional<Bytes> encodeJpeg(const Image& image);

// Classic 24-bit Windows bitmap (BITMAPINFOHEADER, bottom-up rows); alpha flattened onto white.
Bytes encodeBmp(const Image& image);

}  // namespace thumbtool
