// The DC-only decode at 1/8 scale gives libjpeg's own pixels for that scale (plain upsampling),
// on files libjpeg itself writes with every layout it takes, but for chroma halved both ways,
// which it takes from DC alone and so gives within a stated bound; on damaged data it either
// still agrees with libjpeg or gives up, and a thumbnail of a file it gave up on is libjpeg's.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
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

// What the pictures show: `detailed` differs per channel and per block, so that a mixed-up
// component, a lost predictor or a misplaced block shows, under noise that gives the blocks AC
// coefficients; `camera` has that detail in brightness only, under colour that changes slowly
// as in photographs; `neutral` is grey stored as colour, whose chroma has no AC coefficients.
enum class Content { detailed, camera, neutral };

struct Layout {
  const char* name;
  JpegEncoding encoding;
  Content content = Content::detailed;
};

int detail(int x, int y, int c, unsigned& noise) {
  noise = noise * 1103515245u + 12345u;
  const int base = (x * (3 + c) + y * (5 - c) + ((x / 8 + y / 8) % 3) * 40) % 256;
  return base + static_cast<int>((noise >> 16) % 32);
}

Bytes makeJpeg(const Layout& layout) {
  const JpegEncoding& encoding = layout.encoding;
  const Content content = layout.content;
  unsigned noise = 1;
  return encodeJpeg(encoding, [&encoding, &noise, content](int y, unsigned char* row) {
    for (int x = 0; x < encoding.width; ++x) {
      unsigned char* pixel = row + x * encoding.components;
      const int shared = 48 + detail(x, y, 0, noise) % 160;
      for (int c = 0; c < encoding.components; ++c) {
        // Within 45 levels of `shared`, which stays 48 levels clear of either end.
        const int tint = x * (c + 1) * 15 / encoding.width - y * (3 - c) * 15 / encoding.height;
        const int value = content == Content::detailed ? detail(x, y, c, noise) % 256
                          : content == Content::camera ? shared + tint
                                                       : shared;
        pixel[c] = static_cast<unsigned char>(value);
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

// libjpeg's 1/8 luma: the first channel of its YCbCr output. Empty when libjpeg fails.
Bytes libjpegLuma(const Bytes& file, int& width) {
  jpeg_decompress_struct info{};
  JpegErrors errors{};
  info.err = installJpegErrors(errors);
  Bytes ycc;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return {};
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&info, TRUE);
  setOneEighth(&info);
  info.out_color_space = JCS_YCbCr;
  readAllRows(&info, ycc);
  width = static_cast<int>(info.output_width);
  jpeg_destroy_decompress(&info);
  Bytes luma;
  for (std::size_t i = 0; i < ycc.size(); i += 3) {
    luma.push_back(ycc[i]);
  }
  return luma;
}

// Each chroma block's sample from its DC coefficient as libjpeg's entropy decoder reads it,
// row by row `columns` wide, for Cb and for Cr. False when libjpeg fails.
struct ChromaDc {
  int columns = 0;
  Bytes samples[2];
};

bool libjpegChromaDc(const Bytes& file, ChromaDc& chroma) {
  jpeg_decompress_struct info{};
  JpegErrors errors{};
  info.err = installJpegErrors(errors);
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&info, TRUE);
  jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&info);
  for (int c = 1; c < 3; ++c) {
    const jpeg_component_info& component = info.comp_info[c];
    chroma.columns = static_cast<int>(component.width_in_blocks);
    for (JDIMENSION row = 0; row < component.height_in_blocks; ++row) {
      JBLOCKARRAY blocks = info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&info),
                                                        coefficients[c], row, 1, FALSE);
      for (JDIMENSION column = 0; column < component.width_in_blocks; ++column) {
        chroma.samples[c - 1].push_back(
            dcSample(blocks[0][column][0], component.quant_table->quantval[0]));
      }
    }
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

// What libjpeg's 1/8 decode of a file with chroma halved both ways would be with chroma from DC
// alone: its own luma, and its own chroma coefficients replicated over the 2x2 pixels each
// block covers, turned to RGB by the decode's conversion (which the layouts libjpeg decodes
// from DC alone show to be libjpeg's). Empty when libjpeg fails.
Bytes libjpegWithDcChroma(const Bytes& file) {
  int width = 0;
  const Bytes luma = libjpegLuma(file, width);
  ChromaDc chroma;
  if (luma.empty() || !libjpegChromaDc(file, chroma)) {
    return {};
  }
  const YccToRgb colour;
  Bytes rgb(luma.size() * 3);
  for (std::size_t i = 0; i < luma.size(); ++i) {
    const std::size_t x = i % static_cast<std::size_t>(width);
    const std::size_t y = i / static_cast<std::size_t>(width);
    const std::size_t block = y / 2 * static_cast<std::size_t>(chroma.columns) + x / 2;
    if (block >= chroma.samples[0].size() || block >= chroma.samples[1].size()) {
      return {};
    }
    colour.convert(luma[i], chroma.samples[0][block], chroma.samples[1][block], &rgb[i * 3]);
  }
  return rgb;
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
         layout.encoding.lumaV == 2;
}

// Where libjpeg's chroma comes from a reduced transform rather than one sample per block (chroma
// halved both ways), the DC decode's pixels are libjpeg's luma with libjpeg's own chroma DC
// replicated over the 2x2 pixels a chroma block covers. On photograph-like colour they stay
// within kChromaLargest of libjpeg's real pixels in every channel, and within kChromaMean on
// average. Everywhere else they equal libjpeg's but for the colour conversion's rounding.
constexpr int kChromaLargest = 6;
constexpr double kChromaMean = 2.0;

void expectLibjpegs(const Layout& layout, const Bytes& file, const Bytes& got,
                    const std::string& what) {
  if (!chromaFromDc(layout)) {
    EXPECT_LE(largestDifference(got, decodeOneEighth(file, false).rows), 1) << what;
    return;
  }
  EXPECT_LE(largestDifference(got, libjpegWithDcChroma(file)), 1) << what;
}

const Layout kLayouts[] = {
    {"colour 4:4:4, sizes off the block grid", {37, 29, 3, 90, 1, 1, 0}},
    {"colour 4:4:4 at quality 100", {64, 48, 3, 100, 1, 1, 0}},
    {"colour 4:4:4 at quality 50, restart every 3 MCUs", {83, 41, 3, 50, 1, 1, 3}},
    {"colour 4:2:2, odd sizes", {45, 33, 3, 90, 2, 1, 0}},
    {"colour 4:2:2, restart every MCU", {70, 20, 3, 75, 2, 1, 1}},
    {"colour 4:4:0", {33, 47, 3, 90, 1, 2, 0}},
    {"colour 4:4:0, restart every 5 MCUs", {50, 70, 3, 50, 1, 2, 5}},
    {"camera 4:2:0 on the MCU grid", {64, 48, 3, 90, 2, 2, 0}, Content::camera},
    {"camera 4:2:0, odd output sizes", {72, 40, 3, 90, 2, 2, 0}, Content::camera},
    {"camera 4:2:0 off the block grid at quality 100", {75, 53, 3, 100, 2, 2, 0}, Content::camera},
    {"camera 4:2:0 at quality 50, restart every 3 MCUs", {97, 66, 3, 50, 2, 2, 3}, Content::camera},
    {"camera 4:2:0, restart every MCU", {40, 24, 3, 90, 2, 2, 1}, Content::camera},
    {"camera 4:2:0, one pixel", {1, 1, 3, 90, 2, 2, 0}, Content::camera},
    {"neutral 4:2:0 off the grid, restart every 4 MCUs",
     {75, 53, 3, 90, 2, 2, 4},
     Content::neutral},
    {"neutral 4:2:0 at quality 100", {48, 80, 3, 100, 2, 2, 0}, Content::neutral},
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
    expectLibjpegs(layout, file, got.rows, layout.name);
    if (chromaFromDc(layout)) {
      const Difference difference = differenceOf(got.rows, expected.rows);
      // Grey has no chroma AC coefficients to lose: there the pixels are libjpeg's own.
      const bool neutral = layout.content == Content::neutral;
      EXPECT_LE(difference.largest, neutral ? 1 : kChromaLargest) << layout.name;
      EXPECT_LE(difference.mean, kChromaMean) << layout.name;
    }
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
  expectLibjpegs(layout, damaged, got.rows, what);
}

TEST(JpegDcDecodeTest, DamagedDataGivesLibjpegsPixelsOrNothing) {
  for (const char* name :
       {"colour 4:4:4 at quality 50, restart every 3 MCUs", "colour 4:2:2, restart every MCU",
        "camera 4:2:0 at quality 50, restart every 3 MCUs",
        "neutral 4:2:0 off the grid, restart every 4 MCUs",
        "grey, restart every 7 MCUs (crossing rows)"}) {
    const Layout* found =
        std::find_if(std::begin(kLayouts), std::end(kLayouts),
                     [name](const Layout& layout) { return layout.name == std::string(name); });
    ASSERT_NE(found, std::end(kLayouts)) << name;
    const Layout& layout = *found;
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
      expectLibjpegsOrNothing(layout, cut,
                              std::string(layout.name) + ": cut at " + std::to_string(at), gaveUp,
                              cutAgreed);
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

// Chroma halved both ways comes from the DC alone only where it stays at least as fine as the
// thumbnail: a picture just over eight times the box is left to libjpeg, whose chroma is finer.
TEST(JpegDcDecodeTest, ChromaHalvedBothWaysIsNoCoarserThanTheThumbnail) {
  const Layout layout{"336x336 4:2:0, sharp colour", {336, 336, 3, 90, 2, 2, 0}};
  const Bytes file = makeJpeg(layout);
  const Decoded libjpeg = decodeOneEighth(file, false);
  ASSERT_EQ(libjpeg.outcome, Decoded::pixels);
  ASSERT_EQ(libjpeg.rows.size(), 42u * 42u * 3u);
  AreaShrinker shrinker(42, 42, 3, 40, 40);
  for (std::size_t row = 0; row < 42; ++row) {
    shrinker.addRow(libjpeg.rows.data() + row * 42 * 3);
  }
  JpegThumbnail got = thumbnailOf(file, Box{40, 40});
  ASSERT_EQ(got.status, JpegStatus::decoded);
  EXPECT_LE(largestDifference(got.image->pixels, shrinker.take().pixels), 1);
}

}  // namespace
}  // namespace thumbtool
