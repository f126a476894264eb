// Feeds arbitrary bytes to the XML element extractor as a document. The first
// byte chooses the call: bit 0 the flat result, bit 1 an element list. Checks
// what holds for every document: an error text or entries whose names, values
// and attributes are UTF-8, values trimmed at both ends (each piece is
// trimmed, and only non-empty trimmed pieces are joined), at most 100,000
// flat entries, and the same entries whether returned as a list or handed
// over one at a time.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "zembrel/CocoaXMLParser.hpp"
#include "zembrel/platform/Text.hpp"

namespace {

void check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

void checkEntries(const std::vector<zembrel::ElementEntry>& entries) {
  for (const auto& entry : entries) {
    check(zembrel::detail::isValidUtf8(entry.element));
    for (const auto& [name, value] : entry.attributes) {
      check(zembrel::detail::isValidUtf8(name) && zembrel::detail::isValidUtf8(value));
    }
    if (const auto* text = std::get_if<std::string>(&entry.value)) {
      check(zembrel::detail::isValidUtf8(*text));
      check(zembrel::detail::trimWhitespaceAndNewlines(*text).size() == text->size());
    } else {
      const auto& children = std::get<std::vector<zembrel::ElementEntry>>(entry.value);
      check(!children.empty());
      checkEntries(children);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  const bool flatten = (data[0] & 1) != 0;
  std::optional<std::vector<std::string>> names;
  if ((data[0] & 2) != 0) {
    names = std::vector<std::string>{"a", "b", "p:a"};
  }
  std::string document(reinterpret_cast<const char*>(data + 1), size - 1);
  // A leading "/" makes the text a path: never let the fuzzer name files.
  if (!document.empty() && document.front() == '/') {
    return 0;
  }

  auto result = zembrel::CocoaXMLParser::processXMLFile(document, names, flatten);
  std::vector<zembrel::ElementEntry> streamed;
  auto error = zembrel::CocoaXMLParser::processXMLFile(
      document, names, flatten,
      [&](zembrel::ElementEntry&& entry) { streamed.push_back(std::move(entry)); });

  if (const auto* text = std::get_if<std::string>(&result)) {
    check(text->rfind("Error ", 0) == 0);
    check(error == *text && streamed.empty());
    return 0;
  }
  const auto& entries = std::get<std::vector<zembrel::ElementEntry>>(result);
  check(!error && streamed == entries);
  check(entries.size() <= 100000);
  checkEntries(entries);
  return 0;
}
