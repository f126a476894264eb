// Owners for the GLib values the vips module receives.
#pragma once

#include <glib.h>

#include <memory>
#include <string>

namespace thumbtool {

struct GFreeDeleter {
  void operator()(void* pointer) const noexcept { g_free(pointer); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

struct GStrvDeleter {
  void operator()(gchar** strings) const noexcept { g_strfreev(strings); }
};
using GStrvPtr = std::unique_ptr<gchar*, GStrvDeleter>;

struct GKeyFileDeleter {
  void operator()(GKeyFile* file) const noexcept { g_key_file_free(file); }
};
using GKeyFilePtr = std::unique_ptr<GKeyFile, GKeyFileDeleter>;

// A copied text, or "" for NULL; the GLib string is freed on every path.
inline std::string takeString(gchar* text) {
  GCharPtr owner(text);
  return owner ? std::string(owner.get()) : std::string();
}

}  // namespace thumbtool
