#include "Pixels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace thumbtool {

namespace detail {

// For each output position, the source positions it covers and their weights.
std::vector<std::vector<Tap>> areaTaps(int sourceSize, int targetSize) {
  std::vector<std::vector<Tap>> taps(static_cast<std::size_t>(targetSize));
  double scale = static_cast<double>(sourceSize) / targetSize;
  for (int out = 0; out < targetSize; ++out) {
    double begin = out * scale;
    double end = std::min<double>((out + 1) * scale, sourceSize);
    auto& list = taps[static_cast<std::size_t>(out)];
    std::uint32_t given = 0;
    for (int in = static_cast<int>(begin); in < sourceSize && in < end; ++in) {
      double covered = std::min<double>(in + 1, end) - std::max<double>(in, begin);
      auto weight = static_cast<std::uint32_t>(std::lround(covered / (end - begin) * 65536.0));
      list.push_back({in, weight});
      given += weight;
    }
    if (list.empty()) {
      list.push_back({std::min(static_cast<int>(begin), sourceSize - 1), 0});
    }
    // Rounding leftovers go to the largest tap so every output pixel weighs exactly 1.
    auto largest = std::max_element(list.begin(), list.end(),
                                    [](const Tap& a, const Tap& b) { return a.weight < b.weight; });
    largest->weight += 65536 - given;
  }
  return taps;
}

}  // namespace detail

using detail::areaTaps;
using detail::Tap;

Dimensions fitInside(int width, int height, Box box, bool enlarge) {
  if (!enlarge && width <= box.width && height <= box.height) {
    return {width, height};
  }
  double scale =
      std::min(static_cast<double>(box.width) / width, static_cast<double>(box.height) / height);
  int w = std::clamp(static_cast<int>(std::lround(width * scale)), 1, box.width);
  int h = std::clamp(static_cast<int>(std::lround(height * scale)), 1, box.height);
  return {w, h};
}

AreaShrinker::AreaShrinker(int sourceWidth, int sourceHeight, int channels, int width, int height)
    : channels_(channels),
      columns_(areaTaps(sourceWidth, width)),
      rows_(areaTaps(sourceHeight, height)),
      result_(width, height, channels),
      horizontal_(static_cast<std::size_t>(width) * channels) {}

template <int kChannels>
void AreaShrinker::horizontalPass(const unsigned char* in) {
  std::uint32_t* out = horizontal_.data();
  for (const std::vector<Tap>& taps : columns_) {
    std::uint32_t sums[kChannels] = {};
    for (const Tap& tap : taps) {
      const unsigned char* pixel = in + static_cast<std::size_t>(tap.index) * kChannels;
      for (int c = 0; c < kChannels; ++c) {
        sums[c] += pixel[c] * tap.weight;
      }
    }
    for (int c = 0; c < kChannels; ++c) {
      *out++ = sums[c];
    }
  }
}

void AreaShrinker::addRow(const unsigned char* in) {
  const int row = nextRow_++;
  const int width = result_.width;
  // Horizontal pass into 16.16 fixed point, each tap's pixel read once for all its channels.
  if (channels_ == 3) {
    horizontalPass<3>(in);
  } else if (channels_ == 4) {
    horizontalPass<4>(in);
  } else {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels_; ++c) {
        std::uint32_t sum = 0;
        for (const Tap& tap : columns_[static_cast<std::size_t>(x)]) {
          sum += in[static_cast<std::size_t>(tap.index) * channels_ + c] * tap.weight;
        }
        horizontal_[static_cast<std::size_t>(x) * channels_ + c] = sum;
      }
    }
  }
  // Into every output row that covers this one (a row's taps are consecutive source rows).
  for (int y = firstOpen_; y < result_.height; ++y) {
    const std::vector<Tap>& taps = rows_[static_cast<std::size_t>(y)];
    if (taps.front().index > row) {
      break;
    }
    if (row > taps.back().index) {
      continue;
    }
    auto open = static_cast<std::size_t>(y - firstOpen_);
    while (open_.size() <= open) {
      open_.emplace_back(horizontal_.size(), 0);
    }
    std::uint32_t weight = taps[static_cast<std::size_t>(row - taps.front().index)].weight;
    std::vector<std::uint64_t>& sums = open_[open];
    for (std::size_t i = 0; i < sums.size(); ++i) {
      sums[i] += static_cast<std::uint64_t>(horizontal_[i]) * weight;
    }
  }
  // Output rows whose last source row this was are done: round them back to bytes.
  while (firstOpen_ < result_.height &&
         rows_[static_cast<std::size_t>(firstOpen_)].back().index <= row) {
    unsigned char* out =
        result_.pixels.data() + static_cast<std::size_t>(firstOpen_) * result_.stride();
    for (std::size_t i = 0; i < horizontal_.size(); ++i) {
      std::uint64_t sum = open_.empty() ? 0 : open_.front()[i];
      std::uint64_t value = (sum + (1ULL << 31)) >> 32;
      out[i] = static_cast<unsigned char>(std::min<std::uint64_t>(value, 255));
    }
    if (!open_.empty()) {
      open_.pop_front();
    }
    ++firstOpen_;
  }
}

Image resizeArea(const Image& source, int width, int height) {
  if (width == source.width && height == source.height) {
    return source;
  }
  AreaShrinker shrinker(source.width, source.height, source.channels, width, height);
  for (int y = 0; y < source.height; ++y) {
    shrinker.addRow(source.pixels.data() + static_cast<std::size_t>(y) * source.stride());
  }
  return shrinker.take();
}

Image flattenOntoWhite(Image image) {
  if (!image.hasAlpha()) {
    return image;
  }
  Image result(image.width, image.height, 3);
  const std::size_t count = static_cast<std::size_t>(image.width) * image.height;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* in = &image.pixels[i * 4];
    unsigned alpha = in[3];
    for (int c = 0; c < 3; ++c) {
      unsigned value = (in[c] * alpha + 255 * (255 - alpha) + 127) / 255;
      result.pixels[i * 3 + static_cast<std::size_t>(c)] = static_cast<unsigned char>(value);
    }
  }
  return result;
}

Image applyOrientation(Image image, int orientation) {
  if (orientation < 2 || orientation > 8) {
    return image;
  }
  // Orientations 5-8 swap the sides: the stored rows become columns.
  const bool transpose = orientation >= 5;
  const int w = image.width;
  const int h = image.height;
  Image result(transpose ? h : w, transpose ? w : h, image.channels);
  const int channels = image.channels;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int outX = 0;
      int outY = 0;
      switch (orientation) {
        case 2:
          outX = w - 1 - x;
          outY = y;
          break;  // mirrored
        case 3:
          outX = w - 1 - x;
          outY = h - 1 - y;
          break;  // upside down
        case 4:
          outX = x;
          outY = h - 1 - y;
          break;  // mirrored upside down
        case 5:
          outX = y;
          outY = x;
          break;  // transposed
        case 6:
          outX = h - 1 - y;
          outY = x;
          break;  // needs 90 degrees clockwise
        case 7:
          outX = h - 1 - y;
          outY = w - 1 - x;
          break;  // transversed
        default:
          outX = y;
          outY = w - 1 - x;
          break;  // 8: needs 90 degrees anticlockwise
      }
      const unsigned char* in = &image.pixels[(static_cast<std::size_t>(y) * w + x) * channels];
      unsigned char* out =
          &result.pixels[(static_cast<std::size_t>(outY) * result.width + outX) * channels];
      std::copy(in, in + channels, out);
    }
  }
  return result;
}

}  // namespace thumbtool
