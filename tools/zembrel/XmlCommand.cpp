#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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
  // Exit status: 0 when the document was extracted (an empty list included,
  // when no element matched --elements), 1 when the result is the error text
  // (a rejected document, or a path that cannot be read) or the output cannot
  // be written.
  command->callback([options, elements, &exitCode] {
    std::optional<std::vector<std::string>> names;
    if (elements->count() > 0) names = options->elements;
    // Entries are written as the result is walked: no entry is ever built.
    XmlJsonWriter writer(std::cout);
    auto error =
        CocoaXMLParser::processXMLFile(options->textOrPath, names, options->flatten, writer);
    if (error) {
      writeXmlResultJson(std::cout, XMLResult(std::move(*error)));
    } else {
      writer.finish();
    }
    std::cout.flush();
    exitCode = error || !std::cout ? 1 : 0;
  });
}

}  // namespace zembrel::cli
