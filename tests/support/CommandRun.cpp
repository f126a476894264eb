#include "CommandRun.hpp"

#include <gio/gio.h>

namespace zembrel::test {

CommandRun runCommand(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& input) {
  std::vector<const char*> argv{program.c_str()};
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  CommandRun run;
  GError* error = nullptr;
  GSubprocess* process = g_subprocess_newv(
      argv.data(),
      static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                    G_SUBPROCESS_FLAGS_STDERR_SILENCE),
      &error);
  if (!process) {
    g_clear_error(&error);
    return run;
  }
  GBytes* in = g_bytes_new(input.data(), input.size());
  GBytes* out = nullptr;
  if (g_subprocess_communicate(process, in, nullptr, &out, nullptr, &error)) {
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(out, &size));
    run.out.assign(data ? data : "", size);
    if (g_subprocess_get_if_exited(process)) run.status = g_subprocess_get_exit_status(process);
  }
  g_clear_error(&error);
  g_bytes_unref(in);
  if (out) g_bytes_unref(out);
  g_object_unref(process);
  return run;
}

}  // namespace zembrel::test
