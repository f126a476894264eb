// Conversions between libvips images and thumbtool's pixels (thumbtool-vips.so only).
#pragma once

#include <vips/vips8>

#include <optional>
#include <string>

#include "../Image.hpp"

namespace thumbtool {

// 8-bit sRGB, 3 or 4 channels, fully computed in memory. Throws vips::VError on failure.
Image toImage(vips::VImage image);

vips::VImage fromImage(const Image& image);

// A file libvips can load, shrunk (and, when enlarge is set, grown) to fit the box; an embedded
// colour profile is converted to sRGB. Nothing when libvips cannot read the file, or when its
// header breaks a limit (more than kMaxSourcePixels, or an interlaced image too large to decode
// whole): then *refused is set, if given.
std::optional<Image> fitImageFile(const std::string& path, Box box, bool enlarge,
                                  bool* refused = nullptr);

// The same for the open document: by its /proc/self/fd name where that may be opened, else
// through the descriptor itself (then loaders that need a name cannot be used).
std::optional<Image> fitImageDescriptor(int fd, Box box, bool* refused);

// A PNG (and nothing else) read from the open descriptor, shrunk to fit the box; the descriptor
// stays open. Nothing when it is not a readable PNG or is larger than kMaxSourcePixels.
std::optional<Image> fitPngDescriptor(int fd, Box box);

}  // namespace thumbtool
