#include "Modules.hpp"

#include <dlfcn.h>
#include <unistd.h>

#ifndef THUMBTOOL_MODULE_DIR
#define THUMBTOOL_MODULE_DIR "/usr/local/lib/thumbtool"
#endif
// The module folder relative to the folder of the installed executable, so that a tree installed
// into (or moved to) another prefix finds its own modules rather than those of the configured one.
#ifndef THUMBTOOL_MODULE_DIR_FROM_BIN
#define THUMBTOOL_MODULE_DIR_FROM_BIN "../lib/thumbtool"
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

// Looks beside the executable first (the build tree), then in the module folder of the prefix the
// executable was installed into, then in the one it was configured for. The handle stays open for
// the rest of the process: the module's code is in use until exit.
void* entryPoint(const char* file, const char* symbol) {
  const std::string programDirectory = executableDirectory();
  const std::string installedBeside =
      programDirectory.empty() ? std::string() : programDirectory + "/" + THUMBTOOL_MODULE_DIR_FROM_BIN;
  for (const std::string& directory :
       {programDirectory, installedBeside, std::string(THUMBTOOL_MODULE_DIR)}) {
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

}  // namespace

const PdfModule* pdfModule() {
  static const PdfModule* module = loadModule<PdfModule>(kPdfModuleFile, kPdfModuleSymbol);
  return module;
}

const VipsModule* vipsModule() {
  static const VipsModule* module = loadModule<VipsModule>(kVipsModuleFile, kVipsModuleSymbol);
  return module;
}

}  // namespace thumbtool
