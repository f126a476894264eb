#include <sys/stat.h>
#include <CLI/CLI.hpp>

#include <cstdint>
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
    file = args.file;
    // The library then sends the form without a file; say so, as the
    // messages on stdout will not.
    if (!fileSizeOf(args.file))
      std::cerr << "zembrel: no file at " << args.file << ", posting without it\n";
  }
  std::optional<std::vector<std::string>> headers;
  if (command.count("--header") > 0) headers = args.headers;

  auto zembrel = Zembrel::initZembrel();
  zembrel->setProgressEventInterval(args.interval);
  HostMessagePump pump(fileSizeOf(args.file));
  if (!zembrel->doPostWithURL(args.url, userAgent, fields, file, headers)) return 1;
  const std::string final = pump.runUntilFinal();
  return final.rfind("#complete|", 0) == 0 ? 0 : 1;
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
