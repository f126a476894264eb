#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Commands.hpp"
#include "XmlJson.hpp"
#include "zembrel/CocoaXMLParser.hpp"

namespace zembrel::cli {

void addXmlCommand(CLI::App& app, int& exitCode) {
  struct Options {
    std::string textOrPath;
    bool flatten = false;
    std::vector<std::string> elements;
  };
  auto options = std::make_shared<Options>();
  auto* command = app.add_subcommand(
      "xml", "Extract the elements of an XML document (text, or a path starting with /) as JSON");
  command->add_option("TEXT_OR_PATH", options->textOrPath, "The document, or its absolute path")
      ->required();
  command->add_flag("--flatten", options->flatten, "Every element in document order, not a tree");
  auto* elements = command->add_option("--elements", options->elements,
                                       "Collect only elements with these names (none given: none)");
  elements->expected(0, CLI::detail::expected_max_vector_size);
  command->callback([options, elements, &exitCode] {
    std::optional<std::vector<std::string>> names;
    if (elements->count() > 0) names = options->elements;
    auto result = names
                      ? CocoaXMLParser::processXMLFile(options->textOrPath, names, options->flatten)
                      : CocoaXMLParser::processXMLFile(options->textOrPath, options->flatten);
    writeXmlResultJson(std::cout, std::move(result));
    exitCode = 0;
  });
}

}  // namespace zembrel::cli
