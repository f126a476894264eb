#include "Encoders.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

#include "JpegErrors.hpp"
#include "Pixels.hpp"
#include "PngWriter.hpp"

namespace thumbtool {

namespace {

// ---- JPEG

bool writeJpeg(const Image& rgb, Bytes& out) {
  jpeg_compress_struct info{};
  JpegErrors errors{};
  info.err = installJpegErrors(errors);
  unsigned char* buffer = nullptr;
  unsigned long length = 0;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &length);
  info.image_width = static_cast<JDIMENSION>(rgb.width);
  info.image_height = static_cast<JDIMENSION>(rgb.height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    // libjpeg's interface is not const-correct; it only reads the row.
    auto* row = const_cast<JSAMPLE*>(rgb.pixels.data() +
                                     static_cast<std::size_t>(info.next_scanline) * rgb.stride());
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  out.assign(buffer, buffer + length);
  std::free(buffer);
  return true;
}

void putLittleEndian(Bytes& out, std::size_t offset, unsigned long value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out[offset + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
  }
}

}  // namespace

std::optional<Bytes> encodePng(const Image& image) { return writePng(image); }

std::optional<Bytes> encodeJpeg(const Image& image) {
  Image rgb = flattenOntoWhite(image);
  Bytes out;
  // The buffer's own memory is taken over before writeJpeg's frame is left.
  if (!writeJpeg(rgb, out)) {
    return std::nullopt;
  }
  return out;
}

Bytes encodeBmp(const Image& image) {
  Image rgb = flattenOntoWhite(image);
  constexpr std::size_t kHeaderSize = 14 + 40;
  constexpr unsigned long kPixelsPerMetre = 2835;  // 72 dots per inch
  const std::size_t rowSize = (static_cast<std::size_t>(rgb.width) * 3 + 3) & ~std::size_t{3};
  const std::size_t imageSize = rowSize * static_cast<std::size_t>(rgb.height);
  Bytes out(kHeaderSize + imageSize, 0);
  out[0] = 'B';
  out[1] = 'M';
  putLittleEndian(out, 2, kHeaderSize + imageSize, 4);
  putLittleEndian(out, 10, kHeaderSize, 4);
  putLittleEndian(out, 14, 40, 4);
  putLittleEndian(out, 18, static_cast<unsigned long>(rgb.width), 4);
  putLittleEndian(out, 22, static_cast<unsigned long>(rgb.height), 4);  // positive: bottom-up
  putLittleEndian(out, 26, 1, 2);                                       // planes
  putLittleEndian(out, 28, 24, 2);                                      // bits per pixel
  putLittleEndian(out, 34, imageSize, 4);                               // BI_RGB, no compression
  putLittleEndian(out, 38, kPixelsPerMetre, 4);
  putLittleEndian(out, 42, kPixelsPerMetre, 4);
  for (int y = 0; y < rgb.height; ++y) {
    const unsigned char* in = rgb.pixels.data() + static_cast<std::size_t>(y) * rgb.stride();
    unsigned char* row =
        out.data() + kHeaderSize + static_cast<std::size_t>(rgb.height - 1 - y) * rowSize;
    for (int x = 0; x < rgb.width; ++x) {
      row[x * 3 + 0] = in[x * 3 + 2];  // stored as blue, green, red
      row[x * 3 + 1] = in[x * 3 + 1];
      row[x * 3 + 2] = in[x * 3 + 0];
    }
  }
  return out;
}

}  // namespace thumbtool
