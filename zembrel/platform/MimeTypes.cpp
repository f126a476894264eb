#include "zembrel/platform/MimeTypes.hpp"

#include <gio/gio.h>

#include "zembrel/platform/Handles.hpp"

namespace zembrel::detail {

std::string mimeTypeForExtension(std::string_view extension) {
  static constexpr const char* kUnknown = "application/octet-stream";
  if (extension.empty()) return kUnknown;
  // Asked by a name that has nothing but the extension, so a whole-name rule
  // ("Makefile", "README") or a double extension never decides the type.
  const std::string name = "file." + std::string(extension);
  gboolean uncertain = FALSE;
  const std::string type = takeGString(g_content_type_guess(name.c_str(), nullptr, 0, &uncertain));
  // Without data to look at, an unknown name is reported as uncertain; so is a
  // folder type, which no file's content can have.
  if (type.empty() || g_content_type_is_unknown(type.c_str()) ||
      g_content_type_is_a(type.c_str(), "inode/directory")) {
    return kUnknown;
  }
  std::string mime = takeGString(g_content_type_get_mime_type(type.c_str()));
  return mime.empty() ? kUnknown : mime;
}

}  // namespace zembrel::detail
