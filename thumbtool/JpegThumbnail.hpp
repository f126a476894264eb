// JPEG thumbnails straight from libjpeg: the decoder's DCT scaling does most of the shrinking, so
// a 24-megapixel photo never exists in memory at full size.
#pragma once

#include <optional>
#include <string>

#include "Image.hpp"

namespace thumbtool {

// True when the file starts with a JPEG start-of-image marker.
bool looksLikeJpeg(const std::string& path);

// An upright sRGB thumbnail that fits the box and is never larger than the photo, or nothing
// when the file cannot be decoded here (the caller then tries the general image stack).
std::optional<Image> jpegThumbnail(const std::string& path, Box box);

}  // namespace thumbtool
