#include "IconTheme.hpp"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "GLibHandles.hpp"

namespace thumbtool {

namespace {

constexpr const char* kThemes[] = {"Adwaita", "hicolor"};

bool isReadable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

// $XDG_DATA_HOME/icons, ~/.icons, then $XDG_DATA_DIRS/icons, in the order the icon theme rules
// give.
std::vector<std::string> iconBaseDirectories() {
  std::vector<std::string> bases;
  bases.push_back(std::string(g_get_user_data_dir()) + "/icons");
  bases.push_back(std::string(g_get_home_dir()) + "/.icons");
  for (const gchar* const* dir = g_get_system_data_dirs(); *dir != nullptr; ++dir) {
    bases.push_back(std::string(*dir) + "/icons");
  }
  return bases;
}

struct ThemeDirectory {
  std::string name;
  int size;  // INT_MAX for scalable directories
};

// The theme's subdirectories, largest first, from the first index.theme found.
std::vector<ThemeDirectory> themeDirectories(const std::vector<std::string>& bases,
                                             const std::string& theme) {
  std::vector<ThemeDirectory> result;
  for (const std::string& base : bases) {
    std::string index = base + "/" + theme + "/index.theme";
    if (!isReadable(index)) {
      continue;
    }
    GKeyFilePtr keys(g_key_file_new());
    // Lists in index.theme are separated by commas.
    g_key_file_set_list_separator(keys.get(), ',');
    if (!g_key_file_load_from_file(keys.get(), index.c_str(), G_KEY_FILE_NONE, nullptr)) {
      continue;
    }
    gsize count = 0;
    GStrvPtr directories(
        g_key_file_get_string_list(keys.get(), "Icon Theme", "Directories", &count, nullptr));
    for (gsize i = 0; directories && i < count; ++i) {
      const char* group = directories.get()[i];
      if (!g_key_file_has_group(keys.get(), group)) {
        continue;
      }
      int scale = g_key_file_get_integer(keys.get(), group, "Scale", nullptr);
      if (scale > 1) {
        continue;
      }
      std::string type = takeString(g_key_file_get_string(keys.get(), group, "Type", nullptr));
      int size = g_key_file_get_integer(keys.get(), group, "Size", nullptr);
      result.push_back({group, type == "Scalable" ? INT_MAX : size});
    }
    break;
  }
  std::stable_sort(
      result.begin(), result.end(),
      [](const ThemeDirectory& a, const ThemeDirectory& b) { return a.size > b.size; });
  return result;
}

bool isSymbolic(const std::string& name) {
  static const std::string kSuffix = "-symbolic";
  return name.size() >= kSuffix.size() &&
         name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

}  // namespace

std::optional<std::string> iconFileFor(const std::vector<std::string>& names) {
  std::vector<std::string> bases = iconBaseDirectories();
  std::vector<std::pair<std::string, std::vector<ThemeDirectory>>> themes;
  for (const char* theme : kThemes) {
    themes.emplace_back(theme, themeDirectories(bases, theme));
  }
  for (const std::string& name : names) {
    if (name.empty() || isSymbolic(name) || name.find('/') != std::string::npos) {
      continue;
    }
    for (const auto& [theme, directories] : themes) {
      for (const ThemeDirectory& directory : directories) {
        for (const std::string& base : bases) {
          for (const char* extension : {".png", ".svg"}) {
            std::string path = base + "/" + theme + "/" + directory.name + "/" + name + extension;
            if (isReadable(path)) {
              return path;
            }
          }
        }
      }
    }
    for (const char* extension : {".png", ".svg"}) {
      std::string path = std::string("/usr/share/pixmaps/") + name + extension;
      if (isReadable(path)) {
        return path;
      }
    }
  }
  return std::nullopt;
}

}  // namespace thumbtool
