#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Commands.hpp"
#include "HostMessagePump.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel::cli {

void addSimplePostCommand(CLI::App& app, int& exitCode) {
  struct Options {
    std::string url;
    std::optional<std::string> userAgent;
    std::vector<std::pair<std::string, std::string>> fields;
    std::optional<std::string> extra;
    std::optional<std::string> encoding;
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> cookieDomain;
  };
  auto options = std::make_shared<Options>();
  auto* command = app.add_subcommand(
      "simple-post", "Send one GET or form POST and print the result text (response saved)");
  command->add_option("URL", options->url, "Request URL")->required();
  command->add_option("--user-agent", options->userAgent, "User-Agent header");
  command->add_option("--field", options->fields, "Form field (repeatable)")
      ->allow_extra_args(false);
  command->add_option("--extra", options->extra,
                      "One more field element after the pairs (the raw body when alone)");
  // "Multipart" and "" name the library's default layout; anything else is
  // a typo that would silently take that default too.
  command
      ->add_option("--encoding", options->encoding,
                   "multipart, urlencoded or raw (Multipart or \"\": the default layout)")
      ->check(CLI::IsMember({"multipart", "urlencoded", "raw", "Multipart", ""}));
  command->add_option("--header", options->headers, "Request header (repeatable)")
      ->allow_extra_args(false);
  command->add_option("--cookies", options->cookieDomain,
                      "Then print the stored cookies of this exact domain");
  command->callback([options, &exitCode] {
    std::optional<std::vector<std::string>> fields;
    if (!options->fields.empty() || options->extra) {
      fields.emplace();
      for (auto& [name, value] : options->fields) {
        fields->push_back(name);
        fields->push_back(value);
      }
      if (options->extra) fields->push_back(*options->extra);
    }
    std::optional<std::vector<std::string>> headers;
    if (!options->headers.empty()) {
      headers.emplace();
      for (auto& [name, value] : options->headers) {
        headers->push_back(name);
        headers->push_back(value);
      }
    }
    auto zembrel = Zembrel::initZembrel();
    auto result = zembrel->doSimplePostWithURL(options->url, options->userAgent.value_or(""),
                                               fields, options->encoding, headers);
    std::cout << result << '\n';
    if (options->cookieDomain) std::cout << zembrel->getSentCookies(options->cookieDomain) << '\n';
    exitCode = httpExitStatus(result);
  });
}

}  // namespace zembrel::cli
