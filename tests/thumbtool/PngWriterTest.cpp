// thumbtool's PNG files decode, through libpng, to exactly the pixels they were made from, for
// images whose rows call for each of the five predictors; malformed images are refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <libdeflate.h>
#include <png.h>

#include "Encoders.hpp"

namespace thumbtool {
namespace {

using Sample = std::function<int(int x, int y, int channel)>;

Image makeImage(int width, int height, int channels, const Sample& sample) {
  Image image(width, height, channels);
  std::size_t i = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        image.pixels[i++] = static_cast<unsigned char>(sample(x, y, c));
      }
    }
  }
  return image;
}

Image noise(int width, int height, int channels, unsigned seed) {
  std::mt19937 random(seed);
  return makeImage(width, height, channels, [&](int, int, int) { return random() & 0xFF; });
}

// Each byte is what the Paeth predictor makes of its neighbours, plus a random step half the
// time: rows that choose that predictor, with ties between its candidates.
Image paethTexture(int width, int height) {
  std::mt19937 random(11);
  Image image(width, height, 3);
  const std::size_t stride = image.stride();
  for (std::size_t i = 0; i < image.pixels.size(); ++i) {
    const bool hasLeft = i % stride >= 3;
    const int a = hasLeft ? image.pixels[i - 3] : 0;
    const int b = i >= stride ? image.pixels[i - stride] : 0;
    const int c = hasLeft && i >= stride ? image.pixels[i - stride - 3] : 0;
    const int p = a + b - c;
    const int pa = std::abs(p - a);
    const int pb = std::abs(p - b);
    const int pc = std::abs(p - c);
    const int predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    const int step = random() % 2 == 0 ? static_cast<int>(random() % 9) * 13 : 0;
    image.pixels[i] = static_cast<unsigned char>(predicted + step);
  }
  return image;
}

struct Case {
  std::string name;
  Image image;
};

std::vector<Case> cases() {
  return {
      {"flat colour", makeImage(40, 30, 3, [](int, int, int c) { return 60 + 70 * c; })},
      {"horizontal gradient", makeImage(64, 16, 3, [](int x, int, int c) { return x * 4 + c; })},
      {"diagonal gradient",
       makeImage(50, 40, 3, [](int x, int y, int c) { return x * 3 + y * 5 - c; })},
      {"noise", noise(37, 23, 3, 1)},
      {"Paeth texture", paethTexture(64, 48)},
      {"alpha varying", makeImage(33, 17, 4,
                                  [](int x, int y, int c) {
                                    return c == 3 ? (x * y * 7) & 0xFF : x * 7 + y * 3 * c;
                                  })},
      {"noise with alpha", noise(19, 11, 4, 2)},
      {"one pixel", makeImage(1, 1, 4, [](int, int, int c) { return 250 - 40 * c; })},
      {"one wide row", makeImage(5000, 1, 3, [](int x, int, int c) { return (x * x + c) >> 3; })},
      {"odd width",
       makeImage(101, 9, 3, [](int x, int y, int c) { return (x * 13 + y * y + c * 50) % 251; })},
  };
}

struct Chunks {
  std::vector<std::string> types;
  std::vector<unsigned char> imageData;
};

std::uint32_t bigEndian(const unsigned char* at) {
  return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
         at[3];
}

Chunks chunksOf(const std::vector<unsigned char>& file) {
  Chunks chunks;
  for (std::size_t at = 8; at + 12 <= file.size();) {
    const std::uint32_t length = bigEndian(&file[at]);
    chunks.types.emplace_back(reinterpret_cast<const char*>(&file[at + 4]), 4);
    if (chunks.types.back() == "IDAT" && at + 12 + length <= file.size()) {
      chunks.imageData.insert(chunks.imageData.end(), &file[at + 8], &file[at + 8 + length]);
    }
    at += 12 + std::size_t{length};
  }
  return chunks;
}

// The predictor byte of every row, read back from the image data.
std::set<int> predictorsUsed(const Chunks& chunks, const Image& image) {
  const std::size_t rowLength = image.stride() + 1;
  std::vector<unsigned char> rows(rowLength * static_cast<std::size_t>(image.height));
  const std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> inflater(
      libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
  if (inflater == nullptr) {
    ADD_FAILURE() << "no decompressor";
    return {};
  }
  const libdeflate_result result =
      libdeflate_zlib_decompress(inflater.get(), chunks.imageData.data(), chunks.imageData.size(),
                                 rows.data(), rows.size(), nullptr);
  EXPECT_EQ(result, LIBDEFLATE_SUCCESS);
  std::set<int> used;
  for (std::size_t at = 0; at < rows.size(); at += rowLength) {
    used.insert(rows[at]);
  }
  return used;
}

std::optional<std::vector<unsigned char>> decode(const std::vector<unsigned char>& file,
                                                 const Image& expected) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, file.data(), file.size())) {
    ADD_FAILURE() << png.message;
    return std::nullopt;
  }
  EXPECT_EQ(png.width, static_cast<png_uint_32>(expected.width));
  EXPECT_EQ(png.height, static_cast<png_uint_32>(expected.height));
  EXPECT_EQ((png.format & PNG_FORMAT_FLAG_ALPHA) != 0, expected.hasAlpha());
  png.format = expected.hasAlpha() ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(png));
  if (!png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr)) {
    ADD_FAILURE() << png.message;
    return std::nullopt;
  }
  return pixels;
}

TEST(PngWriter, EveryImageDecodesToItsOwnPixels) {
  std::set<int> predictors;
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const std::optional<std::vector<unsigned char>> file = encodePng(c.image);
    ASSERT_TRUE(file.has_value());
    const Chunks chunks = chunksOf(*file);
    EXPECT_EQ(chunks.types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    const std::set<int> used = predictorsUsed(chunks, c.image);
    predictors.insert(used.begin(), used.end());
    const auto pixels = decode(*file, c.image);
    ASSERT_TRUE(pixels.has_value());
    // Compared whole first so that a mismatch names one pixel, not thousands.
    if (*pixels != c.image.pixels) {
      std::size_t i = 0;
      while ((*pixels)[i] == c.image.pixels[i]) {
        ++i;
      }
      const std::size_t stride = c.image.stride();
      ADD_FAILURE() << "first difference at row " << i / stride << ", byte " << i % stride << ": "
                    << int{(*pixels)[i]} << " instead of " << int{c.image.pixels[i]};
    }
  }
  // Otherwise a wrong predictor could go unnoticed because no row chose it.
  EXPECT_EQ(predictors, (std::set<int>{0, 1, 2, 3, 4}));
}

TEST(PngWriter, MalformedImagesAreRefused) {
  Image shortOfPixels(8, 8, 3);
  shortOfPixels.pixels.pop_back();
  Image twoChannels(4, 4, 3);
  twoChannels.channels = 2;
  Image noRows(4, 4, 3);
  noRows.height = 0;
  Image negativeWidth(4, 4, 3);
  negativeWidth.width = -4;
  Image oversized(4, 4, 4);
  oversized.width = 1 << 30;
  oversized.height = 1 << 30;
  const std::vector<Case> refused{{"short of pixels", shortOfPixels},
                                  {"two channels", twoChannels},
                                  {"no rows", noRows},
                                  {"negative width", negativeWidth},
                                  {"larger than its pixels", oversized}};
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(encodePng(c.image).has_value());
  }
}

}  // namespace
}  // namespace thumbtool
