// The plug-in modules thumbtool loads only when a file needs them, so that a run pays the
// start-up cost of a large library (the general image stack costs ~80 ms and ~30 MiB before any
// work) only when it uses it. Both modules are built from this tree with the same compiler, so
// C++ types cross the boundary safely; each exports one C function returning its table.
#pragma once

#include <optional>
#include <string>

#include "Encoders.hpp"
#include "Image.hpp"

namespace thumbtool {

inline constexpr int kModuleInterfaceVersion = 1;

// thumbtool-pdf.so: first pages of PDF documents.
struct PdfModule {
  int interfaceVersion;
  // Page 1 rendered on white to fit the box (vector pages may be enlarged), or nothing.
  std::optional<Image> (*firstPage)(const std::string& path, Box box);
};
inline constexpr const char* kPdfModuleFile = "thumbtool-pdf.so";
inline constexpr const char* kPdfModuleSymbol = "thumbtoolPdfModule";

// thumbtool-vips.so: every other document, the fallbacks, and the TIFF and GIF encoders.
struct VipsModule {
  int interfaceVersion;
  // The image stack, then freedesktop thumbnailers, then a page of text, then the icon.
  std::optional<Image> (*preview)(const std::string& path, Box box);
  std::optional<Bytes> (*encode)(const Image& image, Format format);
};
inline constexpr const char* kVipsModuleFile = "thumbtool-vips.so";
inline constexpr const char* kVipsModuleSymbol = "thumbtoolVipsModule";

}  // namespace thumbtool
