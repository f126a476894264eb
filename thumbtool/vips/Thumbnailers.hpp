#pragma once

#include <optional>
#include <string>

#include "../Image.hpp"

namespace thumbtool {

// Runs the freedesktop thumbnailers registered for the MIME type (exact matches first, then
// those for a parent type), each in turn until one succeeds, and fits its picture into the box.
// Each runs with a time limit and is killed by its process id when it overruns; when bubblewrap
// is installed it runs inside it without network and with a read-only view of the system.
std::optional<Image> thumbnailerPreview(const std::string& path, const std::string& mimeType,
                                        Box box);

}  // namespace thumbtool
