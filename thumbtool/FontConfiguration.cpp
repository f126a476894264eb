#include "FontConfiguration.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace thumbtool {

namespace {

// The font library by its run-time name: thumbtool itself does not link it.
constexpr const char* kFontLibrary = "libfontconfig.so.1";

using InitFunction = int (*)();

}  // namespace

FontConfigurationLoad::FontConfigurationLoad() {
  if (geteuid() == 0) {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
      unsetenv(name);
    }
  }
  // Loaded on this thread, before the decoder: the loader serves one thread at a time, and the
  // decoder's own load then finds the library in place.
  void* library = dlopen(kFontLibrary, RTLD_NOW | RTLD_LOCAL);
  auto init = library != nullptr ? reinterpret_cast<InitFunction>(dlsym(library, "FcInit"))
                                 : nullptr;
  if (init == nullptr) {
    return;
  }
  try {
    reader_ = std::thread([init] { init(); });
  } catch (const std::system_error&) {
    // No thread: the decoder reads the configuration when it first needs it.
  }
}

FontConfigurationLoad::~FontConfigurationLoad() {
  if (reader_.joinable()) {
    reader_.join();
  }
}

}  // namespace thumbtool
