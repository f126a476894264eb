#include "JpegThumbnail.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "ColourProfile.hpp"
#include "ExifOrientation.hpp"
#include "Pixels.hpp"

namespace thumbtool {

namespace {

struct FileClose {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

// The whole file mapped read-only: the decoder reads it in place, with no copies and no read
// calls, and the pages are faulted in at once.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return;
    }
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
      void* data = mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ,
                        MAP_PRIVATE | MAP_POPULATE, fd, 0);
      if (data != MAP_FAILED) {
        data_ = static_cast<const unsigned char*>(data);
        size_ = static_cast<std::size_t>(info.st_size);
      }
    }
    close(fd);
  }
  ~MappedFile() {
    if (data_ != nullptr) {
      munmap(const_cast<unsigned char*>(data_), size_);
    }
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

// libjpeg reports fatal errors through error_exit, which must not return: jump back to the
// decode function. Warnings (e.g. a file cut short, whose missing rows come out grey) are
// tolerated and never printed.
struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void onJpegError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
}

void onJpegMessage(j_common_ptr, int) {}

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

bool decode(const MappedFile& file, Box box, DecodeResult& result) {
  jpeg_decompress_struct info{};
  JpegErrors errors{};
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = onJpegError;
  errors.manager.emit_message = onJpegMessage;
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
  MappedFile file(path);
  if (file.data() == nullptr) {
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
