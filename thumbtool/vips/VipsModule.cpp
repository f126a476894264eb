// thumbtool-vips.so: everything beyond the JPEG and PDF fast paths. Loaded only when needed,
// because libvips and its ~100 libraries cost ~80 ms and ~30 MiB before doing any work.
#include <gio/gio.h>
#include <vips/vips8>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../InputDescriptor.hpp"
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

void quieten() {
  static const bool done = [] {
    g_log_set_default_handler(dropLogMessage, nullptr);
    return true;
  }();
  static_cast<void>(done);
}

// Starts libvips (and its threads): in thumbtool itself, only after the last render worker has
// been started, since a process with threads must not fork.
bool initialised() {
  static const bool ready = [] {
    quieten();
    setenv("VIPS_WARNING", "0", 1);
    if (VIPS_INIT("thumbtool") != 0) {
      return false;
    }
    // One image per run: the operation cache would only hold memory and descriptors.
    vips_cache_set_max(0);
    vips_cache_set_max_mem(0);
    vips_cache_set_max_files(0);
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

void loadTypeDatabase() {
  quieten();
  g_free(g_content_type_guess("file", nullptr, 0, nullptr));
}

// shared-mime-info's guess from the name and the first bytes.
std::string sniffContentType(int fd, const std::string& name) {
  quieten();
  std::vector<unsigned char> head(4096);
  std::size_t length = readAt(fd, head.data(), head.size(), 0);
  return takeString(g_content_type_guess(name.c_str(), head.data(), length, nullptr));
}

std::string contentTypeFromName(const std::string& path) {
  quieten();
  return takeString(g_content_type_guess(path.c_str(), nullptr, 0, nullptr));
}

bool isText(const std::string& contentType) {
  quieten();
  return g_content_type_is_a(contentType.c_str(), "text/plain");
}

std::vector<std::string> iconNames(const std::string& contentType) {
  std::vector<std::string> names;
  if (GIcon* icon = g_content_type_get_icon(contentType.c_str())) {
    if (G_IS_THEMED_ICON(icon)) {
      for (const gchar* const* name = g_themed_icon_get_names(G_THEMED_ICON(icon));
           *name != nullptr; ++name) {
        names.emplace_back(*name);
      }
    }
    g_object_unref(icon);
  }
  std::string generic = takeString(g_content_type_get_generic_icon_name(contentType.c_str()));
  if (!generic.empty()) {
    names.push_back(generic);
  }
  // The icon of unknown data, when the type has none of its own.
  names.emplace_back("application-x-generic");
  return names;
}

std::optional<Image> icon(const std::string& contentType, Box box) {
  quieten();
  std::optional<std::string> file = iconFileFor(iconNames(contentType));
  if (!file || !initialised()) {
    return std::nullopt;
  }
  return fitImageFile(*file, box, true);
}

std::optional<Image> fitDocument(int fd, Box box, bool* refused) {
  return initialised() ? fitImageDescriptor(fd, box, refused) : std::nullopt;
}

std::optional<Image> fitPng(int fd, Box box) {
  return initialised() ? fitPngDescriptor(fd, box) : std::nullopt;
}

std::optional<Image> textPageOf(int fd, Box box) {
  return initialised() ? textPage(fd, box) : std::nullopt;
}

std::vector<ThumbnailerCommand> commandsFor(const std::string& contentType,
                                            const std::string& source, const std::string& output,
                                            int size) {
  quieten();
  try {
    return thumbnailerCommands(contentType, source, output, size);
  } catch (...) {
    return {};
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

const VipsModule kModule = {
    kModuleInterfaceVersion, loadTypeDatabase, sniffContentType, fitDocument, fitPng, textPageOf,
    contentTypeFromName,     isText,           commandsFor, icon,   encode};

}  // namespace

}  // namespace thumbtool

extern "C" __attribute__((visibility("default"))) const thumbtool::VipsModule*
thumbtoolVipsModule() {
  return &thumbtool::kModule;
}
