#include "Thumbnailers.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gio/gio.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <vector>

#include "GLibHandles.hpp"
#include "VipsImages.hpp"

extern char** environ;

namespace thumbtool {

namespace {

// How long one thumbnailer may run before it is killed.
constexpr std::chrono::milliseconds kTimeLimit{10000};

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

// A private folder for one thumbnailer's output, emptied and removed when done.
class OutputFolder {
 public:
  OutputFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/thumbtool-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) {
      path_ = buffer.data();
    }
  }
  ~OutputFolder() {
    if (path_.empty()) {
      return;
    }
    if (DIR* dir = opendir(path_.c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
          unlink((path_ + "/" + name).c_str());
        }
      }
      closedir(dir);
    }
    rmdir(path_.c_str());
  }
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// %i path, %u URI, %o output, %s size, %% a percent sign, in each argument of the Exec line.
std::optional<std::vector<std::string>> commandLine(const std::string& exec,
                                                    const std::string& source,
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
  if (argv.empty()) {
    return std::nullopt;
  }
  std::string program = takeString(g_find_program_in_path(argv[0].c_str()));
  if (program.empty()) {
    return std::nullopt;
  }
  argv[0] = program;
  return argv;
}

// Wraps the command in bubblewrap: the whole system read-only, a fresh /tmp, no network and
// no other shared namespace, the source bound read-only and only the output folder writable.
std::vector<std::string> sandboxed(std::vector<std::string> argv, const std::string& source,
                                   const std::string& outputFolder) {
  std::string bwrap = takeString(g_find_program_in_path("bwrap"));
  if (bwrap.empty()) {
    return argv;
  }
  char* real = realpath(source.c_str(), nullptr);
  std::string resolved = real != nullptr ? real : source;
  std::free(real);
  std::vector<std::string> wrapped = {bwrap,
                                      "--unshare-all",
                                      "--die-with-parent",
                                      "--new-session",
                                      "--ro-bind",
                                      "/",
                                      "/",
                                      "--dev",
                                      "/dev",
                                      "--proc",
                                      "/proc",
                                      "--tmpfs",
                                      "/tmp",
                                      "--ro-bind",
                                      resolved,
                                      resolved,
                                      "--bind",
                                      outputFolder,
                                      outputFolder,
                                      "--"};
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}

// Starts the command in its own process group with no terminal streams, waits up to the time
// limit, and kills the group (by the child's id) when it overruns. True on exit status 0.
bool runWithTimeLimit(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  for (const std::string& arg : argv) {
    pointers.push_back(const_cast<char*>(arg.c_str()));
  }
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  for (int fd : {0, 1, 2}) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t defaults;
  sigemptyset(&defaults);
  posix_spawnattr_setsigmask(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, pointers[0], &actions, &attributes, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + kTimeLimit;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (done < 0 && errno != EINTR) {
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return false;
    }
    timespec pause{0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

std::optional<Image> runOne(const Thumbnailer& thumbnailer, const std::string& path, Box box) {
  OutputFolder folder;
  if (folder.path().empty()) {
    return std::nullopt;
  }
  std::string output = folder.path() + "/thumbnail.png";
  auto argv = commandLine(thumbnailer.exec, path, output, std::max(box.width, box.height));
  if (!argv) {
    return std::nullopt;
  }
  if (!runWithTimeLimit(sandboxed(std::move(*argv), path, folder.path()))) {
    return std::nullopt;
  }
  // A failed thumbnailer may still leave an empty file behind.
  struct stat info {};
  if (stat(output.c_str(), &info) != 0 || info.st_size == 0) {
    return std::nullopt;
  }
  return fitImageFile(output, box, false);
}

}  // namespace

std::optional<Image> thumbnailerPreview(const std::string& path, const std::string& mimeType,
                                        Box box) {
  if (mimeType.empty()) {
    return std::nullopt;
  }
  std::vector<Thumbnailer> all = installedThumbnailers();
  std::vector<bool> tried(all.size(), false);
  for (bool exact : {true, false}) {
    for (std::size_t i = 0; i < all.size(); ++i) {
      const Thumbnailer& thumbnailer = all[i];
      if (tried[i]) {
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
      tried[i] = true;
      if (auto image = runOne(thumbnailer, path, box)) {
        return image;
      }
    }
  }
  return std::nullopt;
}

}  // namespace thumbtool
