#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>

#include "Commands.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel::cli {

void addMd5Command(CLI::App& app, int& exitCode) {
  auto text = std::make_shared<std::string>();
  auto* command = app.add_subcommand("md5", "Print the MD5 digest of TEXT (its UTF-8 bytes)");
  command->add_option("TEXT", *text, "Text to digest")->required();
  command->callback([text, &exitCode] {
    auto zembrel = Zembrel::initZembrel();
    std::cout << zembrel->md5FromString(*text) << '\n';
    exitCode = 0;
  });
}

}  // namespace zembrel::cli
