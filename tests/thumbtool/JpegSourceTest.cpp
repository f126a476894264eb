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
#include "JpegTestFiles.hpp"

namespace thumbtool {
namespace {

// A 96x64 colour JPEG with a long comment first, which the decoder skips. The comment is made of
// end-of-image markers: a reader that lands inside it ends there.
Bytes sampleJpeg() {
  std::vector<unsigned char> comment(3000, 0xFF);
  for (std::size_t i = 1; i < comment.size(); i += 2) {
    comment[i] = JPEG_EOI;
  }
  return encodeJpeg(
      {96, 64},
      [](int y, unsigned char* row) {
        for (std::size_t i = 0; i < 96 * 3; ++i) {
          row[i] = static_cast<unsigned char>((i * 7 + static_cast<std::size_t>(y) * 13) & 0xff);
        }
      },
      [&comment](j_compress_ptr info) {
        jpeg_write_marker(info, JPEG_COM, comment.data(), static_cast<unsigned>(comment.size()));
      });
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
  readAllRows(&info, pixels);
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
