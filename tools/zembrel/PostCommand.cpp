#include <sys/stat.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Commands.hpp"
#include "HostMessagePump.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel::cli {
namespace {

struct PostArguments {
  std::string url;
  std::string userAgent;
  std::vector<std::string> fields;  // NAME VALUE, NAME VALUE, ...
  std::string filePart;
  std::string file;
  std::vector<std::string> headers;  // NAME VALUE, NAME VALUE, ...
  double interval = 1.0;
};

// The size the progress bar counts towards; absent when no file is sent.
std::optional<std::int64_t> fileSizeOf(const std::string& path) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::int64_t>(info.st_size);
}

// Why FILE cannot be sent, or empty when it can be opened for reading. The
// library would post the form without a file it cannot find; a person who
// named a file means it to be sent, so the command refuses instead.
std::string unreadableReason(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::strerror(errno);
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  if (::access(path.c_str(), R_OK) != 0) return std::strerror(errno);
  return {};
}

int runPost(CLI::App& command, const PostArguments& args) {
  std::optional<std::string> userAgent;
  if (command.count("--user-agent") > 0) userAgent = args.userAgent;
  std::optional<std::vector<std::string>> fields;
  if (command.count("--field") > 0 || command.count("--file-part") > 0) {
    fields = args.fields;
    if (command.count("--file-part") > 0) fields->push_back(args.filePart);
  }
  std::optional<std::string> file;
  if (command.count("--file") > 0) {
    if (const auto reason = unreadableReason(args.file); !reason.empty()) {
      std::cerr << "zembrel: cannot send " << args.file << ": " << reason << ", nothing sent\n";
      return 1;
    }
    file = args.file;
  }
  std::optional<std::vector<std::string>> headers;
  if (command.count("--header") > 0) headers = args.headers;

  auto zembrel = Zembrel::initZembrel();
  zembrel->setProgressEventInterval(args.interval);
  HostMessagePump pump(fileSizeOf(args.file));
  if (!zembrel->doPostWithURL(args.url, userAgent, fields, file, headers)) return 1;
  return httpExitStatus(pump.runUntilFinal());
}

}  // namespace

void addPairsOption(CLI::App& command, const std::string& name, std::vector<std::string>& into,
                    const std::string& help) {
  command.add_option(name, into, help)
      ->type_name("NAME VALUE")
      ->expected(2)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

void addPostCommand(CLI::App& app, int& exitCode) {
  auto args = std::make_shared<PostArguments>();
  auto* command = app.add_subcommand(
      "post", "POST form fields and a file to URL, printing progress and the outcome");
  command->add_option("URL", args->url, "Target URL (http or https)")->required();
  command->add_option("--user-agent", args->userAgent, "User-Agent header value");
  addPairsOption(*command, "--field", args->fields, "A form field (repeatable)");
  command->add_option("--file-part", args->filePart,
                      "Name of the file's form part (default: empty)");
  command->add_option("--file", args->file, "The file to send");
  addPairsOption(*command, "--header", args->headers, "An extra request header (repeatable)");
  // Shorter intervals would flood the output (0 sends messages in a busy
  // loop); the library's setter itself stays unchecked.
  command
      ->add_option("--interval", args->interval,
                   "Seconds between progress messages (default 1, at least 0.05)")
      ->check(CLI::Range(0.05, 86400.0));
  command->callback([command, args, &exitCode] {
    for (const auto* pairs : {&args->fields, &args->headers}) {
      if (pairs->size() % 2 != 0)
        throw CLI::ValidationError("--field/--header", "each takes NAME VALUE");
    }
    exitCode = runPost(*command, *args);
  });
}

}  // namespace zembrel::cli
