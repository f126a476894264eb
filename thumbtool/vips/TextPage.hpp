#pragma once

#include <optional>
#include <string>

#include "../Image.hpp"

namespace thumbtool {

// A white page (A4 proportions) showing the file's first lines, drawn to fit the box. Nothing
// when the file has no visible text.
std::optional<Image> textPage(int fd, Box box);

}  // namespace thumbtool
