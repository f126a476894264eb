#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <thread>

#include "../support/HttpTestServer.hpp"
#include "../support/TimeScale.hpp"
#include "ElementEntryPrinting.hpp"
#include "zembrel/CocoaXMLParser.hpp"

namespace zembrel {
namespace {

using namespace test;
using Names = std::optional<std::vector<std::string>>;

XMLResult tree(const std::string& text) { return CocoaXMLParser::processXMLFile(text, false); }
XMLResult flat(const std::string& text) { return CocoaXMLParser::processXMLFile(text, true); }
XMLResult collect(const std::string& text, Names names, bool flatten) {
  return CocoaXMLParser::processXMLFile(text, names, flatten);
}

std::string errorOf(const XMLResult& result) {
  auto* error = std::get_if<std::string>(&result);
  return error ? *error : "(no error)";
}

// The same document given as text and as the path of a file holding it.
class DocumentSource : public ::testing::TestWithParam<bool> {
 protected:
  std::string source(const std::string& document) { return sourceOf(document, GetParam()); }
  std::string sourceOf(const std::string& document, bool asPath) {
    if (!asPath) return document;
    auto path = dir_.path() / "document.xml";
    writeFile(path, document);
    return path.string();
  }
  ScopedTempDir dir_;
};

TEST_P(DocumentSource, WorkedExampleAsTreeAndFlat) {
  EXPECT_EQ(tree(source(kWorkedExample)), workedExampleTree());
  EXPECT_EQ(flat(source(kWorkedExample)), workedExampleFlat());
}

TEST_P(DocumentSource, ManyElementsAcrossReads) {
  std::string document = "<list>";
  for (int i = 0; i < 20000; ++i) document += "<e n=\"" + std::to_string(i) + "\">v</e>";
  document += "</list>";
  auto result = flat(source(document));
  auto* list = std::get_if<std::vector<ElementEntry>>(&result);
  ASSERT_NE(list, nullptr) << errorOf(result);
  ASSERT_EQ(list->size(), 20001u);
  EXPECT_EQ(list->back(), leaf("e", "v", {{"n", "19999"}}));
}

INSTANTIATE_TEST_SUITE_P(TextOrPath, DocumentSource, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FilePath" : "Text"; });

// Long texts whose blanks fall at every offset: the parser hands them over in
// pieces of its own (at the ends of its reads, every few hundred bytes of
// non-ASCII text, at line ends), which must be joined before the trim.
struct RunCase {
  const char* name;
  std::string document;
  std::string value;  // the element's text
};

// `count` words of 1 to 9 letters from `letters` (UTF-8 characters), joined by
// separators taken in turn from `separators`; deterministic.
std::string words(int count, const std::vector<std::string>& letters,
                  const std::vector<std::string>& separators) {
  std::mt19937 random(7);
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += separators[static_cast<std::size_t>(i) % separators.size()];
    auto length = 1 + random() % 9;
    for (unsigned k = 0; k < length; ++k) text += letters[random() % letters.size()];
  }
  return text;
}

const std::vector<std::string> kAscii = {"a", "b", "c", "x", "y", "z"};
const std::vector<std::string> kMixed = {
    "a", "z", "\xC3\xA9", "\xC3\xBC", "\xE2\x82\xAC", "\xF0\x9F\x99\x82"};

RunCase entityCase() {
  auto text = words(800, kMixed, {" "});
  return {"EntityTextLongerThanAPiece", "<!DOCTYPE a [<!ENTITY e \"" + text + "\">]><a>&e; &e;</a>",
          text + text};
}

class TextRunTest : public DocumentSource {
 protected:
  static const std::vector<RunCase>& cases() {
    static const std::vector<RunCase> all = [] {
      std::vector<RunCase> list;
      auto ascii = words(8000, kAscii, {" "});
      list.push_back({"AsciiBlanksAtEveryOffset", "<a>" + ascii + "</a>", ascii});
      auto mixed = words(8000, kMixed, {" ", "\xC2\xA0", " ", "\xE3\x80\x80"});
      list.push_back({"NonAsciiAndUnicodeSpaces", "<a>" + mixed + "</a>", mixed});
      // CR LF and CR become LF; each line end is one character of the text.
      auto lines = words(4000, kMixed, {"\r\n", " ", "\n", "\t", "\r"});
      auto normalised = words(4000, kMixed, {"\n", " ", "\n", "\t", "\n"});
      list.push_back({"LineEnds", "<a>\r\n" + lines + "\r\n</a>", normalised});
      list.push_back(entityCase());
      return list;
    }();
    return all;
  }
};

TEST_P(TextRunTest, ContiguousTextIsOnePiece) {
  for (const auto& c : cases()) {
    auto result = flat(source(c.document));
    auto* list = std::get_if<std::vector<ElementEntry>>(&result);
    ASSERT_NE(list, nullptr) << c.name << ": " << errorOf(result);
    ASSERT_EQ(list->size(), 1u) << c.name;
    const auto& value = std::get<std::string>(list->front().value);
    // Where the first difference is, not two 40 KB texts.
    auto differs = std::mismatch(value.begin(), value.end(), c.value.begin(), c.value.end());
    EXPECT_TRUE(value == c.value) << c.name << ": " << value.size() << " bytes, expected "
                                  << c.value.size() << "; first difference at byte "
                                  << (differs.first - value.begin());
  }
}

INSTANTIATE_TEST_SUITE_P(TextOrPath, TextRunTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FilePath" : "Text"; });

TEST(CocoaXMLParser, SingleElementIsReturnedThroughTheSingleRecordRule) {
  EXPECT_EQ(tree("<status>ok</status>"), entries({leaf("status", "ok")}));
  EXPECT_EQ(flat("<status>ok</status>"), entries({leaf("status", "ok")}));
}

TEST(CocoaXMLParser, TreeListsTheRootsChildrenNotTheRoot) {
  const std::string document = "<r a=\"1\">\n <x>1</x>\n <y k=\"v\">2</y>\n</r>";
  EXPECT_EQ(tree(document), entries({leaf("x", "1"), leaf("y", "2", {{"k", "v"}})}));
  EXPECT_EQ(flat(document),
            entries({leaf("r", "", {{"a", "1"}}), leaf("x", "1"), leaf("y", "2", {{"k", "v"}})}));
}

TEST(CocoaXMLParser, TextAfterAChildsEndTagGoesToTheChild) {
  EXPECT_EQ(flat("<a>x<b>y</b>z</a>"), entries({leaf("a", "x"), leaf("b", "yz")}));
}

TEST(CocoaXMLParser, ElementWithChildrenHasTheirListAndLosesItsOwnText) {
  EXPECT_EQ(tree("<r><a>own<b>1</b></a><c/></r>"),
            entries({node("a", {leaf("b", "1")}), leaf("c", "")}));
}

struct ListCase {
  const char* name;
  std::string document;
  Names names;
  XMLResult tree;
  XMLResult flat;
};

class ElementListTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(ElementListTest, CollectsOnlyListedElements) {
  const auto& c = GetParam();
  EXPECT_EQ(collect(c.document, c.names, false), c.tree);
  EXPECT_EQ(collect(c.document, c.names, true), c.flat);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ElementListTest,
    ::testing::Values(
        ListCase{"Absent", "<a><b>1</b></a>", std::nullopt, entries({leaf("b", "1")}),
                 entries({leaf("a", ""), leaf("b", "1")})},
        ListCase{"Empty", "<a><b>1</b></a>", Names{std::vector<std::string>{}}, entries({}),
                 entries({})},
        ListCase{"NoneOnTheList", "<a><b>1</b></a>", Names{{"zz"}}, entries({}), entries({})},
        // Two separate matches both have level 0: no tree, but a flat list.
        ListCase{"SeparateMatchesAreLevelZero", kWorkedExample, Names{{"item"}}, entries({}),
                 entries({leaf("item", "a"), leaf("item", "b")})},
        ListCase{"NestedMatches", kWorkedExample, Names{{"items", "item"}},
                 entries({leaf("item", "a"), leaf("item", "b")}),
                 entries({leaf("items", ""), leaf("item", "a"), leaf("item", "b")})},
        ListCase{"SingleMatchUsesTheSingleRecordRule", kWorkedExample, Names{{"status"}},
                 entries({leaf("status", "ok")}), entries({leaf("status", "ok")})},
        // Text after an unlisted child belongs to no collected element.
        ListCase{"TextAfterUnlistedChildIsDropped", "<a>x<b>y</b>z</a>", Names{{"a"}},
                 entries({leaf("a", "x")}), entries({leaf("a", "x")})},
        ListCase{"NamesMatchExactly", "<A><a>1</a></A>", Names{{"a"}}, entries({leaf("a", "1")}),
                 entries({leaf("a", "1")})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CocoaXMLParser, FlattenFlagKeepsItsValueForCallsWithAList) {
  // The list names every element of the worked example, absent collects them
  // all too: both follow the flag the last two-argument call set.
  const Names lists[] = {Names{{"response", "status", "items", "item"}}, std::nullopt};
  for (const auto& names : lists) {
    flat("<a/>");
    EXPECT_EQ(CocoaXMLParser::processXMLFile(kWorkedExample, names), workedExampleFlat());
    tree("<a/>");
    EXPECT_EQ(CocoaXMLParser::processXMLFile(kWorkedExample, names), workedExampleTree());
  }
}

struct TextCase {
  const char* name;
  std::string document;
  std::string value;
};

class CharacterDataTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(CharacterDataTest, EachPieceIsTrimmedAndAppended) {
  EXPECT_EQ(flat(GetParam().document), entries({leaf("a", GetParam().value)}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CharacterDataTest,
    ::testing::Values(
        // The parser reports "a ", "&" and " b" as pieces; each is trimmed.
        TextCase{"PredefinedEntity", "<a>a &amp; b</a>", "a&b"},
        TextCase{"CharacterReference", "<a>x &#38; y</a>", "x&y"},
        TextCase{"InternalEntityExpands", "<!DOCTYPE a [<!ENTITY e \"in side\">]><a>x &e; &e;</a>",
                 "xin sidein side"},
        TextCase{"CdataContributesNothing", "<a> t <![CDATA[hidden]]> u </a>", "tu"},
        TextCase{"CommentsAndInstructionsContributeNothing", "<a>t<!-- c --><?pi x?>u</a>", "tu"},
        TextCase{"UnicodeSpacesTrimmed", "<a>\xC2\xA0 x y\n\xE3\x80\x80</a>", "x y"},
        TextCase{"NonAsciiKept", "<a>gr\xC3\xBC\xC3\x9F</a>", "gr\xC3\xBC\xC3\x9F"}),
    [](const auto& info) { return std::string(info.param.name); });

// Namespace processing is off: names are as written, and declarations are
// attributes like any other, even those a namespace-aware parser refuses.
struct NameCase {
  const char* name;
  std::string document;
  XMLResult flat;
};

class NamesAsWrittenTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(NamesAsWrittenTest, NamesAndDeclarationsAreKept) {
  EXPECT_EQ(flat(GetParam().document), GetParam().flat);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NamesAsWrittenTest,
    ::testing::Values(
        NameCase{
            "PrefixesAndDeclarations",
            "<p:a xmlns:p=\"urn:p\" xmlns=\"urn:d\" p:x=\"1\" y=\"a&amp;b\"><q:b/></p:a>",
            entries({leaf("p:a", "",
                          {{"xmlns:p", "urn:p"}, {"xmlns", "urn:d"}, {"p:x", "1"}, {"y", "a&b"}}),
                     leaf("q:b", "")})},
        NameCase{"EmptyPrefixBinding", "<a xmlns:p=\"\" x=\"1\"/>",
                 entries({leaf("a", "", {{"xmlns:p", ""}, {"x", "1"}})})},
        NameCase{"XmlPrefixDeclared",
                 "<a xmlns:xml=\"http://www.w3.org/XML/1998/namespace\" xml:lang=\"en\"/>",
                 entries({leaf("a", "",
                               {{"xmlns:xml", "http://www.w3.org/XML/1998/namespace"},
                                {"xml:lang", "en"}})})},
        NameCase{"TwoColons", "<x:y:z a:b:c=\"1\"/>",
                 entries({leaf("x:y:z", "", {{"a:b:c", "1"}})})},
        NameCase{
            "SameNameInOneNamespaceTwice", "<a xmlns:p=\"u\" xmlns:q=\"u\" p:x=\"1\" q:x=\"2\"/>",
            entries({leaf("a", "",
                          {{"xmlns:p", "u"}, {"xmlns:q", "u"}, {"p:x", "1"}, {"q:x", "2"}})})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CocoaXMLParser, ReferencesInAttributeValuesAreResolved) {
  EXPECT_EQ(tree("<!DOCTYPE a [<!ENTITY e \"x&#38;#38;y\">]><a v=\"&e;&lt;&#65;\"/>"),
            entries({leaf("a", "", {{"v", "x&y<A"}})}));
}

struct ErrorCase {
  const char* name;
  std::string document;
  std::string error;
};

class ParseErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrorTest, GivesOneErrorTextWithCodeDescriptionLineAndColumn) {
  EXPECT_EQ(tree(GetParam().document), XMLResult(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseErrorTest,
    ::testing::Values(
        ErrorCase{"TagMismatch", "<a>\n<b>text</a>",
                  "Error 76, Description: Opening and ending tag mismatch: b line 2 and a, "
                  "Line: 2, Column: 12"},
        ErrorCase{"EmptyDocument", "",
                  "Error 4, Description: Document is empty, Line: 1, Column: 1"},
        ErrorCase{"NoElement", "  just text",
                  "Error 4, Description: Start tag expected, '<' not found, Line: 1, Column: 3"},
        ErrorCase{
            "UnclosedRoot", "<a><b>1</b>",
            "Error 77, Description: Premature end of data in tag a line 1, Line: 1, Column: 12"},
        ErrorCase{"MissingFile", "/nonexistent/zembrel.xml",
                  "Error 1549, Description: failed to load \"/nonexistent/zembrel.xml\": No such "
                  "file or directory, Line: 0, Column: 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CocoaXMLParser, ElementsCollectedBeforeAnErrorAreDropped) {
  auto result = flat("<r><a>1</a><b>2</b><c></r>");
  EXPECT_TRUE(errorOf(result).starts_with("Error 76, ")) << errorOf(result);
}

TEST(CocoaXMLParser, ASuccessAfterAnErrorIsClean) {
  tree("<a>");
  EXPECT_EQ(tree(kWorkedExample), workedExampleTree());
}

TEST(CocoaXMLParser, ExternalEntitiesAndDtdsAreNeverLoaded) {
  ScopedTempDir dir;
  auto secret = dir.path() / "secret.txt";
  writeFile(secret, "TOPSECRET-31337");
  HttpTestServer server;
  const std::string file = "file://" + secret.string();
  const std::string documents[] = {
      "<!DOCTYPE a [<!ENTITY x SYSTEM \"" + file + "\">]><a>v&x;w</a>",
      "<!DOCTYPE a [<!ENTITY x SYSTEM \"" + secret.string() + "\">]><a>v&x;w</a>",
      "<!DOCTYPE a [<!ENTITY % p SYSTEM \"" + file + "\"> %p;]><a>vw</a>",
      "<!DOCTYPE a SYSTEM \"" + file + "\"><a>vw</a>",
      "<!DOCTYPE a SYSTEM \"" + server.url("/dtd") + "\"><a>vw</a>",
      "<!DOCTYPE a [<!ENTITY x SYSTEM \"" + server.url("/entity") + "\">]><a>v&x;w</a>",
      "<!DOCTYPE a [<!ENTITY % p SYSTEM \"" + server.url("/pe") + "\"> %p;]><a>vw</a>",
  };
  for (const auto& document : documents) {
    EXPECT_EQ(flat(document), entries({leaf("a", "vw")})) << document;
  }
  // Any fetch would have been recorded by now: the parses are synchronous.
  EXPECT_TRUE(server.waitForRequests(1, std::chrono::milliseconds(200)).empty());
}

class BillionLaughsTest : public ::testing::TestWithParam<std::string> {};

// Ten levels of ten references each, used in text or in an attribute value.
TEST_P(BillionLaughsTest, EndsQuicklyWithTheEntityLoopError) {
  std::string document = "<!DOCTYPE l [<!ENTITY l0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    document += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) document += "&l" + std::to_string(i - 1) + ";";
    document += "\">";
  }
  document += "]>" + GetParam();
  auto started = std::chrono::steady_clock::now();
  auto result = tree(document);
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            zembrel::test::scaled(std::chrono::seconds(10)));
  EXPECT_TRUE(
      errorOf(result).starts_with("Error 89, Description: Detected an entity reference loop"))
      << errorOf(result);
}

INSTANTIATE_TEST_SUITE_P(Uses, BillionLaughsTest,
                         ::testing::Values("<l>&l9;</l>", "<l a=\"&l9;\"/>"), [](const auto& info) {
                           return info.index == 0 ? "InText" : "InAttribute";
                         });

std::string elements(int count) {
  std::string document = "<r>";
  for (int i = 1; i < count; ++i) document += "<e/>";
  return document + "</r>";
}

TEST(CocoaXMLParser, FullTableIsAcceptedOneMoreElementIsAnError) {
  auto full = flat(elements(100000));
  auto* list = std::get_if<std::vector<ElementEntry>>(&full);
  ASSERT_NE(list, nullptr) << errorOf(full);
  EXPECT_EQ(list->size(), 100000u);

  auto tooMany = flat(elements(100001));
  EXPECT_TRUE(
      errorOf(tooMany).starts_with("Error 111, Description: Document has too many elements"))
      << errorOf(tooMany);
  // Only collected elements count.
  auto selected = collect(elements(100001), Names{{"r"}}, true);
  EXPECT_EQ(selected, entries({leaf("r", "")}));
}

TEST(CocoaXMLParser, TwoThreadsParsingAtOnceBothGetTheirOwnResults) {
  const std::string other = "<r><x a=\"1\">one</x><y>two</y></r>";
  const XMLResult otherTree = entries({leaf("x", "one", {{"a", "1"}}), leaf("y", "two")});
  std::atomic<int> wrong{0};
  std::thread first([&] {
    for (int i = 0; i < 200; ++i) wrong += tree(kWorkedExample) != workedExampleTree();
  });
  std::thread second([&] {
    for (int i = 0; i < 200; ++i) wrong += tree(other) != otherTree;
  });
  first.join();
  second.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(CocoaXMLParser, TableOperationsReadTheLastParseAndClampIndexes) {
  tree(kWorkedExample);
  EXPECT_EQ(XMLResult(CocoaXMLParser::processElements(-1, 5, 0)), workedExampleTree());
  EXPECT_EQ(XMLResult(CocoaXMLParser::processElements(-50, 5000, 0)), workedExampleTree());
  EXPECT_EQ(XMLResult(CocoaXMLParser::processElements(2, 5, 1)),
            entries({leaf("item", "a"), leaf("item", "b")}));
  EXPECT_TRUE(CocoaXMLParser::processElements(INT32_MAX, INT32_MIN, INT32_MAX).empty());
  EXPECT_EQ(CocoaXMLParser::findNextElement(0, 5, 2), 3);
  EXPECT_EQ(CocoaXMLParser::findNextElement(2, 5, 1), 2);
  EXPECT_EQ(CocoaXMLParser::findNextElement(3, 5, 1), 5);
  EXPECT_EQ(CocoaXMLParser::findNextElement(0, 9999, 7), 9999);
  EXPECT_EQ(CocoaXMLParser::findNextElement(-3, 2, 0), 0);
}

}  // namespace
}  // namespace zembrel
