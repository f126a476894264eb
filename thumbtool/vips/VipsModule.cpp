// thumbtool-vips.so: everything beyond the JPEG and PDF fast paths. Loaded only when needed,
// because libvips and its ~100 libraries cost ~80 ms and ~30 MiB before doing any work.
#include <gio/gio.h>
#include <sys/stat.h>
#include <vips/vips8>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../Modules.hpp"
#include "GLibHandles.hpp"
#include "IconTheme.hpp"
#include "TextPage.hpp"
#include "Thumbnailers.hpp"
#include "VipsImages.hpp"

namespace thumbtool {

namespace {

using vips::VImage;

// Library warnings (GLib, libvips, fonts) are not thumbtool's output.
void dropLogMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

bool initialised() {
  static const bool ready = [] {
    setenv("VIPS_WARNING", "0", 1);
    g_log_set_default_handler(dropLogMessage, nullptr);
    if (VIPS_INIT("thumbtool") != 0) {
      return false;
    }
    // One image per run: the operation cache would only hold memory.
    vips_cache_set_max(0);
    // Loaders libvips has not hardened against hostile input (ImageMagick and the like) stay
    // off; such files go to the thumbnailers, which run sandboxed. SVG and PDF are wanted and
    // come from well-kept renderers (librsvg, poppler).
    vips_block_untrusted_set(TRUE);
    vips_operation_block_set("VipsForeignLoadSvg", FALSE);
    vips_operation_block_set("VipsForeignLoadPdf", FALSE);
    return true;
  }();
  return ready;
}

struct ContentType {
  std::string contentType;
  std::string mimeType;
};

// shared-mime-info's guess from the name and the first bytes; special files by their kind
// alone (reading a FIFO or a device could block or never end).
ContentType contentTypeOf(const std::string& path, const struct stat& info) {
  const char* special = nullptr;
  if (S_ISDIR(info.st_mode)) {
    special = "inode/directory";
  } else if (S_ISFIFO(info.st_mode)) {
    special = "inode/fifo";
  } else if (S_ISCHR(info.st_mode)) {
    special = "inode/chardevice";
  } else if (S_ISBLK(info.st_mode)) {
    special = "inode/blockdevice";
  } else if (S_ISSOCK(info.st_mode)) {
    special = "inode/socket";
  }
  if (special != nullptr) {
    return {special, special};
  }
  std::vector<unsigned char> head(4096);
  std::size_t length = 0;
  if (std::FILE* file = std::fopen(path.c_str(), "rbe")) {
    length = std::fread(head.data(), 1, head.size(), file);
    std::fclose(file);
  }
  std::string type = takeString(g_content_type_guess(path.c_str(), head.data(), length, nullptr));
  std::string mime = takeString(g_content_type_get_mime_type(type.c_str()));
  return {type, mime};
}

std::vector<std::string> iconNames(const ContentType& type) {
  std::vector<std::string> names;
  if (GIcon* icon = g_content_type_get_icon(type.contentType.c_str())) {
    if (G_IS_THEMED_ICON(icon)) {
      for (const gchar* const* name = g_themed_icon_get_names(G_THEMED_ICON(icon));
           *name != nullptr; ++name) {
        names.emplace_back(*name);
      }
    }
    g_object_unref(icon);
  }
  std::string generic = takeString(g_content_type_get_generic_icon_name(type.contentType.c_str()));
  if (!generic.empty()) {
    names.push_back(generic);
  }
  // The icon of unknown data, when the type has none of its own.
  names.emplace_back("application-x-generic");
  return names;
}

std::optional<Image> fileIcon(const ContentType& type, Box box) {
  std::optional<std::string> file = iconFileFor(iconNames(type));
  if (!file) {
    return std::nullopt;
  }
  return fitImageFile(*file, box, true);
}

std::optional<Image> preview(const std::string& path, Box box) {
  try {
    // A path that names nothing has neither a preview nor an icon.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !initialised()) {
      return std::nullopt;
    }
    if (S_ISREG(info.st_mode)) {
      if (auto image = fitImageFile(path, box, false)) {
        return image;
      }
    }
    ContentType type = contentTypeOf(path, info);
    if (S_ISREG(info.st_mode)) {
      if (auto image = thumbnailerPreview(path, type.mimeType, box)) {
        return image;
      }
      if (g_content_type_is_a(type.contentType.c_str(), "text/plain")) {
        if (auto image = textPage(path, box)) {
          return image;
        }
      }
    }
    return fileIcon(type, box);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<Bytes> encode(const Image& image, Format format) {
  if (!initialised()) {
    return std::nullopt;
  }
  try {
    VImage in = fromImage(image);
    VipsBlob* blob = nullptr;
    if (format == Format::tiff) {
      blob = in.tiffsave_buffer();
    } else if (format == Format::gif) {
      blob = in.gifsave_buffer();
    } else {
      return std::nullopt;
    }
    std::size_t length = 0;
    const auto* data = static_cast<const unsigned char*>(vips_blob_get(blob, &length));
    Bytes out(data, data + length);
    vips_area_unref(VIPS_AREA(blob));
    return out;
  } catch (...) {
    return std::nullopt;
  }
}

const VipsModule kModule = {kModuleInterfaceVersion, preview, encode};

}  // namespace

}  // namespace thumbtool

extern "C" __attribute__((visibility("default"))) const thumbtool::VipsModule*
thumbtoolVipsModule() {
  return &thumbtool::kModule;
}
