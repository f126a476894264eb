// thumbtool-pdf.so: page 1 of a PDF through mupdf, linked in statically with its own base-14
// fonts: loading it costs a fraction of a dynamically linked renderer's start-up, and no font
// configuration is read.
extern "C" {
#include <mupdf/fitz.h>
#include <mupdf/pdf.h>
}

#include <algorithm>
#include <cmath>
#include <memory>

#include "../Modules.hpp"
#include "DescriptorStream.hpp"
#include "MemoryBudget.hpp"

namespace thumbtool {

namespace {

// mupdf's cache of decoded fonts, images and objects: one page needs little of it.
constexpr std::size_t kStoreBytes = std::size_t{32} << 20;

// Warnings and errors about malformed documents; a thumbtool run prints nothing.
void ignoreMessage(void*, const char*) {}

// The module's one context, made by prepare() (or by the first page when that did not run).
fz_context* sharedContext() {
  static fz_context* context = [] {
    fz_context* made = fz_new_context(memoryBudget(), nullptr, kStoreBytes);
    if (made != nullptr) {
      fz_set_warning_callback(made, ignoreMessage, nullptr);
      fz_set_error_callback(made, ignoreMessage, nullptr);
    }
    return made;
  }();
  return context;
}

// The page's pixels (RGB, no alpha); the area already fits the box.
Image toImage(fz_context* context, fz_pixmap* pixmap, Box box) {
  const int width = std::min(fz_pixmap_width(context, pixmap), box.width);
  const int height = std::min(fz_pixmap_height(context, pixmap), box.height);
  const std::ptrdiff_t stride = fz_pixmap_stride(context, pixmap);
  const unsigned char* samples = fz_pixmap_samples(context, pixmap);
  Image out(width, height, 3);
  for (int y = 0; y < height; ++y) {
    std::copy_n(samples + y * stride, static_cast<std::size_t>(width) * 3,
                out.pixels.data() + y * out.stride());
  }
  return out;
}

// How far rendering got, and how it failed.
struct Attempt {
  bool pageLoaded = false;
  int error = FZ_ERROR_NONE;
};

// The page's size in pixels when it is scaled to fit the box: its longer side fills it, and the
// other is rounded to the nearest pixel (vector pages may be enlarged).
fz_irect fittedArea(fz_rect bounds, Box box) {
  const float width = bounds.x1 - bounds.x0;
  const float height = bounds.y1 - bounds.y0;
  const float scale = std::min(static_cast<float>(box.width) / width,
                               static_cast<float>(box.height) / height);
  const int columns = std::clamp(static_cast<int>(std::lround(width * scale)), 1, box.width);
  const int rows = std::clamp(static_cast<int>(std::lround(height * scale)), 1, box.height);
  return fz_irect{0, 0, columns, rows};
}

// Everything mupdf is asked for happens here, between fz_try and fz_catch: its errors unwind by
// longjmp, so no C++ object with a destructor may live in this frame. The page is drawn on white,
// with its own rotation applied, stretched onto exactly the fitted area.
fz_pixmap* renderFirstPage(fz_context* context, int fd, Box box, Attempt* attempt) {
  fz_stream* stream = nullptr;
  pdf_document* document = nullptr;
  fz_page* page = nullptr;
  fz_device* device = nullptr;
  fz_pixmap* pixmap = nullptr;
  fz_var(stream);
  fz_var(document);
  fz_var(page);
  fz_var(device);
  fz_var(pixmap);
  fz_try(context) {
    stream = openDescriptorStream(context, fd);
    document = pdf_open_document_with_stream(context, stream);
    if (pdf_needs_password(context, document) || pdf_count_pages(context, document) < 1) {
      fz_throw(context, FZ_ERROR_GENERIC, "no page to show");
    }
    page = fz_load_page(context, reinterpret_cast<fz_document*>(document), 0);
    attempt->pageLoaded = true;
    fz_rect bounds = fz_bound_page(context, page);
    if (!(bounds.x1 - bounds.x0 >= 1 && bounds.y1 - bounds.y0 >= 1)) {
      fz_throw(context, FZ_ERROR_GENERIC, "empty page");
    }
    fz_irect area = fittedArea(bounds, box);
    fz_matrix placed =
        fz_concat(fz_translate(-bounds.x0, -bounds.y0),
                  fz_scale(static_cast<float>(area.x1) / (bounds.x1 - bounds.x0),
                           static_cast<float>(area.y1) / (bounds.y1 - bounds.y0)));
    pixmap = fz_new_pixmap_with_bbox(context, fz_device_rgb(context), area, nullptr, 0);
    fz_clear_pixmap_with_value(context, pixmap, 0xff);
    device = fz_new_draw_device(context, fz_identity, pixmap);
    fz_run_page(context, page, device, placed, nullptr);
    fz_close_device(context, device);
  }
  fz_always(context) {
    fz_drop_device(context, device);
    fz_drop_page(context, page);
    pdf_drop_document(context, document);
    fz_drop_stream(context, stream);
  }
  fz_catch(context) {
    attempt->error = fz_caught(context);
    fz_drop_pixmap(context, pixmap);
    pixmap = nullptr;
  }
  return pixmap;
}

// Drops a pixmap of the module's context, also when copying its pixels throws.
struct PixmapRelease {
  fz_context* context;
  void operator()(fz_pixmap* pixmap) const noexcept { fz_drop_pixmap(context, pixmap); }
};

std::optional<Image> firstPage(int fd, Box box, bool* refused) {
  fz_context* context = sharedContext();
  if (context == nullptr) {
    return std::nullopt;
  }
  Attempt attempt;
  std::unique_ptr<fz_pixmap, PixmapRelease> pixmap(renderFirstPage(context, fd, box, &attempt),
                                                   PixmapRelease{context});
  // A page that could not be drawn (an image past mupdf's limits, objects past the memory
  // budget) is not handed to another renderer: it would only be handed the same bomb. What was
  // drawn without a part that ran out of memory is not the page either. A document that could
  // not be opened at all is left to the sandboxed thumbnailers.
  *refused = (!pixmap && attempt.pageLoaded) || attempt.error == FZ_ERROR_MEMORY ||
             memoryBudgetExceeded();
  if (!pixmap || *refused || fz_pixmap_components(context, pixmap.get()) != 3) {
    return std::nullopt;
  }
  return toImage(context, pixmap.get(), box);
}

// The context, the PDF handler's tables and the fonts most documents name without embedding
// them, made while thumbtool sets up the run. They are built from trusted data in the module.
bool prepare() {
  fz_context* context = sharedContext();
  if (context == nullptr) {
    return false;
  }
  bool ok = true;
  fz_try(context) {
    for (const char* name : {"Helvetica", "Times-Roman"}) {
      fz_drop_font(context, fz_new_base14_font(context, name));
    }
  }
  fz_catch(context) { ok = false; }
  return ok;
}

const PdfModule kModule = {kModuleInterfaceVersion, prepare, firstPage};

}  // namespace

}  // namespace thumbtool

extern "C" __attribute__((visibility("default"))) const thumbtool::PdfModule* thumbtoolPdfModule() {
  return &thumbtool::kModule;
}
