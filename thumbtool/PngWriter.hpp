// PNG files of 8-bit RGB or RGBA images, non-interlaced: the signature, the header chunk, one
// image-data chunk and the end chunk, nothing else.
#pragma once

#include <optional>
#include <vector>

#include "Image.hpp"

namespace thumbtool {

// Nothing when the image is malformed (a side of 0, channels other than 3 or 4, fewer pixel
// bytes than its size) or too large for one chunk, or when memory runs out.
std::optional<std::vector<unsigned char>> writePng(const Image& image);

}  // namespace thumbtool
