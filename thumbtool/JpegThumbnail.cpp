#include "JpegThumbnail.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "ColourProfile.hpp"
#include "ExifOrientation.hpp"
#include "InputDescriptor.hpp"
#include "JpegDcDecode.hpp"
#include "JpegErrors.hpp"
#include "JpegSource.hpp"
#include "Pixels.hpp"

namespace thumbtool {

namespace {

// Makes the decoder read from wherever the caller's document is.
using AttachSource = std::function<void(j_decompress_ptr)>;

// libjpeg hands the progress monitor back its own address: the limit rides along behind it.
struct ScanLimit {
  jpeg_progress_mgr manager;
  int maxScans;
};

// Called between rows while libjpeg reads scans; too many scans end the decode.
void checkScans(j_common_ptr common) {
  auto* info = reinterpret_cast<j_decompress_ptr>(common);
  const auto* limit = reinterpret_cast<const ScanLimit*>(common->progress);
  if (info->input_scan_number > limit->maxScans) {
    (*common->err->error_exit)(common);
  }
}

// The coefficients a multi-scan (progressive) file keeps for the whole image, in bytes, as
// libjpeg will allocate them. Valid once the header has been read.
long long coefficientBytes(const jpeg_decompress_struct& info) {
  if (!jpeg_has_multiple_scans(const_cast<j_decompress_ptr>(&info))) {
    return 0;
  }
  long long total = 0;
  for (int i = 0; i < info.num_components; ++i) {
    const jpeg_component_info& component = info.comp_info[i];
    long long h = component.h_samp_factor;
    long long v = component.v_samp_factor;
    long long wide = (component.width_in_blocks + h - 1) / h * h;
    long long high = (component.height_in_blocks + v - 1) / v * v;
    total += wide * high * static_cast<long long>(sizeof(JBLOCK));
  }
  return total;
}

// Everything the decode leaves behind, kept in one place so that no C++ object is created
// between setjmp and a possible longjmp.
struct DecodeResult {
  DecodedPixels decoded;  // already shrunk to fit the box
  int orientation = 1;
  // Rows are shrunk as they come, so only one of the decoder's rows is ever held.
  std::optional<AreaShrinker> shrinker;
  std::vector<JSAMPLE> row;
  DcDecode dc;
};

// How one attempt at a decode ended: with the file's answer, or with the DC-only decode having
// met something it does not handle, when the whole decode must be done again without it.
using Attempt = std::optional<JpegStatus>;

// Reads the EXIF orientation and the colour profile the header's markers carry.
void readMetadata(j_decompress_ptr info, DecodeResult& result) {
  for (jpeg_saved_marker_ptr marker = info->marker_list; marker != nullptr; marker = marker->next) {
    if (marker->marker == JPEG_APP0 + 1) {
      result.orientation = exifOrientation(marker->data, marker->data_length);
      break;
    }
  }
  // No libjpeg call (and so no jump) happens between reading the profile and freeing it.
  JOCTET* icc = nullptr;
  unsigned iccLength = 0;
  if (jpeg_read_icc_profile(info, &icc, &iccLength) && icc != nullptr) {
    result.decoded.iccProfile.assign(icc, icc + iccLength);
  }
  std::free(icc);
}

// Sets the smallest DCT scale (n/8) that still gives at least the target size, so the final
// step only ever shrinks, and the output colour space.
void chooseOutput(j_decompress_ptr info, Dimensions target) {
  const long long width = info->image_width;
  const long long height = info->image_height;
  unsigned numerator = 8;
  for (unsigned n = 1; n <= 8; ++n) {
    long long w = (width * n + 7) / 8;
    long long h = (height * n + 7) / 8;
    if (w >= target.width && h >= target.height) {
      numerator = n;
      break;
    }
  }
  info->scale_num = numerator;
  info->scale_denom = 8;
  // The picture is shrunk further after this, which hides what the smoother chroma upsampling
  // and the exact transform would add; both cost time on every pixel.
  info->do_fancy_upsampling = FALSE;
  info->dct_method = JDCT_IFAST;
  switch (info->jpeg_color_space) {
    case JCS_GRAYSCALE:
      info->out_color_space = JCS_GRAYSCALE;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      info->out_color_space = JCS_CMYK;
      break;
    default:
      info->out_color_space = JCS_RGB;
      break;
  }
}

// At 1/8 scale only each block's DC coefficient matters: reading just those skips most of the
// entropy decoding. Nothing when the file does not suit it; false when the data had an anomaly.
std::optional<bool> tryDcDecode(j_decompress_ptr info, Dimensions target, DecodeResult& result) {
  jpeg_calc_output_dimensions(info);
  if (!prepareDcDecode(*info, result.dc) ||
      !chromaDetailHidden(*info, static_cast<int>(info->output_width),
                          static_cast<int>(info->output_height), target)) {
    return std::nullopt;
  }
  result.shrinker.emplace(static_cast<int>(info->output_width),
                          static_cast<int>(info->output_height), info->output_components,
                          target.width, target.height);
  RowSink sink{[](void* shrinker, const unsigned char* row) {
                 static_cast<AreaShrinker*>(shrinker)->addRow(row);
               },
               &*result.shrinker};
  return runDcDecode(info, result.dc, sink);
}

// Warnings (a file cut short: its missing rows come out grey) are tolerated.
Attempt decode(const AttachSource& attachSource, Box box, const JpegLimits& limits, bool allowDc,
               DecodeResult& result) {
  jpeg_decompress_struct info{};
  JpegErrors errors{};
  ScanLimit scanLimit{};
  scanLimit.manager.progress_monitor = checkScans;
  scanLimit.maxScans = limits.maxScans;
  info.err = installJpegErrors(errors);
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return JpegStatus::refused;
  }
  jpeg_create_decompress(&info);
  info.mem->max_memory_to_use = limits.maxMemory;
  info.progress = &scanLimit.manager;
  attachSource(&info);
  jpeg_save_markers(&info, JPEG_APP0 + 1, 0xffff);
  jpeg_save_markers(&info, JPEG_APP0 + 2, 0xffff);
  jpeg_read_header(&info, TRUE);
  if (static_cast<long long>(info.image_width) * info.image_height > limits.maxPixels ||
      coefficientBytes(info) > limits.maxMemory) {
    jpeg_destroy_decompress(&info);
    return JpegStatus::refused;
  }
  readMetadata(&info, result);
  // CMYK without a profile needs a default press profile for faithful colours; the general
  // image stack has one. It is decoded here all the same, so that the scan limit has been
  // applied before a decoder without it sees the file.
  bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  bool needsPressProfile = cmyk && result.decoded.iccProfile.empty();

  const bool sideways = result.orientation >= 5;
  Box stored = sideways ? Box{box.height, box.width} : box;
  Dimensions target = fitInside(static_cast<int>(info.image_width),
                                static_cast<int>(info.image_height), stored, false);
  chooseOutput(&info, target);
  if (allowDc) {
    std::optional<bool> dcDecoded = tryDcDecode(&info, target, result);
    if (dcDecoded) {
      jpeg_destroy_decompress(&info);
      if (!*dcDecoded) {
        return std::nullopt;
      }
      result.decoded.pixels = result.shrinker->take();
      return JpegStatus::decoded;
    }
  }
  jpeg_start_decompress(&info);
  result.shrinker.emplace(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                          info.output_components, target.width, target.height);
  result.row.resize(static_cast<std::size_t>(info.output_width) * info.output_components);
  result.decoded.invertedCmyk = info.out_color_space == JCS_CMYK && info.saw_Adobe_marker;
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = result.row.data();
    jpeg_read_scanlines(&info, &row, 1);
    result.shrinker->addRow(result.row.data());
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  result.decoded.pixels = result.shrinker->take();
  return needsPressProfile ? JpegStatus::needsGeneralStack : JpegStatus::decoded;
}

// `rewindable`: the source can be attached again from the start, which the DC-only decode needs
// to hand a file it gave up on to libjpeg.
JpegThumbnail thumbnailFrom(const AttachSource& attachSource, Box box, const JpegLimits& limits,
                            bool rewindable) {
  DecodeResult result;
  JpegThumbnail outcome;
  Attempt attempt = decode(attachSource, box, limits, rewindable, result);
  if (!attempt) {
    // Odd files decode exactly as they would have without the DC-only decode.
    result = DecodeResult{};
    attempt = decode(attachSource, box, limits, false, result);
  }
  outcome.status = attempt.value_or(JpegStatus::refused);
  if (outcome.status != JpegStatus::decoded) {
    return outcome;
  }
  std::optional<Image> srgb = convertToSrgb(result.decoded);
  if (!srgb) {
    outcome.status = JpegStatus::refused;
    return outcome;
  }
  outcome.image = applyOrientation(std::move(*srgb), result.orientation);
  return outcome;
}

}  // namespace

bool looksLikeJpeg(int fd) {
  unsigned char head[3] = {};
  return readAt(fd, head, sizeof head, 0) == sizeof head && head[0] == 0xff && head[1] == 0xd8 &&
         head[2] == 0xff;
}

JpegThumbnail jpegThumbnail(std::FILE* file, Box box, const JpegLimits& limits) {
  const long start = std::ftell(file);
  const bool rewindable = start >= 0;
  auto attach = [file, start, rewindable](j_decompress_ptr info) {
    if (rewindable) {
      std::fseek(file, start, SEEK_SET);
    }
    jpeg_stdio_src(info, file);
  };
  return thumbnailFrom(attach, box, limits, rewindable);
}

JpegThumbnail jpegThumbnail(int fd, Box box, const JpegLimits& limits) {
  DescriptorSource source(fd);
  // Each decode starts at the file's beginning: the source reads from offset 0 when libjpeg
  // starts it.
  return thumbnailFrom([&source](j_decompress_ptr info) { source.attach(info); }, box, limits,
                       true);
}

}  // namespace thumbtool
