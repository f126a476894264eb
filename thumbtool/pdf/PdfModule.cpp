// thumbtool-pdf.so: page 1 of a PDF through poppler's own rasteriser, the same one its page
// converter uses, without the general image stack's start-up cost.
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <algorithm>
#include <memory>

#include "../Modules.hpp"
#include "../Pixels.hpp"

namespace thumbtool {

namespace {

// poppler reports malformed documents through this hook; a thumbtool run prints nothing.
void ignorePopplerMessage(const std::string&, void*) {}

// Crops the renderer's bgr24 rows to at most the box (rounding may add a pixel) as RGB.
Image toRgb(const poppler::image& rendered, Box box) {
  const int width = std::min(rendered.width(), box.width);
  const int height = std::min(rendered.height(), box.height);
  Image out(width, height, 3);
  const char* data = rendered.const_data();
  const int rowBytes = rendered.bytes_per_row();
  for (int y = 0; y < height; ++y) {
    const auto* in =
        reinterpret_cast<const unsigned char*>(data + static_cast<std::ptrdiff_t>(y) * rowBytes);
    unsigned char* row = out.pixels.data() + static_cast<std::size_t>(y) * out.stride();
    for (int x = 0; x < width; ++x) {
      row[x * 3 + 0] = in[x * 3 + 2];
      row[x * 3 + 1] = in[x * 3 + 1];
      row[x * 3 + 2] = in[x * 3 + 0];
    }
  }
  return out;
}

std::optional<Image> firstPage(const std::string& path, Box box) {
  try {
    poppler::set_debug_error_function(ignorePopplerMessage, nullptr);
    std::unique_ptr<poppler::document> document(poppler::document::load_from_file(path));
    if (!document || document->is_locked() || document->pages() < 1) {
      return std::nullopt;
    }
    std::unique_ptr<poppler::page> page(document->create_page(0));
    if (!page) {
      return std::nullopt;
    }
    poppler::rectf rect = page->page_rect();
    double pageWidth = rect.width();
    double pageHeight = rect.height();
    // The renderer applies the page's own rotation; the box must fit the rotated page.
    auto orientation = page->orientation();
    if (orientation == poppler::page::landscape || orientation == poppler::page::seascape) {
      std::swap(pageWidth, pageHeight);
    }
    if (!(pageWidth >= 1 && pageHeight >= 1)) {
      return std::nullopt;
    }
    // Vector pages are drawn to fit the box, larger or smaller than their nominal size.
    double scale = std::min(box.width / pageWidth, box.height / pageHeight);
    poppler::page_renderer renderer;
    renderer.set_render_hints(poppler::page_renderer::antialiasing |
                              poppler::page_renderer::text_antialiasing);
    renderer.set_image_format(poppler::image::format_bgr24);
    poppler::image rendered = renderer.render_page(page.get(), 72.0 * scale, 72.0 * scale);
    if (!rendered.is_valid() || rendered.width() < 1 || rendered.height() < 1) {
      return std::nullopt;
    }
    return toRgb(rendered, box);
  } catch (...) {
    return std::nullopt;
  }
}

const PdfModule kModule = {kModuleInterfaceVersion, firstPage};

}  // namespace

}  // namespace thumbtool

extern "C" __attribute__((visibility("default"))) const thumbtool::PdfModule* thumbtoolPdfModule() {
  return &thumbtool::kModule;
}
