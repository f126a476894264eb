#include "JpegThumbnail.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "ColourProfile.hpp"
#include "ExifOrientation.hpp"
#include "JpegErrors.hpp"
#include "Pixels.hpp"

namespace thumbtool {

namespace {

struct FileClose {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

constexpr std::size_t kReadBufferBytes = 256 * 1024;

// Memory libjpeg may take for one image (progressive files keep every coefficient).
constexpr long kMaxDecoderMemory = 1L << 30;

// Everything the decode leaves behind, kept in one place so that no C++ object is created
// between setjmp and a possible longjmp.
struct DecodeResult {
  DecodedPixels decoded;
  int orientation = 1;
  int targetWidth = 0;
  int targetHeight = 0;
};

// Warnings (a file cut short: its missing rows come out grey) are tolerated.
bool decode(std::FILE* file, Box box, DecodeResult& result) {
  jpeg_decompress_struct info{};
  JpegErrors errors{};
  info.err = installJpegErrors(errors);
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  info.mem->max_memory_to_use = kMaxDecoderMemory;
  jpeg_stdio_src(&info, file);
  jpeg_save_markers(&info, JPEG_APP0 + 1, 0xffff);
  jpeg_save_markers(&info, JPEG_APP0 + 2, 0xffff);
  jpeg_read_header(&info, TRUE);
  if (static_cast<long long>(info.image_width) * info.image_height > kMaxSourcePixels) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  for (jpeg_saved_marker_ptr marker = info.marker_list; marker != nullptr; marker = marker->next) {
    if (marker->marker == JPEG_APP0 + 1) {
      result.orientation = exifOrientation(marker->data, marker->data_length);
      break;
    }
  }
  // No libjpeg call (and so no jump) happens between reading the profile and freeing it.
  JOCTET* icc = nullptr;
  unsigned iccLength = 0;
  if (jpeg_read_icc_profile(&info, &icc, &iccLength) && icc != nullptr) {
    result.decoded.iccProfile.assign(icc, icc + iccLength);
  }
  std::free(icc);
  // CMYK without a profile needs a default press profile for faithful colours; the general
  // image stack has one.
  bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  if (cmyk && result.decoded.iccProfile.empty()) {
    jpeg_destroy_decompress(&info);
    return false;
  }

  const int width = static_cast<int>(info.image_width);
  const int height = static_cast<int>(info.image_height);
  const bool sideways = result.orientation >= 5;
  Box stored = sideways ? Box{box.height, box.width} : box;
  Dimensions target = fitInside(width, height, stored, false);
  // The smallest DCT scale (n/8) that still gives at least the target size, so the final step
  // only ever shrinks.
  unsigned numerator = 8;
  for (unsigned n = 1; n <= 8; ++n) {
    long long w = (static_cast<long long>(width) * n + 7) / 8;
    long long h = (static_cast<long long>(height) * n + 7) / 8;
    if (w >= target.width && h >= target.height) {
      numerator = n;
      break;
    }
  }
  info.scale_num = numerator;
  info.scale_denom = 8;
  switch (info.jpeg_color_space) {
    case JCS_GRAYSCALE:
      info.out_color_space = JCS_GRAYSCALE;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      info.out_color_space = JCS_CMYK;
      break;
    default:
      info.out_color_space = JCS_RGB;
      break;
  }
  jpeg_start_decompress(&info);
  result.decoded.pixels = Image(static_cast<int>(info.output_width),
                                static_cast<int>(info.output_height), info.output_components);
  result.decoded.invertedCmyk = info.out_color_space == JCS_CMYK && info.saw_Adobe_marker;
  Image& pixels = result.decoded.pixels;
  while (info.output_scanline < info.output_height) {
    JSAMPROW row =
        pixels.pixels.data() + static_cast<std::size_t>(info.output_scanline) * pixels.stride();
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  result.targetWidth = target.width;
  result.targetHeight = target.height;
  return true;
}

}  // namespace

bool looksLikeJpeg(const std::string& path) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  unsigned char head[3] = {};
  return file && std::fread(head, 1, sizeof head, file.get()) == sizeof head && head[0] == 0xff &&
         head[1] == 0xd8 && head[2] == 0xff;
}

std::optional<Image> jpegThumbnail(const std::string& path, Box box) {
  // libjpeg asks for 4 KiB at a time; a large stdio buffer turns that into few read calls while
  // memory stays flat (the file is never held whole; a file cut short meanwhile just ends early).
  // The buffer is declared first so that it outlives the stream.
  std::vector<char> buffer(kReadBufferBytes);
  FilePtr file(std::fopen(path.c_str(), "rbe"));
  if (!file) {
    return std::nullopt;
  }
  std::setvbuf(file.get(), buffer.data(), _IOFBF, buffer.size());
  DecodeResult result;
  if (!decode(file.get(), box, result)) {
    return std::nullopt;
  }
  Image& raw = result.decoded.pixels;
  raw = resizeArea(raw, result.targetWidth, result.targetHeight);
  std::optional<Image> srgb = convertToSrgb(result.decoded);
  if (!srgb) {
    return std::nullopt;
  }
  return applyOrientation(std::move(*srgb), result.orientation);
}

}  // namespace thumbtool
