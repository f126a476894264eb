#include "JpegThumbnail.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// Largest JPEG file read at all; larger ones go to the general image stack, which streams.
constexpr off_t kMaxFileBytes = off_t{512} << 20;

// The whole file read into memory with a few large reads. Not mapped: a file truncated by its
// writer while mapped would kill the process with SIGBUS.
std::vector<unsigned char> readWholeFile(const std::string& path) {
  std::vector<unsigned char> data;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return data;
  }
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
      info.st_size <= kMaxFileBytes) {
    data.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t n = read(fd, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    data.resize(done);  // a file that shrank meanwhile is decoded as far as it goes
  }
  close(fd);
  return data;
}

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
bool decode(const std::vector<unsigned char>& file, Box box, DecodeResult& result) {
  jpeg_decompress_struct info{};
  JpegErrors errors{};
  info.err = installJpegErrors(errors);
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  info.mem->max_memory_to_use = kMaxDecoderMemory;
  jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
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
  std::vector<unsigned char> file = readWholeFile(path);
  if (file.empty()) {
    return std::nullopt;
  }
  DecodeResult result;
  if (!decode(file, box, result)) {
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
