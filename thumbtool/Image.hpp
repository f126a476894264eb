// Pixels and boxes passed between the decoders, the encoders and the plug-in modules.
#pragma once

#include <cstddef>
#include <vector>

namespace thumbtool {

// 8-bit sRGB pixels, interleaved, rows packed (stride = width * channels).
// channels is 3 (RGB) or 4 (RGBA, straight alpha).
struct Image {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::vector<unsigned char> pixels;

  Image() = default;
  Image(int w, int h, int c)
      : width(w), height(h), channels(c), pixels(static_cast<std::size_t>(w) * h * c) {}
  std::size_t stride() const { return static_cast<std::size_t>(width) * channels; }
  bool hasAlpha() const { return channels == 4; }
};

// The box a thumbnail must fit in, in pixels. Both sides are at least 1 and at most kMaxSide.
struct Box {
  int width = 200;
  int height = 200;
};

// Largest side we ever render: vector pages, icons and text are drawn to fit the box, and a
// huge box would otherwise cost minutes and gigabytes.
inline constexpr int kMaxSide = 8192;

// Largest source raster we decode at all (width x height); larger files fall through to the icon.
inline constexpr long long kMaxSourcePixels = 1LL << 28;

enum class Format { png, tiff, bmp, gif, jpg };

}  // namespace thumbtool
