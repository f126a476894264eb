#pragma once

#include <optional>
#include <string>
#include <vector>

namespace thumbtool {

// The file of the first icon name found in the freedesktop icon themes (Adwaita, then hicolor,
// then the plain pixmaps folder), taking for each name the largest size a theme has (a scalable
// icon counts as the largest). Symbolic (monochrome) icons are skipped.
std::optional<std::string> iconFileFor(const std::vector<std::string>& names);

}  // namespace thumbtool
