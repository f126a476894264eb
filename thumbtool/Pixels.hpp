// Pixel operations the fast paths need without the general image stack.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "Image.hpp"

namespace thumbtool {

struct Dimensions {
  int width;
  int height;
};

// The largest size with the source's aspect ratio that fits the box (each side at least 1).
// Without enlarge, a source that already fits keeps its size.
Dimensions fitInside(int width, int height, Box box, bool enlarge);

namespace detail {
// One source index and its share of an output pixel, in 1/65536 units summing to 65536.
struct Tap {
  int index;
  std::uint32_t weight;
};
}  // namespace detail

// Area-averaging resize (each output pixel is the mean of the source area it covers). Meant for
// shrinking opaque images; alpha, if present, is averaged like any other channel.
Image resizeArea(const Image& source, int width, int height);

// The same resize fed one source row at a time, top to bottom, so that a decoder never needs to
// hold the whole source picture: only a row of it and the output rows still being summed.
class AreaShrinker {
 public:
  AreaShrinker(int sourceWidth, int sourceHeight, int channels, int width, int height);

  // The next source row: sourceWidth pixels of the given channels.
  void addRow(const unsigned char* row);
  // The picture, once every source row was added.
  Image take() { return std::move(result_); }

 private:
  // The horizontal pass for a channel count known when compiling, which keeps each pixel's sums
  // in registers.
  template <int kChannels>
  void horizontalPass(const unsigned char* row);

  int channels_;
  std::vector<std::vector<detail::Tap>> columns_;
  std::vector<std::vector<detail::Tap>> rows_;
  Image result_;
  std::vector<std::uint32_t> horizontal_;  // the current row, shrunk across, 16.16 fixed point
  std::deque<std::vector<std::uint64_t>> open_;  // sums of output rows from firstOpen_ on
  int firstOpen_ = 0;
  int nextRow_ = 0;
};

// Composites RGBA onto white and returns RGB; RGB comes back unchanged.
Image flattenOntoWhite(Image image);

// Applies an EXIF orientation (1-8) so the picture comes out upright.
Image applyOrientation(Image image, int orientation);

}  // namespace thumbtool
