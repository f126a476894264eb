// The plug-in modules thumbtool loads only when a file needs them, so that a run pays the
// start-up cost of a large library (the general image stack costs ~80 ms and ~30 MiB before any
// work) only when it uses it. Both modules are built from this tree with the same compiler, so
// C++ types cross the boundary safely; each exports one C function returning its table.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Encoders.hpp"
#include "Image.hpp"

namespace thumbtool {

inline constexpr int kModuleInterfaceVersion = 7;

// thumbtool-pdf.so: first pages of PDF documents. Render worker only.
struct PdfModule {
  int interfaceVersion;
  // Before the worker gives up its user or reads the document: makes the renderer's context and
  // the fonts most documents use without embedding them, from the module's own data. False when
  // they could not be made (the first document makes them then).
  bool (*prepare)();
  // Page 1 of the open document rendered on white to fit the box (vector pages may be
  // enlarged), or nothing; *refused is set when the page broke the renderer's memory budget.
  std::optional<Image> (*firstPage)(int fd, Box box, bool* refused);
};
inline constexpr const char* kPdfModuleFile = "thumbtool-pdf.so";
inline constexpr const char* kPdfModuleSymbol = "thumbtoolPdfModule";

// An external thumbnailer's command line, its field codes filled in.
using ThumbnailerCommand = std::vector<std::string>;

// thumbtool-vips.so: every other document, the fallbacks, and the TIFF and GIF encoders.
struct VipsModule {
  int interfaceVersion;

  // ---- In the render worker, before it gives up its user: reads only trusted system data.
  // Loads the MIME database the user's environment names (a worker that root started cannot
  // read root's own copy once it runs as the run's user).
  void (*loadTypeDatabase)();

  // ---- In the render worker: these read untrusted bytes, from the open document fd.
  // The content type from the file's name and first bytes (shared-mime-info): the name is the
  // one the user gave.
  std::string (*sniffContentType)(int fd, const std::string& name);
  // The general image stack's picture fitted to the box, or nothing when it cannot read the
  // file; *refused is set when the header breaks the stack's limits.
  std::optional<Image> (*fitDocument)(int fd, Box box, bool* refused);
  // A thumbnailer's picture, read as PNG and nothing else from the open descriptor, shrunk to
  // fit the box.
  std::optional<Image> (*fitPng)(int fd, Box box);
  // A page showing the first lines of a text file.
  std::optional<Image> (*textPage)(int fd, Box box);

  // ---- In thumbtool itself: these see only names, types and trusted system data.
  // The content type from the file name alone.
  std::string (*contentTypeFromName)(const std::string& path);
  bool (*isText)(const std::string& contentType);
  // The registered freedesktop thumbnailers for the type (exact matches first, then those for
  // a parent type), with %i, %u, %o and %s filled in. The program is left for the sandbox's own
  // search path to find.
  std::vector<ThumbnailerCommand> (*thumbnailerCommands)(const std::string& contentType,
                                                         const std::string& source,
                                                         const std::string& output, int size);
  // The type's icon from the freedesktop icon theme, scaled to the box.
  std::optional<Image> (*icon)(const std::string& contentType, Box box);
  std::optional<Bytes> (*encode)(const Image& image, Format format);
};
inline constexpr const char* kVipsModuleFile = "thumbtool-vips.so";
inline constexpr const char* kVipsModuleSymbol = "thumbtoolVipsModule";

// The modules, loaded on first use; nothing when missing or built for another interface.
const PdfModule* pdfModule();
const VipsModule* vipsModule();

}  // namespace thumbtool
