// Pixel operations the fast paths need without the general image stack.
#pragma once

#include "Image.hpp"

namespace thumbtool {

struct Dimensions {
  int width;
  int height;
};

// The largest size with the source's aspect ratio that fits the box (each side at least 1).
// Without enlarge, a source that already fits keeps its size.
Dimensions fitInside(int width, int height, Box box, bool enlarge);

// Area-averaging resize (each output pixel is the mean of the source area it covers). Meant for
// shrinking opaque images; alpha, if present, is averaged like any other channel.
Image resizeArea(const Image& source, int width, int height);

// Composites RGBA onto white and returns RGB; RGB comes back unchanged.
Image flattenOntoWhite(Image image);

// Applies an EXIF orientation (1-8) so the picture comes out upright.
Image applyOrientation(Image image, int orientation);

}  // namespace thumbtool
