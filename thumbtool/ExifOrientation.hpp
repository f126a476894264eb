// The one EXIF tag a thumbnail needs: which way up the picture is.
#pragma once

#include <cstddef>

namespace thumbtool {

// Reads the orientation tag (0x0112) of IFD0 from an APP1 payload ("Exif\0\0" + TIFF data).
// Returns 1 (upright) when the tag is absent or the data is malformed. Every read is bounded.
int exifOrientation(const unsigned char* data, std::size_t size);

}  // namespace thumbtool
