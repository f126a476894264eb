// What a hostile document or path can make the extractor do: entity
// expansion is capped, and only regular files of bounded size are read, by
// the extractor and by the saved-answer reader alike.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <string>

#include "../support/ServerProcess.hpp"
#include "../support/TimeScale.hpp"
#include "ElementEntryPrinting.hpp"
#include "zembrel/CocoaXMLParser.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel {
namespace {

using namespace test;
namespace fs = std::filesystem;

std::string errorOf(const XMLResult& result) {
  auto* error = std::get_if<std::string>(&result);
  return error ? *error : "(no error)";
}

std::string declare(const std::string& name, const std::string& text) {
  return "<!ENTITY " + name + " \"" + text + "\">";
}

std::string repeat(const std::string& piece, int count) {
  std::string out;
  out.reserve(piece.size() * static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

// One 100 KB entity referenced 5,000 times is 500 MB of text from a document
// of about 120 KB, in text, in attributes, or as the attributes of elements
// that the entity itself holds.
struct ExpansionCase {
  const char* name;
  std::string document;
};

const std::string kBig(100000, 'x');

class ExpansionCapTest : public ::testing::TestWithParam<ExpansionCase> {};

TEST_P(ExpansionCapTest, EndsWithOneErrorText) {
  auto result = CocoaXMLParser::processXMLFile(GetParam().document, true);
  EXPECT_TRUE(errorOf(result).starts_with("Error 89, Description: Entity expansion exceeds"))
      << errorOf(result);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExpansionCapTest,
    ::testing::Values(ExpansionCase{"InText", "<!DOCTYPE a [" + declare("e", kBig) + "]><a>" +
                                                  repeat("&e;\n", 5000) + "</a>"},
                      ExpansionCase{"InAnAttribute", "<!DOCTYPE a [" + declare("e", kBig) +
                                                         "]><a v=\"" + repeat("&e;", 5000) +
                                                         "\"/>"},
                      ExpansionCase{"AttributesOfExpandedElements",
                                    "<!DOCTYPE a [" + declare("e", "<b v='" + kBig + "'/>") +
                                        "]><a>" + repeat("&e;", 5000) + "</a>"}),
    [](const auto& info) { return std::string(info.param.name); });

// Text that is not collected costs nothing to keep, but its parsing does.
TEST(ExpansionCap, CountsTheTextOfElementsNotCollected) {
  const std::string document =
      "<!DOCTYPE a [" + declare("e", kBig) + "]><r><a>" + repeat("&e;", 5000) + "</a></r>";
  auto result = CocoaXMLParser::processXMLFile(document, std::vector<std::string>{"r"}, true);
  EXPECT_TRUE(errorOf(result).starts_with("Error 89, ")) << errorOf(result);
}

TEST(ExpansionCap, ExpansionsBelowTheCapAreWhole) {
  // 1 KB referenced 1,000 times, in text and in an attribute: 1 MB each.
  const std::string text(1000, 'y');
  const std::string document = "<!DOCTYPE a [" + declare("e", text) + "]><a v=\"" +
                               repeat("&e;", 1000) + "\">" + repeat("&e;", 1000) + "</a>";
  EXPECT_EQ(CocoaXMLParser::processXMLFile(document, true),
            entries({leaf("a", repeat(text, 1000), {{"v", repeat(text, 1000)}})}));
}

// ---- Paths that are not regular files, or too large.

struct PathCase {
  const char* name;
  std::function<fs::path(const fs::path& dir)> make;
  std::string reason;  // the end of the error description
};

fs::path makeFifo(const fs::path& dir) {
  auto path = dir / "fifo.xml";
  if (::mkfifo(path.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo failed";
  return path;
}

fs::path makeHugeFile(const fs::path& dir) {
  // Sparse, on no disk space: far more than the largest document or answer.
  auto path = dir / "huge.xml";
  writeFile(path, "<a>");
  fs::resize_file(path, std::uintmax_t{2} << 30);
  return path;
}

const PathCase kPathCases[] = {
    {"NamedPipe", makeFifo, "not a regular file"},
    {"Device", [](const fs::path&) { return fs::path("/dev/zero"); }, "not a regular file"},
    {"Folder", [](const fs::path& dir) { return dir; }, "Is a directory"},
    {"TwoGiB", makeHugeFile, "larger than 1073741824 bytes"},
};

// Runs `read` on a worker; a read still blocked after a few seconds (on a named
// pipe without a writer) is set free by opening the pipe's other end, so the
// test fails instead of hanging.
template <class Result>
Result withinSeconds(const fs::path& path, std::function<Result()> read, bool& blocked) {
  auto future = std::async(std::launch::async, std::move(read));
  blocked = future.wait_for(scaled(std::chrono::seconds(5))) != std::future_status::ready;
  if (blocked) {
    int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
  }
  return future.get();
}

class RefusedPathTest : public ::testing::TestWithParam<PathCase> {
 protected:
  ScopedTempDir dir_;
};

TEST_P(RefusedPathTest, ExtractorGivesTheReasonAtOnce) {
  auto path = GetParam().make(dir_.path());
  bool blocked = false;
  auto result = withinSeconds<XMLResult>(
      path, [&] { return CocoaXMLParser::processXMLFile(path.string(), false); }, blocked);
  EXPECT_FALSE(blocked);
  EXPECT_EQ(result, XMLResult("Error 1549, Description: failed to load \"" + path.string() +
                              "\": " + GetParam().reason + ", Line: 0, Column: 0"));
}

TEST_P(RefusedPathTest, SavedAnswerReaderGivesTheEmptyListAtOnce) {
  auto path = GetParam().make(dir_.path());
  bool blocked = false;
  auto result = withinSeconds<XMLResult>(
      path, [&] { return Zembrel::initZembrel()->parseResponseFile(path.string(), false); },
      blocked);
  EXPECT_FALSE(blocked);
  EXPECT_EQ(result, entries({}));
}

INSTANTIATE_TEST_SUITE_P(Paths, RefusedPathTest, ::testing::ValuesIn(kPathCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Entries handed over one at a time are the entries of the list.

struct StreamCase {
  const char* name;
  std::string document;
  std::optional<std::vector<std::string>> names;
  bool flatten;
};

class EntryStreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(EntryStreamTest, SameEntriesAsTheList) {
  const auto& c = GetParam();
  auto list = CocoaXMLParser::processXMLFile(c.document, c.names, c.flatten);
  std::vector<ElementEntry> streamed;
  auto error = CocoaXMLParser::processXMLFile(
      c.document, c.names, c.flatten,
      [&](ElementEntry&& entry) { streamed.push_back(std::move(entry)); });
  if (auto* text = std::get_if<std::string>(&list)) {
    EXPECT_EQ(error, std::optional<std::string>(*text));
    EXPECT_TRUE(streamed.empty());
  } else {
    EXPECT_EQ(error, std::nullopt);
    EXPECT_EQ(XMLResult(streamed), list);
    EXPECT_FALSE(streamed.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EntryStreamTest,
    ::testing::Values(StreamCase{"Tree", kWorkedExample, std::nullopt, false},
                      StreamCase{"Flat", kWorkedExample, std::nullopt, true},
                      StreamCase{"SingleRecord", "<status>ok</status>", std::nullopt, false},
                      StreamCase{"ElementList", kWorkedExample,
                                 std::vector<std::string>{"items", "item"}, false},
                      StreamCase{"Malformed", "<a><b></a>", std::nullopt, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zembrel
