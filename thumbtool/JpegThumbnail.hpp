// JPEG thumbnails straight from libjpeg: the decoder's DCT scaling does most of the shrinking, so
// a 24-megapixel photo never exists in memory at full size.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "Image.hpp"

namespace thumbtool {

// Limits that refuse decompression bombs from the header, before libjpeg allocates or loops
// for them.
struct JpegLimits {
  long long maxPixels = kMaxSourcePixels;
  // libjpeg's own memory, mostly the coefficients a progressive file keeps for the whole image
  // (a 50-megapixel photo with full colour resolution needs 300 MB).
  long maxMemory = 384L << 20;
  // Real encoders write about ten scans; each scan costs a pass over the whole image.
  int maxScans = 100;
};

enum class JpegStatus {
  decoded,
  // Breaks a limit, or libjpeg cannot read it: nothing else should try (the general image
  // stack uses the same libjpeg without these limits).
  refused,
  // CMYK without a colour profile: the general image stack has the press profile it needs.
  needsGeneralStack,
};

struct JpegThumbnail {
  JpegStatus status = JpegStatus::refused;
  std::optional<Image> image;  // set when decoded
};

// True when the open file starts with a JPEG start-of-image marker.
bool looksLikeJpeg(int fd);

// An upright sRGB thumbnail that fits the box and is never larger than the photo. The stream
// is read from its current position and not closed.
JpegThumbnail jpegThumbnail(std::FILE* file, Box box, const JpegLimits& limits = {});

// The open file, read from its start by positioned reads (the descriptor stays open and its
// offset is not used).
JpegThumbnail jpegThumbnail(int fd, Box box, const JpegLimits& limits = {});

}  // namespace thumbtool
