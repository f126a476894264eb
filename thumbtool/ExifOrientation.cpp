#include "ExifOrientation.hpp"

#include <cstdint>
#include <cstring>

namespace thumbtool {

namespace {

// Reads TIFF integers in the byte order the header declares; out-of-range reads give nothing.
class TiffReader {
 public:
  TiffReader(const unsigned char* data, std::size_t size, bool bigEndian)
      : data_(data), size_(size), bigEndian_(bigEndian) {}

  bool read16(std::size_t offset, std::uint16_t& value) const {
    if (offset > size_ || size_ - offset < 2) {
      return false;
    }
    const unsigned char* p = data_ + offset;
    value = bigEndian_ ? static_cast<std::uint16_t>(p[0] << 8 | p[1])
                       : static_cast<std::uint16_t>(p[1] << 8 | p[0]);
    return true;
  }

  bool read32(std::size_t offset, std::uint32_t& value) const {
    std::uint16_t first = 0;
    std::uint16_t second = 0;
    if (!read16(offset, first) || !read16(offset + 2, second)) {
      return false;
    }
    value =
        bigEndian_ ? (std::uint32_t{first} << 16 | second) : (std::uint32_t{second} << 16 | first);
    return true;
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  bool bigEndian_;
};

constexpr std::uint16_t kOrientationTag = 0x0112;
constexpr std::uint16_t kShortType = 3;

}  // namespace

int exifOrientation(const unsigned char* data, std::size_t size) {
  static const unsigned char kExifHeader[] = {'E', 'x', 'i', 'f', 0, 0};
  if (data == nullptr || size < sizeof kExifHeader + 8 ||
      std::memcmp(data, kExifHeader, sizeof kExifHeader) != 0) {
    return 1;
  }
  const unsigned char* tiff = data + sizeof kExifHeader;
  std::size_t tiffSize = size - sizeof kExifHeader;
  bool bigEndian = false;
  if (tiff[0] == 'M' && tiff[1] == 'M') {
    bigEndian = true;
  } else if (!(tiff[0] == 'I' && tiff[1] == 'I')) {
    return 1;
  }
  TiffReader reader(tiff, tiffSize, bigEndian);
  std::uint16_t magic = 0;
  std::uint32_t ifdOffset = 0;
  std::uint16_t entries = 0;
  if (!reader.read16(2, magic) || magic != 42 || !reader.read32(4, ifdOffset) ||
      !reader.read16(ifdOffset, entries)) {
    return 1;
  }
  for (std::uint32_t i = 0; i < entries; ++i) {
    std::size_t entry = std::size_t{ifdOffset} + 2 + std::size_t{i} * 12;
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint16_t value = 0;
    if (!reader.read16(entry, tag)) {
      return 1;
    }
    if (tag != kOrientationTag) {
      continue;
    }
    if (!reader.read16(entry + 2, type) || type != kShortType || !reader.read16(entry + 8, value)) {
      return 1;
    }
    return value >= 1 && value <= 8 ? value : 1;
  }
  return 1;
}

}  // namespace thumbtool
