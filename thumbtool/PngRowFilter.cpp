#include "PngRowFilter.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace thumbtool {

namespace {

enum class Predictor : unsigned char { none = 0, sub = 1, up = 2, average = 3, paeth = 4 };

constexpr Predictor kPredictors[] = {Predictor::none, Predictor::sub, Predictor::up,
                                     Predictor::average, Predictor::paeth};

// One row's bytes and the row above (all zeros above the first); left of the first pixel is zero.
struct RowPair {
  const unsigned char* current;
  const unsigned char* above;
  std::size_t length;
  std::size_t bytesPerPixel;
};

unsigned char paethPredict(int left, int above, int aboveLeft) {
  const int estimate = left + above - aboveLeft;
  const int toLeft = std::abs(estimate - left);
  const int toAbove = std::abs(estimate - above);
  const int toAboveLeft = std::abs(estimate - aboveLeft);
  if (toLeft <= toAbove && toLeft <= toAboveLeft) {
    return static_cast<unsigned char>(left);
  }
  return static_cast<unsigned char>(toAbove <= toAboveLeft ? above : aboveLeft);
}

// The first pixel has nothing to its left, so every predictor sees zero there.
void applyPredictor(Predictor predictor, const RowPair& row, unsigned char* out) {
  const unsigned char* x = row.current;
  const unsigned char* b = row.above;
  const std::size_t n = row.length;
  const std::size_t bpp = std::min(row.bytesPerPixel, n);
  switch (predictor) {
    case Predictor::none:
      std::memcpy(out, x, n);
      return;
    case Predictor::sub:
      std::memcpy(out, x, bpp);
      for (std::size_t i = bpp; i < n; ++i) {
        out[i] = static_cast<unsigned char>(x[i] - x[i - bpp]);
      }
      return;
    case Predictor::up:
      for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<unsigned char>(x[i] - b[i]);
      }
      return;
    case Predictor::average:
      for (std::size_t i = 0; i < bpp; ++i) {
        out[i] = static_cast<unsigned char>(x[i] - (b[i] >> 1));
      }
      for (std::size_t i = bpp; i < n; ++i) {
        out[i] = static_cast<unsigned char>(x[i] - ((x[i - bpp] + b[i]) >> 1));
      }
      return;
    case Predictor::paeth:
      for (std::size_t i = 0; i < bpp; ++i) {
        out[i] = static_cast<unsigned char>(x[i] - b[i]);
      }
      for (std::size_t i = bpp; i < n; ++i) {
        out[i] = static_cast<unsigned char>(x[i] - paethPredict(x[i - bpp], b[i], b[i - bpp]));
      }
      return;
  }
}

std::uint64_t sumOfMagnitudes(const unsigned char* bytes, std::size_t n) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    sum +=
        static_cast<std::uint64_t>(std::abs(static_cast<int>(static_cast<signed char>(bytes[i]))));
  }
  return sum;
}

}  // namespace

void filterRows(const Image& image, unsigned char* out) {
  const std::size_t length = image.stride();
  const std::vector<unsigned char> zeros(length, 0);
  std::vector<unsigned char> candidate(length);
  std::vector<unsigned char> best(length);
  RowPair row{nullptr, zeros.data(), length, static_cast<std::size_t>(image.channels)};
  for (int y = 0; y < image.height; ++y) {
    row.current = image.pixels.data() + static_cast<std::size_t>(y) * length;
    Predictor chosen = Predictor::none;
    std::uint64_t lowest = std::numeric_limits<std::uint64_t>::max();
    for (Predictor predictor : kPredictors) {
      applyPredictor(predictor, row, candidate.data());
      const std::uint64_t sum = sumOfMagnitudes(candidate.data(), length);
      if (sum < lowest) {
        lowest = sum;
        chosen = predictor;
        std::swap(candidate, best);
      }
    }
    unsigned char* filtered = out + static_cast<std::size_t>(y) * (length + 1);
    filtered[0] = static_cast<unsigned char>(chosen);
    std::memcpy(filtered + 1, best.data(), length);
    row.above = row.current;
  }
}

}  // namespace thumbtool
