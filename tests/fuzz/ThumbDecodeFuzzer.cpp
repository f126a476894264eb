// Feeds arbitrary bytes to thumbtool's in-process decoding entry, as the render worker runs it
// on a JPEG: the first two bytes choose the box (1 to 256 pixels a side), the rest is the
// document, read through a stdio stream over the bytes. A decoded image must fit the box and
// encode; a refusal is a valid answer. The limits are smaller than thumbtool's so that each
// input stays fast, but exercise the same checks.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "thumbtool/Encoders.hpp"
#include "thumbtool/JpegThumbnail.hpp"

namespace {

void check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  thumbtool::Box box{data[0] % 256 + 1, data[1] % 256 + 1};
  std::FILE* document = fmemopen(const_cast<std::uint8_t*>(data + 2), size - 2, "rb");
  if (document == nullptr) {
    return 0;
  }
  thumbtool::JpegLimits limits;
  limits.maxPixels = 1LL << 22;
  limits.maxMemory = 64L << 20;
  thumbtool::JpegThumbnail result = thumbtool::jpegThumbnail(document, box, limits);
  std::fclose(document);
  check(result.image.has_value() == (result.status == thumbtool::JpegStatus::decoded));
  if (result.image) {
    const thumbtool::Image& image = *result.image;
    check(image.width >= 1 && image.height >= 1);
    check(image.width <= box.width && image.height <= box.height);
    check(image.channels == 3);
    check(image.pixels.size() == static_cast<std::size_t>(image.width) * image.height * 3);
    check(thumbtool::encodePng(image).has_value());
  }
  return 0;
}
