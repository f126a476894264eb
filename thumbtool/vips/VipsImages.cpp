#include "VipsImages.hpp"

#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>

#include "../InputDescriptor.hpp"

namespace thumbtool {

using vips::VImage;
using vips::VSource;

Image toImage(VImage image) {
  if (image.interpretation() != VIPS_INTERPRETATION_sRGB || image.format() != VIPS_FORMAT_UCHAR) {
    image = image.colourspace(VIPS_INTERPRETATION_sRGB);
  }
  if (image.format() != VIPS_FORMAT_UCHAR) {
    image = image.cast(VIPS_FORMAT_UCHAR);
  }
  if (image.bands() > 4) {
    image = image.extract_band(0, VImage::option()->set("n", 4));
  } else if (image.bands() < 3) {
    // Grey with or without alpha that colourspace left alone.
    VImage grey = image.extract_band(0);
    VImage rgb = grey.bandjoin(grey).bandjoin(grey);
    image = image.bands() == 2 ? rgb.bandjoin(image.extract_band(1)) : rgb;
  }
  std::size_t size = 0;
  std::unique_ptr<void, decltype(&g_free)> memory(image.write_to_memory(&size), g_free);
  Image result(image.width(), image.height(), image.bands());
  if (size != result.pixels.size()) {
    throw vips::VError("unexpected pixel buffer size");
  }
  std::memcpy(result.pixels.data(), memory.get(), size);
  return result;
}

VImage fromImage(const Image& image) {
  return VImage::new_from_memory(const_cast<unsigned char*>(image.pixels.data()),
                                 image.pixels.size(), image.width, image.height, image.channels,
                                 VIPS_FORMAT_UCHAR)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

namespace {

// An embedded colour profile converted to sRGB, then the pixels thumbtool works with.
Image finish(VImage thumbnail) {
  if (thumbnail.get_typeof(VIPS_META_ICC_NAME) != 0 &&
      thumbnail.interpretation() != VIPS_INTERPRETATION_CMYK) {
    try {
      thumbnail = thumbnail.icc_transform("srgb", VImage::option()->set("embedded", true));
    } catch (const vips::VError&) {
      // A broken profile: keep the pixels as they are.
    }
  }
  return toImage(thumbnail);
}

// Interlaced images are decoded whole before any pixel comes out; everything else streams.
constexpr long long kMaxWholeImageBytes = 256LL << 20;

// The image stack's limits, checked on the header before any pixel is decoded.
bool tooLarge(const VImage& image) {
  long long pixels = static_cast<long long>(image.width()) * image.height();
  if (pixels > kMaxSourcePixels) {
    return true;
  }
  bool interlaced = image.get_typeof("interlaced") != 0 && image.get_int("interlaced") != 0;
  long long bytes =
      pixels * image.bands() * static_cast<long long>(vips_format_sizeof(image.format()));
  return interlaced && bytes > kMaxWholeImageBytes;
}

// The loader's header check, then the thumbnail; open makes a fresh source for each.
std::optional<Image> fitSource(const std::function<VSource()>& open, Box box, bool enlarge,
                               bool* refused) {
  try {
    VSource source = open();
    const char* loader = vips_foreign_find_load_source(source.get_source());
    if (loader == nullptr) {
      return std::nullopt;
    }
    // The loader's class name, e.g. "VipsForeignLoadSvgSource".
    bool vector =
        std::strstr(loader, "LoadSvg") != nullptr || std::strstr(loader, "LoadPdf") != nullptr;
    if (!vector) {
      VImage header = VImage::new_from_source(
          source, "", VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
      if (tooLarge(header)) {
        if (refused != nullptr) {
          *refused = true;
        }
        return std::nullopt;
      }
    }
    VImage thumbnail = VImage::thumbnail_source(
        open(), box.width,
        VImage::option()
            ->set("height", box.height)
            ->set("size", vector || enlarge ? VIPS_SIZE_BOTH : VIPS_SIZE_DOWN));
    return finish(thumbnail);
  } catch (const vips::VError&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<Image> fitImageFile(const std::string& path, Box box, bool enlarge, bool* refused) {
  // Loading from a source, not a file name: a name ending in "]" would be read as options.
  return fitSource([&] { return VSource::new_from_file(path.c_str()); }, box, enlarge, refused);
}

std::optional<Image> fitImageDescriptor(int fd, Box box, bool* refused) {
  if (std::optional<std::string> path = openablePath(fd)) {
    return fitImageFile(*path, box, false, refused);
  }
  // Some loaders need a name; the rest read the descriptor, each time from its start.
  return fitSource(
      [fd] {
        lseek(fd, 0, SEEK_SET);
        return VSource::new_from_descriptor(fd);
      },
      box, false, refused);
}

std::optional<Image> fitPngDescriptor(int fd, Box box) {
  try {
    VImage png = VImage::pngload_source(VSource::new_from_descriptor(fd),
                                        VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    if (tooLarge(png)) {
      return std::nullopt;
    }
    return finish(png.thumbnail_image(
        box.width, VImage::option()->set("height", box.height)->set("size", VIPS_SIZE_DOWN)));
  } catch (const vips::VError&) {
    return std::nullopt;
  }
}

}  // namespace thumbtool
