#pragma once

#include <string>
#include <string_view>

namespace zembrel::detail {

// The MIME type that shared-mime-info gives files with this extension (the
// text after a file name's last "."; no dot), or "application/octet-stream"
// when it knows none or the extension is empty. Thread-safe.
std::string mimeTypeForExtension(std::string_view extension);

}  // namespace zembrel::detail
