#pragma once

#include <algorithm>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "zembrel/CocoaXMLParser.hpp"

namespace zembrel {

// Readable failure output for entries and results.
inline void PrintTo(const ElementEntry& entry, std::ostream* out) {
  *out << '{' << entry.element;
  for (const auto& [name, value] : entry.attributes) *out << ' ' << name << "=\"" << value << '"';
  *out << ": ";
  if (auto* text = std::get_if<std::string>(&entry.value)) {
    *out << '"' << *text << '"';
  } else {
    *out << '[';
    for (const auto& child : std::get<std::vector<ElementEntry>>(entry.value)) PrintTo(child, out);
    *out << ']';
  }
  *out << '}';
}

inline void PrintTo(const XMLResult& result, std::ostream* out) {
  if (auto* error = std::get_if<std::string>(&result)) {
    *out << "error \"" << *error << '"';
    return;
  }
  *out << '[';
  for (const auto& entry : std::get<std::vector<ElementEntry>>(result)) PrintTo(entry, out);
  *out << ']';
}

namespace test {

// Attributes are compared in the order the extractor gives them: by name.
inline ElementEntry::Attributes sorted(ElementEntry::Attributes attributes) {
  std::sort(attributes.begin(), attributes.end());
  return attributes;
}

inline ElementEntry leaf(std::string name, std::string text,
                         ElementEntry::Attributes attributes = {}) {
  return ElementEntry{std::move(name), std::move(text), sorted(std::move(attributes))};
}

inline ElementEntry node(std::string name, std::vector<ElementEntry> children,
                         ElementEntry::Attributes attributes = {}) {
  return ElementEntry{std::move(name), std::move(children), sorted(std::move(attributes))};
}

inline XMLResult entries(std::vector<ElementEntry> list) { return XMLResult(std::move(list)); }

// The worked example: a response with a status and two items.
inline const std::string kWorkedExample =
    "<?xml version=\"1.0\"?>\n<response>\n  <status>ok</status>\n  <items>\n"
    "    <item>a</item>\n    <item>b</item>\n  </items>\n</response>\n";

inline XMLResult workedExampleTree() {
  return entries({leaf("status", "ok"), node("items", {leaf("item", "a"), leaf("item", "b")})});
}

inline XMLResult workedExampleFlat() {
  return entries({leaf("response", ""), leaf("status", "ok"), leaf("items", ""), leaf("item", "a"),
                  leaf("item", "b")});
}

}  // namespace test
}  // namespace zembrel
