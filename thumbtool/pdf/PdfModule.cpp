// thumbtool-pdf.so: page 1 of a PDF through poppler's own rasteriser, the same one its page
// converter uses, without the general image stack's start-up cost.
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "../InputDescriptor.hpp"
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

// A read-only mapping of the whole file, for a document this process may not open by name.
class MappedFile {
 public:
  explicit MappedFile(int fd) {
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_size > 0 && info.st_size <= INT_MAX) {
      void* data = mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE,
                        fd, 0);
      if (data != MAP_FAILED) {
        data_ = static_cast<const char*>(data);
        length_ = static_cast<std::size_t>(info.st_size);
      }
    }
  }
  ~MappedFile() {
    if (data_ != nullptr) {
      munmap(const_cast<char*>(data_), length_);
    }
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const char* data() const { return data_; }
  int length() const { return static_cast<int>(length_); }

 private:
  const char* data_ = nullptr;
  std::size_t length_ = 0;
};

// By name where this process may open it (poppler then reads only what it needs), else from a
// mapping that must outlive the document.
std::unique_ptr<poppler::document> loadDocument(int fd, std::unique_ptr<MappedFile>& mapping) {
  if (std::optional<std::string> path = openablePath(fd)) {
    return std::unique_ptr<poppler::document>(poppler::document::load_from_file(*path));
  }
  mapping = std::make_unique<MappedFile>(fd);
  if (mapping->data() == nullptr) {
    return nullptr;
  }
  return std::unique_ptr<poppler::document>(
      poppler::document::load_from_raw_data(mapping->data(), mapping->length()));
}

std::optional<Image> firstPage(int fd, Box box) {
  try {
    poppler::set_debug_error_function(ignorePopplerMessage, nullptr);
    std::unique_ptr<MappedFile> mapping;
    std::unique_ptr<poppler::document> document = loadDocument(fd, mapping);
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

// poppler builds its global tables with the first open document and drops them with the last
// one; a blank page kept open for the process's life builds them ahead of the real document.
// The offsets in its cross-reference table are those of its objects.
constexpr char kBlankDocument[] =
    "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
    "2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n"
    "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 1 1] >>\nendobj\n"
    "xref\n0 4\n0000000000 65535 f \n0000000009 00000 n \n0000000058 00000 n \n"
    "0000000115 00000 n \ntrailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n182\n%%EOF\n";

bool prepare() {
  try {
    poppler::set_debug_error_function(ignorePopplerMessage, nullptr);
    static const std::unique_ptr<poppler::document> held(poppler::document::load_from_raw_data(
        kBlankDocument, static_cast<int>(sizeof kBlankDocument - 1)));
    return held != nullptr && held->pages() == 1;
  } catch (...) {
    return false;
  }
}

const PdfModule kModule = {kModuleInterfaceVersion, prepare, firstPage};

}  // namespace

}  // namespace thumbtool

extern "C" __attribute__((visibility("default"))) const thumbtool::PdfModule* thumbtoolPdfModule() {
  return &thumbtool::kModule;
}
