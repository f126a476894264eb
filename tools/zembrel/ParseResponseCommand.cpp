#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Commands.hpp"
#include "XmlJson.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel::cli {

void addParseResponseCommand(CLI::App& app, int& exitCode) {
  struct Options {
    std::string path;
    bool flatten = false;
  };
  auto options = std::make_shared<Options>();
  auto* command = app.add_subcommand("parse-response",
                                     "Extract the XML elements of a saved response file as JSON");
  command->add_option("PATH", options->path, "The response file")->required();
  command->add_flag("--flatten", options->flatten, "Every element in document order, not a tree");
  // Exit status: 0 when elements were extracted, 1 when none could be: the
  // result is the error text (the XML was rejected), or the empty list, which
  // a readable answer holding XML never gives (its root is always there) and
  // which therefore means a missing or unreadable file, one that is not a
  // regular file or not UTF-8 text, or an answer without "<". 1 as well when
  // the output cannot be written.
  command->callback([options, &exitCode] {
    auto zembrel = Zembrel::initZembrel();
    auto result = zembrel->parseResponseFile(options->path, options->flatten);
    auto* entries = std::get_if<std::vector<ElementEntry>>(&result);
    const bool nothing = entries && entries->empty();
    const bool failed = !entries || nothing;
    writeXmlResultJson(std::cout, result);
    std::cout.flush();
    if (nothing) {
      std::cerr << "zembrel parse-response: no XML in " << options->path
                << " (missing, unreadable, not a regular file, not UTF-8, or without \"<\")\n";
    }
    exitCode = failed || !std::cout ? 1 : 0;
  });
}

}  // namespace zembrel::cli
