#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>

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
  command->callback([options, &exitCode] {
    auto zembrel = Zembrel::initZembrel();
    writeXmlResultJson(std::cout, zembrel->parseResponseFile(options->path, options->flatten));
    exitCode = 0;
  });
}

}  // namespace zembrel::cli
