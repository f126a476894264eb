#include "Thumbnailers.hpp"

#include <dirent.h>

#include <gio/gio.h>
#include <algorithm>
#include <map>
#include <optional>

#include "GLibHandles.hpp"

namespace thumbtool {

namespace {

struct Thumbnailer {
  std::string exec;
  std::vector<std::string> mimeTypes;
};

std::vector<std::string> thumbnailerDirectories() {
  std::vector<std::string> directories;
  directories.push_back(std::string(g_get_user_data_dir()) + "/thumbnailers");
  for (const gchar* const* dir = g_get_system_data_dirs(); *dir != nullptr; ++dir) {
    directories.push_back(std::string(*dir) + "/thumbnailers");
  }
  return directories;
}

// Every *.thumbnailer entry whose TryExec program exists; a file name seen in an earlier
// directory hides the same name in later ones.
std::vector<Thumbnailer> installedThumbnailers() {
  std::map<std::string, Thumbnailer> byName;
  for (const std::string& directory : thumbnailerDirectories()) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
      continue;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() > 12 && name.compare(name.size() - 12, 12, ".thumbnailer") == 0) {
        names.push_back(name);
      }
    }
    closedir(dir);
    for (const std::string& name : names) {
      if (byName.count(name) != 0) {
        continue;
      }
      GKeyFilePtr keys(g_key_file_new());
      std::string path = directory + "/" + name;
      if (!g_key_file_load_from_file(keys.get(), path.c_str(), G_KEY_FILE_NONE, nullptr)) {
        continue;
      }
      const char* group = "Thumbnailer Entry";
      std::string tryExec =
          takeString(g_key_file_get_string(keys.get(), group, "TryExec", nullptr));
      if (!tryExec.empty() && takeString(g_find_program_in_path(tryExec.c_str())).empty()) {
        continue;
      }
      Thumbnailer thumbnailer;
      thumbnailer.exec = takeString(g_key_file_get_string(keys.get(), group, "Exec", nullptr));
      gsize count = 0;
      GStrvPtr types(g_key_file_get_string_list(keys.get(), group, "MimeType", &count, nullptr));
      for (gsize i = 0; types && i < count; ++i) {
        thumbnailer.mimeTypes.emplace_back(types.get()[i]);
      }
      if (!thumbnailer.exec.empty()) {
        byName.emplace(name, std::move(thumbnailer));
      }
    }
  }
  std::vector<Thumbnailer> result;
  for (auto& [name, thumbnailer] : byName) {
    result.push_back(std::move(thumbnailer));
  }
  return result;
}

// %i path, %u URI, %o output, %s size, %% a percent sign, in each argument of the Exec line.
std::optional<ThumbnailerCommand> commandLine(const std::string& exec, const std::string& source,
                                              const std::string& output, int size) {
  gint argc = 0;
  gchar** parsed = nullptr;
  if (!g_shell_parse_argv(exec.c_str(), &argc, &parsed, nullptr)) {
    return std::nullopt;
  }
  GStrvPtr owner(parsed);
  std::string uri = takeString(g_filename_to_uri(source.c_str(), nullptr, nullptr));
  std::vector<std::string> argv;
  for (gint i = 0; i < argc; ++i) {
    std::string in = parsed[i];
    std::string out;
    for (std::size_t k = 0; k < in.size(); ++k) {
      if (in[k] != '%' || k + 1 == in.size()) {
        out += in[k];
        continue;
      }
      switch (in[++k]) {
        case 'i':
          out += source;
          break;
        case 'u':
          out += uri;
          break;
        case 'o':
          out += output;
          break;
        case 's':
          out += std::to_string(size);
          break;
        case '%':
          out += '%';
          break;
        default:
          break;  // unknown field codes are dropped
      }
    }
    argv.push_back(out);
  }
  if (argv.empty() || argv[0].empty()) {
    return std::nullopt;
  }
  return argv;
}

}  // namespace

std::vector<ThumbnailerCommand> thumbnailerCommands(const std::string& contentType,
                                                    const std::string& source,
                                                    const std::string& output, int size) {
  std::string mimeType = takeString(g_content_type_get_mime_type(contentType.c_str()));
  std::vector<ThumbnailerCommand> commands;
  if (mimeType.empty()) {
    return commands;
  }
  std::vector<Thumbnailer> all = installedThumbnailers();
  std::vector<bool> taken(all.size(), false);
  for (bool exact : {true, false}) {
    for (std::size_t i = 0; i < all.size(); ++i) {
      const Thumbnailer& thumbnailer = all[i];
      if (taken[i]) {
        continue;
      }
      bool matches = std::any_of(
          thumbnailer.mimeTypes.begin(), thumbnailer.mimeTypes.end(), [&](const std::string& type) {
            return exact ? g_ascii_strcasecmp(type.c_str(), mimeType.c_str()) == 0
                         : g_content_type_is_a(mimeType.c_str(), type.c_str());
          });
      if (!matches) {
        continue;
      }
      taken[i] = true;
      if (auto command = commandLine(thumbnailer.exec, source, output, size)) {
        commands.push_back(std::move(*command));
      }
    }
  }
  return commands;
}

}  // namespace thumbtool
