#pragma once

#include <string>
#include <string_view>

namespace zembrel::detail {

// The MIME type that shared-mime-info gives a file of this name (by its
// extension or name pattern; the content is not read), or
// "application/octet-stream" when it knows none. Thread-safe.
std::string mimeTypeForFileName(std::string_view fileName);

}  // namespace zembrel::detail
