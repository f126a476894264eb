#include "ColourProfile.hpp"

#include <lcms2.h>

#include <memory>

namespace thumbtool {

namespace {

struct ProfileClose {
  void operator()(void* profile) const noexcept { cmsCloseProfile(profile); }
};
using ProfilePtr = std::unique_ptr<void, ProfileClose>;

struct TransformDelete {
  void operator()(void* transform) const noexcept { cmsDeleteTransform(transform); }
};
using TransformPtr = std::unique_ptr<void, TransformDelete>;

// lcms2 reports through this hook; a thumbtool run prints nothing.
void ignoreLcmsError(cmsContext, cmsUInt32Number, const char*) {}

// Without a usable profile: grey is spread to RGB, RGB is taken as sRGB, and CMYK is left to
// the general image stack, which has a default press profile.
std::optional<Image> deviceToRgb(const DecodedPixels& decoded) {
  const Image& in = decoded.pixels;
  if (in.channels == 4) {
    return std::nullopt;
  }
  if (in.channels != 1) {
    return in;
  }
  Image out(in.width, in.height, 3);
  const std::size_t count = static_cast<std::size_t>(in.width) * in.height;
  for (std::size_t i = 0; i < count; ++i) {
    out.pixels[i * 3] = out.pixels[i * 3 + 1] = out.pixels[i * 3 + 2] = in.pixels[i];
  }
  return out;
}

}  // namespace

std::optional<Image> convertToSrgb(const DecodedPixels& decoded) {
  const Image& in = decoded.pixels;
  if (decoded.iccProfile.empty()) {
    return deviceToRgb(decoded);
  }
  cmsSetLogErrorHandler(ignoreLcmsError);
  ProfilePtr source(cmsOpenProfileFromMem(decoded.iccProfile.data(),
                                          static_cast<cmsUInt32Number>(decoded.iccProfile.size())));
  ProfilePtr srgb(cmsCreate_sRGBProfile());
  if (!source || !srgb) {
    return deviceToRgb(decoded);
  }
  cmsColorSpaceSignature space = cmsGetColorSpace(source.get());
  cmsUInt32Number inputType = 0;
  if (in.channels == 1 && space == cmsSigGrayData) {
    inputType = TYPE_GRAY_8;
  } else if (in.channels == 3 && space == cmsSigRgbData) {
    inputType = TYPE_RGB_8;
  } else if (in.channels == 4 && space == cmsSigCmykData) {
    inputType = decoded.invertedCmyk ? TYPE_CMYK_8_REV : TYPE_CMYK_8;
  } else {
    return deviceToRgb(decoded);
  }
  TransformPtr transform(
      cmsCreateTransform(source.get(), inputType, srgb.get(), TYPE_RGB_8, INTENT_PERCEPTUAL, 0));
  if (!transform) {
    return deviceToRgb(decoded);
  }
  Image out(in.width, in.height, 3);
  for (int y = 0; y < in.height; ++y) {
    cmsDoTransform(transform.get(), in.pixels.data() + static_cast<std::size_t>(y) * in.stride(),
                   out.pixels.data() + static_cast<std::size_t>(y) * out.stride(),
                   static_cast<cmsUInt32Number>(in.width));
  }
  return out;
}

}  // namespace thumbtool
