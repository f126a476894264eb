// Feeds arbitrary bytes to the EXIF orientation reader as one APP1 payload in a heap buffer of
// exactly its length, so AddressSanitizer reports any read past the end. The answer is always
// one of the eight orientations.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "thumbtool/ExifOrientation.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<unsigned char[]> payload(new unsigned char[size]);
  if (size > 0) {
    std::memcpy(payload.get(), data, size);
  }
  int orientation = thumbtool::exifOrientation(payload.get(), size);
  if (orientation < 1 || orientation > 8) {
    __builtin_trap();
  }
  return 0;
}
