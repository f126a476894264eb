// Conversion of decoded pixels to sRGB, honouring an embedded ICC profile when there is one.
#pragma once

#include <optional>
#include <vector>

#include "Image.hpp"

namespace thumbtool {

// How the decoder's pixels are laid out: channels 1 (grey), 3 (RGB) or 4 (CMYK).
// invertedCmyk: 0 means full ink, as Adobe-marked JPEGs store it.
struct DecodedPixels {
  Image pixels;
  bool invertedCmyk = false;
  std::vector<unsigned char> iccProfile;  // empty when the file embeds none
};

// Returns 3-channel sRGB. Uses the embedded profile when it matches the pixels' colour space,
// otherwise the plain device conversion for grey and RGB; nothing for CMYK without a usable
// profile.
std::optional<Image> convertToSrgb(const DecodedPixels& decoded);

}  // namespace thumbtool
