// `zembrel upload-resumable ENDPOINT FILE [--metadata NAME VALUE]...
// [--header NAME VALUE]... [--interval S] [--retries N]`: a resumable upload
// that survives broken connections and, when run again, a killed process.

#include <sys/stat.h>
#include <CLI/CLI.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Commands.hpp"
#include "HostMessagePump.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel::cli {
namespace {

struct ResumableArguments {
  std::string endpoint;
  std::string file;
  std::vector<std::string> metadata;  // NAME VALUE, NAME VALUE, ...
  std::vector<std::string> headers;   // NAME VALUE, NAME VALUE, ...
  double interval = 1.0;
  int retries = -1;  // -1: the library's default delays
};

int runResumableUpload(const ResumableArguments& args) {
  auto zembrel = Zembrel::initZembrel();
  zembrel->setProgressEventInterval(args.interval);
  if (args.retries >= 0) {
    // The default back-off, cut short or with its last wait repeated.
    std::vector<std::chrono::milliseconds> delays = zembrel->resumableRetryDelays();
    const std::chrono::milliseconds last =
        delays.empty() ? std::chrono::seconds(10) : delays.back();
    delays.resize(static_cast<std::size_t>(args.retries), last);
    zembrel->setResumableRetryDelays(delays);
  }
  std::optional<std::int64_t> total;
  struct stat info {};
  if (::stat(args.file.c_str(), &info) == 0) total = static_cast<std::int64_t>(info.st_size);
  HostMessagePump pump(total);
  if (!zembrel->doResumableUploadWithURL(args.endpoint, args.file, args.metadata, args.headers)) {
    return 1;
  }
  return completedExitStatus(pump.runUntilFinal());
}

}  // namespace

void addResumableUploadCommand(CLI::App& app, int& exitCode) {
  auto args = std::make_shared<ResumableArguments>();
  auto* command = app.add_subcommand(
      "upload-resumable",
      "Upload FILE to a tus (or IETF draft) upload ENDPOINT, retrying and resuming after broken "
      "connections; run it again after a kill to resume. Prints the host messages until the "
      "final one");
  command->add_option("ENDPOINT", args->endpoint, "Upload creation URL (http or https)")
      ->required();
  command->add_option("FILE", args->file, "The file to send")->required();
  addPairsOption(*command, "--metadata", args->metadata,
                 "Upload metadata, e.g. --metadata filename video.mp4 (repeatable)");
  addPairsOption(*command, "--header", args->headers, "An extra request header (repeatable)");
  command
      ->add_option("--interval", args->interval,
                   "Seconds between progress messages (default 1, at least 0.05)")
      ->check(CLI::Range(0.05, 86400.0));
  command
      ->add_option("--retries", args->retries,
                   "Retries in a row before giving up (default 5, waiting 0, 1, 3, 5, 10 s); "
                   "counted again whenever the upload moved on")
      ->check(CLI::Range(0, 1000));
  command->callback([args, &exitCode] {
    for (const auto* pairs : {&args->metadata, &args->headers}) {
      if (pairs->size() % 2 != 0)
        throw CLI::ValidationError("--metadata/--header", "each takes NAME VALUE");
    }
    exitCode = runResumableUpload(*args);
  });
}

}  // namespace zembrel::cli
