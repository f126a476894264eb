#include "PngWriter.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include <libdeflate.h>

#include "PngRowFilter.hpp"

namespace thumbtool {

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::size_t kChunkFraming = 4 + 4 + 4;  // length, type, CRC
constexpr std::size_t kHeaderData = 13;
constexpr std::uint32_t kMaxChunkData = 0x7fffffff;  // lengths and sides are 31-bit
// Measured on a photograph's and a text page's thumbnails in whole runs: level 1 is the fastest
// (1.5 ms against level 2's 2.7 ms on the photograph, most of it the first touch of the
// compressor's tables) and within about 1% of level 2's size on the text page.
constexpr int kCompressionLevel = 1;

struct CompressorFree {
  void operator()(libdeflate_compressor* compressor) const noexcept {
    libdeflate_free_compressor(compressor);
  }
};
using CompressorPtr = std::unique_ptr<libdeflate_compressor, CompressorFree>;

std::optional<std::size_t> multiplied(std::size_t a, std::size_t b) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    return std::nullopt;
  }
  return product;
}

std::optional<std::size_t> added(std::size_t a, std::size_t b) {
  std::size_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return std::nullopt;
  }
  return sum;
}

void putBigEndian(unsigned char* at, std::uint32_t value) {
  at[0] = static_cast<unsigned char>(value >> 24);
  at[1] = static_cast<unsigned char>(value >> 16);
  at[2] = static_cast<unsigned char>(value >> 8);
  at[3] = static_cast<unsigned char>(value);
}

// The chunk at `chunk` has its data in place from chunk + 8: writes its length and type before
// it and the CRC of type and data after it. Returns where the next chunk starts.
unsigned char* sealChunk(unsigned char* chunk, const char (&type)[5], std::uint32_t dataLength) {
  putBigEndian(chunk, dataLength);
  std::memcpy(chunk + 4, type, 4);
  unsigned char* end = chunk + 8 + dataLength;
  putBigEndian(end, libdeflate_crc32(0, chunk + 4, 4 + std::size_t{dataLength}));
  return end + 4;
}

unsigned char* putHeader(unsigned char* chunk, const Image& image) {
  unsigned char* data = chunk + 8;
  putBigEndian(data, static_cast<std::uint32_t>(image.width));
  putBigEndian(data + 4, static_cast<std::uint32_t>(image.height));
  data[8] = 8;                         // bits per channel
  data[9] = image.hasAlpha() ? 6 : 2;  // truecolour with alpha, or without
  data[10] = 0;                        // deflate
  data[11] = 0;                        // the five adaptive predictors
  data[12] = 0;                        // not interlaced
  return sealChunk(chunk, "IHDR", kHeaderData);
}

// The size of every row with its predictor byte, once the image is known to be sound.
std::optional<std::size_t> filteredSizeOf(const Image& image) {
  if (image.width < 1 || image.height < 1 || (image.channels != 3 && image.channels != 4) ||
      static_cast<std::uint64_t>(image.width) > kMaxChunkData ||
      static_cast<std::uint64_t>(image.height) > kMaxChunkData) {
    return std::nullopt;
  }
  const auto rowLength =
      multiplied(static_cast<std::size_t>(image.width), static_cast<std::size_t>(image.channels));
  const auto pixelBytes =
      rowLength ? multiplied(*rowLength, static_cast<std::size_t>(image.height)) : std::nullopt;
  if (!pixelBytes || image.pixels.size() < *pixelBytes) {
    return std::nullopt;
  }
  const auto filteredRow = added(*rowLength, 1);
  return filteredRow ? multiplied(*filteredRow, static_cast<std::size_t>(image.height))
                     : std::nullopt;
}

std::optional<Bytes> encode(const Image& image, std::size_t filteredSize) {
  CompressorPtr compressor(libdeflate_alloc_compressor(kCompressionLevel));
  if (compressor == nullptr) {
    return std::nullopt;
  }
  // Neither buffer is cleared first: each is written before it is read, and the stream's is
  // touched only as far as the stream reaches (a large image's bound is nearly its size again).
  auto filtered = std::make_unique_for_overwrite<unsigned char[]>(filteredSize);
  filterRows(image, filtered.get());
  const std::size_t bound = libdeflate_zlib_compress_bound(compressor.get(), filteredSize);
  auto stream = std::make_unique_for_overwrite<unsigned char[]>(bound);
  // 0: the stream did not fit, which the bound rules out; refuse rather than write a stub.
  const std::size_t streamSize =
      libdeflate_zlib_compress(compressor.get(), filtered.get(), filteredSize, stream.get(), bound);
  if (streamSize == 0 || streamSize > kMaxChunkData) {
    return std::nullopt;
  }
  filtered.reset();
  constexpr std::size_t kFixed = sizeof kSignature + 3 * kChunkFraming + kHeaderData;
  Bytes out(kFixed + streamSize);
  std::memcpy(out.data(), kSignature, sizeof kSignature);
  unsigned char* imageData = putHeader(out.data() + sizeof kSignature, image);
  std::memcpy(imageData + 8, stream.get(), streamSize);
  unsigned char* end = sealChunk(imageData, "IDAT", static_cast<std::uint32_t>(streamSize));
  sealChunk(end, "IEND", 0);
  return out;
}

}  // namespace

std::optional<Bytes> writePng(const Image& image) {
  const std::optional<std::size_t> filteredSize = filteredSizeOf(image);
  if (!filteredSize) {
    return std::nullopt;
  }
  try {
    return encode(image, *filteredSize);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace thumbtool
