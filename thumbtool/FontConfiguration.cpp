#include "FontConfiguration.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

namespace thumbtool {

namespace {

// The font library by its run-time name: thumbtool itself does not link it.
constexpr const char* kFontLibrary = "libfontconfig.so.1";

using InitFunction = int (*)();
using EnableHomeFunction = int (*)(int);

// Whether root's worker may read the configuration ahead: only when the environment leaves it to
// the system's own files.
bool onlySystemConfiguration() {
  for (const char* name : {"FONTCONFIG_FILE", "FONTCONFIG_PATH", "FONTCONFIG_SYSROOT"}) {
    if (std::getenv(name) != nullptr) {
      return false;
    }
  }
  return true;
}

}  // namespace

FontConfigurationLoad::FontConfigurationLoad() {
  const bool root = geteuid() == 0;
  if (root && !onlySystemConfiguration()) {
    return;
  }
  // Loaded on this thread, before the decoder: the loader serves one thread at a time, and the
  // decoder's own load then finds the library in place.
  void* library = dlopen(kFontLibrary, RTLD_NOW | RTLD_LOCAL);
  auto init = library != nullptr ? reinterpret_cast<InitFunction>(dlsym(library, "FcInit"))
                                 : nullptr;
  auto enableHome = library != nullptr
                        ? reinterpret_cast<EnableHomeFunction>(dlsym(library, "FcConfigEnableHome"))
                        : nullptr;
  if (init == nullptr || (root && enableHome == nullptr)) {
    return;
  }
  if (root) {
    enableHome(0);
  }
  reader_.emplace([init] { init(); });
}

}  // namespace thumbtool
