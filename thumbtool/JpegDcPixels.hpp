// Pixels from DC coefficients alone, as a JPEG decoder scaling by 1/8 makes them: each 8x8
// block becomes one sample, and colour is converted with the usual fixed-point YCbCr tables.
#pragma once

#include <array>
#include <cstdint>

namespace thumbtool {

// The one sample of a block whose only coefficient kept is `dc`, dequantised by `quant`. The
// decoders this must match store a coefficient in 16 bits and look the result up in a range
// table of 1024 entries, so out-of-range values wrap before they are clamped; the same is done
// here so that damaged or extreme files give the same picture either way.
inline std::uint8_t dcSample(int dc, int quant) {
  const auto stored = static_cast<std::int16_t>(static_cast<std::uint16_t>(dc));
  const std::int64_t scaled = (static_cast<std::int64_t>(stored) * quant + 4) >> 3;
  const std::int64_t wrapped = ((scaled + 512) & 1023) - 512 + 128;
  return static_cast<std::uint8_t>(wrapped < 0 ? 0 : (wrapped > 255 ? 255 : wrapped));
}

// YCbCr to RGB with the standard coefficients in 16-bit fixed point, rounded once per term.
class YccToRgb {
 public:
  YccToRgb();
  void convert(std::uint8_t y, std::uint8_t cb, std::uint8_t cr, std::uint8_t* rgb) const {
    rgb[0] = clamp(y + crRed_[cr]);
    rgb[1] = clamp(y + ((cbGreen_[cb] + crGreen_[cr]) >> 16));
    rgb[2] = clamp(y + cbBlue_[cb]);
  }

 private:
  static std::uint8_t clamp(int value) {
    return static_cast<std::uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
  }
  std::array<int, 256> crRed_{};
  std::array<int, 256> cbBlue_{};
  std::array<std::int32_t, 256> cbGreen_{};  // 16.16, the rounding half included
  std::array<std::int32_t, 256> crGreen_{};
};

}  // namespace thumbtool
