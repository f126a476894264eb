#include "Preview.hpp"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "JpegThumbnail.hpp"
#include "Modules.hpp"

#ifndef THUMBTOOL_MODULE_DIR
#define THUMBTOOL_MODULE_DIR "/usr/local/lib/thumbtool"
#endif

namespace thumbtool {

namespace {

std::string executableDirectory() {
  std::vector<char> buffer(4096);
  ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) {
    return {};
  }
  std::string path(buffer.data(), static_cast<std::size_t>(length));
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Looks beside the executable first (the build tree), then in the installed module folder.
// The handle stays open for the rest of the process: the module's code is in use until exit.
void* entryPoint(const char* file, const char* symbol) {
  for (const std::string& directory : {executableDirectory(), std::string(THUMBTOOL_MODULE_DIR)}) {
    if (directory.empty()) {
      continue;
    }
    std::string path = directory + "/" + file;
    if (access(path.c_str(), R_OK) != 0) {
      continue;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) {
      return dlsym(handle, symbol);
    }
  }
  return nullptr;
}

// The module's table, or nothing when it is missing or was built for another interface.
template <typename Module>
const Module* loadModule(const char* file, const char* symbol) {
  using Entry = const Module* (*)();
  auto entry = reinterpret_cast<Entry>(entryPoint(file, symbol));
  const Module* table = entry != nullptr ? entry() : nullptr;
  return table != nullptr && table->interfaceVersion == kModuleInterfaceVersion ? table : nullptr;
}

const PdfModule* pdfModule() {
  static const PdfModule* module = loadModule<PdfModule>(kPdfModuleFile, kPdfModuleSymbol);
  return module;
}

const VipsModule* vipsModule() {
  static const VipsModule* module = loadModule<VipsModule>(kVipsModuleFile, kVipsModuleSymbol);
  return module;
}

// "%PDF-" must be within the first 1024 bytes, as PDF readers accept it.
bool looksLikePdf(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
  char head[1024];
  std::size_t length = std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  for (std::size_t i = 0; i + 5 <= length; ++i) {
    if (std::memcmp(head + i, "%PDF-", 5) == 0) {
      return true;
    }
  }
  return false;
}

// JPEG and PDF through their own decoders, without the general image stack.
std::optional<Image> fastPreview(const std::string& path, Box box) {
  // Only regular files are opened: opening a FIFO would wait for a writer forever.
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  if (looksLikeJpeg(path)) {
    return jpegThumbnail(path, box);
  }
  if (looksLikePdf(path)) {
    const PdfModule* pdf = pdfModule();
    return pdf != nullptr ? pdf->firstPage(path, box) : std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Image> imageWithPreviewOfFileAtPath(const std::string& path, Box ofSize,
                                                  bool asIcon) {
  static_cast<void>(asIcon);
  if (path.empty()) {
    return std::nullopt;
  }
  if (auto image = fastPreview(path, ofSize)) {
    return image;
  }
  // Everything else, and whatever the fast paths could not read: the general image stack,
  // thumbnailers, a page of text, the icon.
  const VipsModule* vips = vipsModule();
  return vips != nullptr ? vips->preview(path, ofSize) : std::nullopt;
}

std::optional<Bytes> encodeImage(const Image& image, Format format) {
  switch (format) {
    case Format::png:
      return encodePng(image);
    case Format::jpg:
      return encodeJpeg(image);
    case Format::bmp:
      return encodeBmp(image);
    case Format::tiff:
    case Format::gif:
      break;
  }
  const VipsModule* vips = vipsModule();
  if (vips == nullptr) {
    return std::nullopt;
  }
  return vips->encode(image, format);
}

}  // namespace thumbtool
