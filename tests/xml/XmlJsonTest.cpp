// The command line's JSON for extracted elements, written while the element
// table is walked, against a plain reference: the extractor's result list
// turned into JSON by the JSON library. Both must agree byte for byte on
// every document, flat or tree, with or without an element list, and on
// every string, well-formed UTF-8 or not.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../../tools/zembrel/XmlJson.hpp"
#include "zembrel/CocoaXMLParser.hpp"

namespace zembrel {
namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

std::string referenceString(const std::string& text) {
  return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json referenceEntry(const ElementEntry& entry) {
  Json out = Json::object();
  out["element"] = entry.element;
  if (const auto* text = std::get_if<std::string>(&entry.value)) {
    out["value"] = *text;
  } else {
    Json children = Json::array();
    for (const auto& child : std::get<std::vector<ElementEntry>>(entry.value)) {
      children.push_back(referenceEntry(child));
    }
    out["value"] = std::move(children);
  }
  Json attributes = Json::object();
  for (const auto& [name, value] : entry.attributes) attributes[name] = value;
  out["attributes"] = std::move(attributes);
  return out;
}

// The plain path: the whole result as a list, then the JSON library.
std::string referenceJson(const XMLResult& result) {
  Json out = Json::array();
  if (const auto* error = std::get_if<std::string>(&result)) {
    out.push_back(*error);
  } else {
    for (const auto& entry : std::get<std::vector<ElementEntry>>(result)) {
      out.push_back(referenceEntry(entry));
    }
  }
  return out.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

// The fast path, as `zembrel xml` runs it.
std::string walkedJson(const std::string& document,
                       const std::optional<std::vector<std::string>>& names, bool flatten) {
  std::ostringstream out;
  cli::XmlJsonWriter writer(out);
  auto error = CocoaXMLParser::processXMLFile(document, names, flatten, writer);
  if (error) {
    cli::writeXmlResultJson(out, XMLResult(*error));
  } else {
    writer.finish();
  }
  return out.str();
}

void expectBothPathsAgree(const std::string& document) {
  const std::optional<std::vector<std::string>> lists[] = {
      std::nullopt, std::vector<std::string>{"a", "b", "p:a", "item"}};
  for (bool flatten : {false, true}) {
    for (const auto& names : lists) {
      SCOPED_TRACE(testing::Message() << "flatten " << flatten << ", list " << names.has_value());
      auto reference = referenceJson(CocoaXMLParser::processXMLFile(document, names, flatten));
      EXPECT_EQ(walkedJson(document, names, flatten), reference);
    }
  }
}

TEST(XmlJsonDifferential, EveryFuzzSeedDocument) {
  std::size_t documents = 0;
  for (const auto& file : fs::directory_iterator(ZEMBREL_XML_FUZZ_CORPUS)) {
    std::ifstream in(file.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 2 || bytes[1] == '/') continue;  // the fuzzer skips paths too
    SCOPED_TRACE(file.path().filename().string());
    expectBothPathsAgree(bytes.substr(1));
    ++documents;
  }
  EXPECT_GT(documents, 0u);
}

TEST(XmlJsonDifferential, DocumentsThatStressTheWalk) {
  const std::string documents[] = {
      // Deep nesting, with text after children's end tags.
      "<a>" + std::string(60, ' ') + "<b><c><d><e>x</e>tail</d></c>y</b><b/></a>",
      // Separate elements on the list without a collected ancestor.
      "<r><a>1</a><x><b>2</b></x><a><b>3</b></a></r>",
      // Attributes on every element, with references, sorted by name.
      "<r z='1' a='&amp;&lt;&#x263A;'><item k=\"v\" b='&quot;q&quot;'>t&#10;</item></r>",
      // Control bytes, quotes and backslashes, escaped in text and names.
      "<r a='\\&#9;\"'>\\ &#1; &#x1F; &#127; \"</r>",
      "<status>ok</status>",
      "<r></r>",
      "<r><a></b></r>",
  };
  for (const auto& document : documents) {
    SCOPED_TRACE(document);
    expectBothPathsAgree(document);
  }
}

TEST(XmlJsonDifferential, TextsLongerThanOnePieceOfOutput) {
  // Cut into pieces for output: the cuts must not show, whatever byte lands
  // on them (a multi-byte character, an escape).
  for (const std::string unit : {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "&lt;"}) {
    std::string text = "<r>";
    while (text.size() < 200000) text += unit;
    text += "</r>";
    SCOPED_TRACE(unit);
    expectBothPathsAgree(text);
  }
}

std::string written(const std::string& text) {
  std::string out;
  cli::appendJsonString(out, text);
  return out;
}

TEST(XmlJsonString, EscapesAndReplacementsAsTheJsonLibrary) {
  const std::string cases[] = {
      "",
      "plain",
      std::string("\0\x01\x08\x09\x0A\x0B\x0C\x0D\x1F\x7F", 10),
      "\"quoted\" and \\back\\slashed/",
      "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
      "\x80 lone continuation",
      "truncated \xE2\x82",
      "\xE2\x82 truncated then ASCII",
      "overlong \xC0\xAF and \xE0\x80\x80",
      "surrogate \xED\xA0\x80 and above \xF4\x90\x80\x80 and \xF5\x80",
      "sixteen plain bytes then \x01 sixteen more plain bytes",
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(written(text), referenceString(text));
  }
}

TEST(XmlJsonString, RandomBytesAsTheJsonLibrary) {
  // Mostly ASCII with runs of high bytes, so that ill-formed sequences meet
  // the sixteen-byte fast path at every offset.
  std::mt19937 random(23);
  for (int round = 0; round < 3000; ++round) {
    std::string text(random() % 80, '\0');
    for (auto& c : text) {
      const auto pick = random() % 10;
      c = static_cast<char>(pick < 6 ? 0x20 + random() % 0x5F : random() % 256);
    }
    SCOPED_TRACE(testing::PrintToString(text));
    ASSERT_EQ(written(text), referenceString(text));
  }
}

TEST(XmlJsonString, LongIllFormedTextsThroughTheWriter) {
  // Written in pieces by the writer: an ill-formed byte near each cut.
  for (std::size_t at : {65535u, 65536u, 65537u, 131071u}) {
    std::string text(140000, 'x');
    text[at] = '\xE2';
    text[at + 1] = '\x82';
    ElementEntry entry{"e", text, {{"k", std::string(70000, '\x80')}}};
    std::ostringstream out;
    cli::writeXmlResultJson(out, XMLResult(std::vector<ElementEntry>{entry}));
    SCOPED_TRACE(at);
    EXPECT_EQ(out.str(), referenceJson(XMLResult(std::vector<ElementEntry>{entry})));
  }
}

}  // namespace
}  // namespace zembrel
