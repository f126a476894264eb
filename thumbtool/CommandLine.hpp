// The argument rules of the thumbtool command line.
#pragma once

#include <optional>
#include <string>

#include "Image.hpp"

namespace thumbtool {

// Leading white space, an optional sign, decimal digits up to the first other character;
// no digits gives 0; values beyond the signed 32-bit range give its nearest limit.
int intValue(const std::string& text);

// "640x480" -> {640, 480}; pieces after the second are ignored; a text without "x" uses its one
// number for both sides.
struct RequestedSize {
  int width = 200;
  int height = 200;
};
RequestedSize parseSize(const std::string& text);

// The box a requested size asks for: a side of zero or less puts no limit on that side, and
// every side is clamped to kMaxSide.
Box boxForSize(RequestedSize size);

// "png", "tiff", "bmp", "gif" or "jpg" in any letter case; anything else is absent.
std::optional<Format> formatNamed(const std::string& name);

// A leading "~" or "~/" is the home directory ($HOME, else the password database); "~user/"
// is that user's home. Anything else, and an unknown user, is returned unchanged.
std::string expandTilde(const std::string& path);

}  // namespace thumbtool
