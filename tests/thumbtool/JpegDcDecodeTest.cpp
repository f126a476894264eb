// The DC-only decode at 1/8 scale gives libjpeg's own pixels for that scale (plain upsampling),
// on files libjpeg itself writes with every layout it takes, but for chroma halved both ways,
// which it takes from DC alone and so gives within a stated bound; on damaged data it either
// still agrees with libjpeg or gives up, and a thumbnail of a file it gave up on is libjpeg's.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "JpegDcDecode.hpp"
#include "JpegErrors.hpp"
#include "JpegTestFiles.hpp"
#include "JpegThumbnail.hpp"
#include "Pixels.hpp"

namespace thumbtool {
namespace {

struct Layout {
  const char* name;
  JpegEncoding encoding;
  bool neutral = false;  // red, green and blue alike: chroma without AC coefficients
};

// Smooth shading that differs per channel and per block, so that a mixed-up component, a lost
// predictor or a misplaced block shows, under noise that gives the blocks AC coefficients.
Bytes makeJpeg(const Layout& layout) {
  const JpegEncoding& encoding = layout.encoding;
  const bool neutral = layout.neutral;
  unsigned noise = 1;
  return encodeJpeg(encoding, [&encoding, &noise, neutral](int y, unsigned char* row) {
    for (int x = 0; x < encoding.width; ++x) {
      for (int c = 0; c < encoding.components; ++c) {
        if (neutral && c > 0) {
          row[x * encoding.components + c] = row[x * encoding.components];
          continue;
        }
        noise = noise * 1103515245u + 12345u;
        const int base = (x * (3 + c) + y * (5 - c) + ((x / 8 + y / 8) % 3) * 40) % 256;
        row[x * encoding.components + c] =
            static_cast<unsigned char>((base + static_cast<int>((noise >> 16) % 32)) % 256);
      }
    }
  });
}

void setOneEighth(j_decompress_ptr info) {
  info->scale_num = 1;
  info->scale_denom = 8;
  info->do_fancy_upsampling = FALSE;
  info->dct_method = JDCT_IFAST;
  info->out_color_space = info->num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
}

// What the decode gave: every pixel, or why there are none.
struct Decoded {
  enum { pixels, notEligible, gaveUp, failed } outcome = failed;
  Bytes rows;
};

// libjpeg's own decode at 1/8, or the DC-only one; both from memory.
Decoded decodeOneEighth(const Bytes& file, bool dcOnly) {
  jpeg_decompress_struct info{};
  JpegErrors errors{};
  info.err = installJpegErrors(errors);
  Decoded result;
  DcDecode dc;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return result;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&info, TRUE);
  setOneEighth(&info);
  jpeg_calc_output_dimensions(&info);
  const std::size_t stride = static_cast<std::size_t>(info.output_width) * info.output_components;
  if (dcOnly) {
    result.outcome = Decoded::notEligible;
    if (prepareDcDecode(info, dc)) {
      RowSink sink{[](void* rows, const unsigned char* row) {
                     auto& out = *static_cast<std::pair<Bytes*, std::size_t>*>(rows);
                     out.first->insert(out.first->end(), row, row + out.second);
                   },
                   nullptr};
      std::pair<Bytes*, std::size_t> target{&result.rows, stride};
      sink.context = &target;
      const bool done = runDcDecode(&info, dc, sink);
      result.outcome = done ? Decoded::pixels : Decoded::gaveUp;
      EXPECT_TRUE(!done || result.rows.size() == stride * info.output_height);
    }
    jpeg_destroy_decompress(&info);
    return result;
  }
  readAllRows(&info, result.rows);
  jpeg_destroy_decompress(&info);
  result.outcome = Decoded::pixels;
  return result;
}

// How far apart two decodes are, channel by channel; a size mismatch counts as 256.
struct Difference {
  int largest = 0;
  double mean = 0;
};

Difference differenceOf(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size() || a.empty()) {
    return {256, 256};
  }
  Difference difference;
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const int apart = std::abs(a[i] - b[i]);
    difference.largest = std::max(difference.largest, apart);
    sum += apart;
  }
  difference.mean = sum / static_cast<double>(a.size());
  return difference;
}

int largestDifference(const Bytes& a, const Bytes& b) { return differenceOf(a, b).largest; }

bool chromaFromDc(const Layout& layout) {
  return layout.encoding.components == 3 && layout.encoding.lumaH == 2 &&
         layout.encoding.lumaV == 2 && !layout.neutral;
}

// Where libjpeg's chroma comes from its reduced transform rather than one sample per block, the
// DC decode's chroma is that transform's mean: each channel stays within kChromaLargest of
// libjpeg's and within kChromaMean on average. Everywhere else the two are equal but for the
// colour conversion's rounding. A lost predictor, a missed restart or swapped components moves
// whole blocks by far more.
constexpr int kChromaLargest = 12;
constexpr double kChromaMean = 1.0;

void expectCloseToLibjpeg(const Layout& layout, const Bytes& got, const Bytes& libjpeg,
                          const std::string& what) {
  const Difference difference = differenceOf(got, libjpeg);
  if (!chromaFromDc(layout)) {
    EXPECT_LE(difference.largest, 1) << what;
    return;
  }
  EXPECT_LE(difference.largest, kChromaLargest) << what;
  EXPECT_LE(difference.mean, kChromaMean) << what;
}

const Layout kLayouts[] = {
    {"colour 4:4:4, sizes off the block grid", {37, 29, 3, 90, 1, 1, 0}},
    {"colour 4:4:4 at quality 100", {64, 48, 3, 100, 1, 1, 0}},
    {"colour 4:4:4 at quality 50, restart every 3 MCUs", {83, 41, 3, 50, 1, 1, 3}},
    {"colour 4:2:2, odd sizes", {45, 33, 3, 90, 2, 1, 0}},
    {"colour 4:2:2, restart every MCU", {70, 20, 3, 75, 2, 1, 1}},
    {"colour 4:4:0", {33, 47, 3, 90, 1, 2, 0}},
    {"colour 4:4:0, restart every 5 MCUs", {50, 70, 3, 50, 1, 2, 5}},
    {"colour 4:2:0 on the MCU grid", {64, 48, 3, 90, 2, 2, 0}},
    {"colour 4:2:0, odd output sizes", {72, 40, 3, 90, 2, 2, 0}},
    {"colour 4:2:0 off the block grid at quality 100", {75, 53, 3, 100, 2, 2, 0}},
    {"colour 4:2:0 at quality 50, restart every 3 MCUs", {97, 66, 3, 50, 2, 2, 3}},
    {"colour 4:2:0, restart every MCU", {40, 24, 3, 90, 2, 2, 1}},
    {"colour 4:2:0, one pixel", {1, 1, 3, 90, 2, 2, 0}},
    {"neutral 4:2:0 off the grid, restart every 4 MCUs", {75, 53, 3, 90, 2, 2, 4}, true},
    {"neutral 4:2:0 at quality 100", {48, 80, 3, 100, 2, 2, 0}, true},
    {"grey", {41, 23, 1, 90, 1, 1, 0}},
    {"grey, restart every MCU", {30, 30, 1, 100, 1, 1, 1}},
    {"grey, restart every 7 MCUs (crossing rows)", {100, 27, 1, 50, 1, 1, 7}},
    {"colour one pixel", {1, 1, 3, 90, 1, 1, 0}},
    {"colour one column of blocks", {8, 200, 3, 90, 2, 1, 2}},
};

TEST(JpegDcDecodeTest, GivesLibjpegsPixelsAtOneEighth) {
  for (const Layout& layout : kLayouts) {
    const Bytes file = makeJpeg(layout);
    const Decoded expected = decodeOneEighth(file, false);
    const Decoded got = decodeOneEighth(file, true);
    ASSERT_EQ(expected.outcome, Decoded::pixels) << layout.name;
    ASSERT_EQ(got.outcome, Decoded::pixels) << layout.name;
    expectCloseToLibjpeg(layout, got.rows, expected.rows, layout.name);
  }
}

TEST(JpegDcDecodeTest, LeavesChromaOfMoreThanTwoLumaBlocksAcrossToLibjpeg) {
  const Bytes file = makeJpeg({"4:1:1", {64, 64, 3, 90, 4, 1, 0}});
  EXPECT_EQ(decodeOneEighth(file, true).outcome, Decoded::notEligible);
}

// Where the entropy-coded data begins: just after the start-of-scan segment.
std::size_t scanDataStart(const Bytes& file) {
  for (std::size_t i = 0; i + 3 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] == 0xDA) {
      return i + 2 + (static_cast<std::size_t>(file[i + 2]) << 8 | file[i + 3]);
    }
  }
  return file.size();
}

// Damaged data must either be given up on or decode as libjpeg decodes it. Counts which.
void expectLibjpegsOrNothing(const Layout& layout, const Bytes& damaged, const std::string& what,
                             int& gaveUp, int& agreed) {
  const Decoded got = decodeOneEighth(damaged, true);
  ASSERT_NE(got.outcome, Decoded::notEligible) << what;
  if (got.outcome == Decoded::gaveUp) {
    ++gaveUp;
    return;
  }
  ++agreed;
  expectCloseToLibjpeg(layout, got.rows, decodeOneEighth(damaged, false).rows, what);
}

TEST(JpegDcDecodeTest, DamagedDataGivesLibjpegsPixelsOrNothing) {
  for (const Layout& layout : {kLayouts[2], kLayouts[4], kLayouts[10], kLayouts[13], kLayouts[17]}) {
    const Bytes file = makeJpeg(layout);
    const std::size_t start = scanDataStart(file);
    ASSERT_LT(start, file.size());
    int gaveUp = 0;
    int agreed = 0;
    for (std::size_t at = start; at < file.size(); at += 3) {
      for (unsigned char value : {0x00, 0xFF, 0xD3, 0x5A}) {
        Bytes damaged = file;
        damaged[at] = value;
        expectLibjpegsOrNothing(layout, damaged,
                                std::string(layout.name) + ": byte " + std::to_string(at) +
                                    " set to " + std::to_string(value),
                                gaveUp, agreed);
      }
      // Cut short: only the end-of-image marker and the last byte's padding can go unmissed.
      Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(at));
      int cutAgreed = 0;
      expectLibjpegsOrNothing(layout, cut, std::string(layout.name) + ": cut at " + std::to_string(at),
                              gaveUp, cutAgreed);
      EXPECT_TRUE(cutAgreed == 0 || at + 3 >= file.size()) << layout.name << ": cut at " << at;
    }
    // Both kinds happen, or the table proves little.
    EXPECT_GT(gaveUp, 0) << layout.name;
    EXPECT_GT(agreed, 0) << layout.name;
  }
}

// thumbtool's own thumbnail of the file, read through a descriptor.
JpegThumbnail thumbnailOf(const Bytes& file, Box box) {
  int fd = memfd_create("jpeg", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, file.data(), file.size()), static_cast<ssize_t>(file.size()));
  JpegThumbnail thumbnail = jpegThumbnail(fd, box);
  close(fd);
  return thumbnail;
}

TEST(JpegDcDecodeTest, ThumbnailOfAFileItGivesUpOnIsLibjpegs) {
  const Layout layout{"320x240 4:4:4, restart every 4 MCUs", {320, 240, 3, 90, 1, 1, 4}};
  const Bytes file = makeJpeg(layout);
  const std::size_t start = scanDataStart(file);
  Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>((start + file.size()) / 2));
  Bytes garbage = file;
  for (std::size_t i = (start + file.size()) / 3; i < (start + file.size()) / 3 + 40; ++i) {
    garbage[i] = static_cast<unsigned char>(i * 37);
  }
  Bytes wrongRestart = file;
  for (std::size_t i = start; i + 1 < wrongRestart.size(); ++i) {
    if (wrongRestart[i] == 0xFF && wrongRestart[i + 1] == 0xD2) {
      wrongRestart[i + 1] = 0xD5;
      break;
    }
  }
  // A comment between the scan and the end of the image is for libjpeg to read.
  Bytes commentAfterScan(file.begin(), file.end() - 2);
  commentAfterScan.insert(commentAfterScan.end(), {0xFF, 0xFE, 0x00, 0x04, 'h', 'i', 0xFF, 0xD9});
  ASSERT_EQ(decodeOneEighth(file, true).outcome, Decoded::pixels);
  ASSERT_EQ(decodeOneEighth(commentAfterScan, true).outcome, Decoded::gaveUp);
  ASSERT_EQ(decodeOneEighth(cut, true).outcome, Decoded::gaveUp);
  ASSERT_EQ(decodeOneEighth(wrongRestart, true).outcome, Decoded::gaveUp);
  for (const Bytes* bytes : std::initializer_list<const Bytes*>{&file, &cut, &garbage,
                                                                &wrongRestart, &commentAfterScan}) {
    // At 40x30 the decoder scales by 1/8, so the DC-only decode is tried first.
    JpegThumbnail got = thumbnailOf(*bytes, Box{40, 40});
    ASSERT_EQ(got.status, JpegStatus::decoded);
    const Decoded libjpeg = decodeOneEighth(*bytes, false);
    ASSERT_EQ(libjpeg.outcome, Decoded::pixels);
    AreaShrinker shrinker(40, 30, 3, 40, 30);
    for (std::size_t row = 0; row < 30; ++row) {
      shrinker.addRow(libjpeg.rows.data() + row * 40 * 3);
    }
    EXPECT_LE(largestDifference(got.image->pixels, shrinker.take().pixels), 1)
        << "file of " << bytes->size() << " bytes";
  }
}

}  // namespace
}  // namespace thumbtool
