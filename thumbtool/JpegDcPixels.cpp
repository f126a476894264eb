#include "JpegDcPixels.hpp"

namespace thumbtool {

namespace {

constexpr int kScaleBits = 16;
constexpr std::int32_t kHalf = 1 << (kScaleBits - 1);

constexpr std::int32_t fixed(double value) {
  return static_cast<std::int32_t>(value * (1 << kScaleBits) + 0.5);
}

}  // namespace

YccToRgb::YccToRgb() {
  for (int i = 0; i < 256; ++i) {
    const int centred = i - 128;
    const auto index = static_cast<std::size_t>(i);
    crRed_[index] = (fixed(1.40200) * centred + kHalf) >> kScaleBits;
    cbBlue_[index] = (fixed(1.77200) * centred + kHalf) >> kScaleBits;
    crGreen_[index] = -fixed(0.71414) * centred;
    cbGreen_[index] = -fixed(0.34414) * centred + kHalf;
  }
}

}  // namespace thumbtool
