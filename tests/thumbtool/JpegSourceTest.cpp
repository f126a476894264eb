// libjpeg reading through a descriptor gives the same pixels as reading the same bytes from
// memory, whatever the buffer's size against the file's markers, and for files cut short.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "JpegErrors.hpp"
#include "JpegSource.hpp"

namespace thumbtool {
namespace {

using Bytes = std::vector<unsigned char>;

// A 96x64 colour JPEG with a long comment first, which the decoder skips. The comment is made of
// end-of-image markers: a reader that lands inside it ends there.
Bytes sampleJpeg() {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long length = 0;
  jpeg_mem_dest(&info, &out, &length);
  info.image_width = 96;
  info.image_height = 64;
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_start_compress(&info, TRUE);
  std::vector<unsigned char> comment(3000, 0xFF);
  for (std::size_t i = 1; i < comment.size(); i += 2) {
    comment[i] = JPEG_EOI;
  }
  jpeg_write_marker(&info, JPEG_COM, comment.data(), static_cast<unsigned>(comment.size()));
  std::vector<unsigned char> row(96 * 3);
  while (info.next_scanline < info.image_height) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      row[i] = static_cast<unsigned char>((i * 7 + info.next_scanline * 13) & 0xff);
    }
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  Bytes bytes(out, out + length);
  std::free(out);
  return bytes;
}

// Every pixel, read through the source the function attaches; empty when libjpeg gave up.
template <typename Attach>
Bytes decodeWith(Attach attach) {
  jpeg_decompress_struct info{};
  JpegErrors errors{};
  info.err = installJpegErrors(errors);
  Bytes pixels;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return {};
  }
  jpeg_create_decompress(&info);
  attach(&info);
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  pixels.resize(static_cast<std::size_t>(info.output_width) * info.output_height *
                info.output_components);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = pixels.data() + static_cast<std::size_t>(info.output_scanline) *
                                       info.output_width * info.output_components;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return pixels;
}

TEST(JpegSourceTest, ReadsAsFromMemoryWhateverTheBufferAndLength) {
  const Bytes whole = sampleJpeg();
  // Whole, and cut inside its entropy-coded data (after the start-of-scan marker).
  std::size_t scan = 0;
  while (scan + 1 < whole.size() && !(whole[scan] == 0xFF && whole[scan + 1] == 0xDA)) {
    ++scan;
  }
  ASSERT_LT(scan + 1, whole.size());
  const std::size_t data = whole.size() - scan;
  for (std::size_t length : {whole.size(), scan + data / 2, scan + data / 8}) {
    Bytes bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
    Bytes expected = decodeWith([&](j_decompress_ptr info) {
      jpeg_mem_src(info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    });
    ASSERT_FALSE(expected.empty()) << length;
    int fd = memfd_create("jpeg", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    // Smaller than a marker, not a divisor of anything, one block, and the default.
    for (std::size_t buffer :
         {std::size_t{1}, std::size_t{7}, std::size_t{512}, DescriptorSource::kBufferBytes}) {
      DescriptorSource source(fd, buffer);
      Bytes got = decodeWith([&](j_decompress_ptr info) { source.attach(info); });
      EXPECT_TRUE(got == expected) << "length " << length << ", buffer " << buffer;
    }
    close(fd);
  }
}

}  // namespace
}  // namespace thumbtool
