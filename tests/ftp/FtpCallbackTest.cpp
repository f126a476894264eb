#include <gtest/gtest.h>

#include <string>

#include "zembrel/Zembrel.hpp"
#include "zembrel/core/CancelToken.hpp"
#include "zembrel/ftp/DirectoryListing.hpp"
#include "zembrel/ftp/FtpInternals.hpp"
#include "zembrel/ftp/FtpReplies.hpp"

namespace zembrel {
namespace {

// ---- Reply lines.

struct ReplyCase {
  const char* name;
  std::string line;
  bool recorded;
  std::int32_t code;
  std::optional<std::string> description;
};

class ReplyLine : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyLine, RecordsNumberedLinesThatDoNotMentionCwd) {
  detail::FtpReplyRecord replies;
  detail::FtpReplyScope scope{&replies, nullptr};
  replies.set(1, std::string("before"));
  std::string line = GetParam().line;  // its own allocation: reads past it would show
  std::vector<char> bytes(line.begin(), line.end());
  EXPECT_EQ(detail::curlHeaderCallback(bytes.data(), 1, bytes.size(), &scope), bytes.size());
  if (GetParam().recorded) {
    EXPECT_EQ(replies.code(), GetParam().code);
    EXPECT_EQ(replies.text(), GetParam().description);
  } else {
    EXPECT_EQ(replies.code(), 1);
    EXPECT_EQ(replies.text(), "before");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReplyLine,
    ::testing::Values(
        ReplyCase{"Complete", "226 Transfer complete.\r\n", true, 226, "Transfer complete."},
        ReplyCase{"CwdNamed", "250 CWD command successful.\r\n", false, 0, std::nullopt},
        ReplyCase{"CwdAnyCase", "250 Changed with cWd.\r\n", false, 0, std::nullopt},
        ReplyCase{"CwdOther", "250 \"/sub\" is the current directory.\r\n", true, 250,
                  "\"/sub\" is the current directory."},
        ReplyCase{"HyphenContinuation", "220-Welcome here\r\n", true, 220, "Welcome here"},
        ReplyCase{"BlankContinuation", " second line\r\n", false, 0, std::nullopt},
        ReplyCase{"LetterContinuation", "third line\r\n", false, 0, std::nullopt},
        ReplyCase{"BareCode", "220 \r\n", true, 220, ""},
        ReplyCase{"ShortLine", "22\r\n", true, 22, ""}, ReplyCase{"OneByte", "5", true, 5, ""},
        ReplyCase{"NoCrLf", "230 Login ok", true, 230, "Login "},
        ReplyCase{"NotUtf8", "550 \xff\xfe\r\n", true, 550, std::nullopt},
        ReplyCase{"NotUtf8BeforeTheText", "5\xff\xfe text\r\n", true, 5, std::nullopt},
        ReplyCase{"Utf8", "257 \"/ü\" created\r\n", true, 257, "\"/ü\" created"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReplyLineAbort, AbortRequestMakesLibcurlStopAtTheNextLine) {
  detail::FtpReplyRecord replies;
  detail::CancelToken token;
  detail::FtpReplyScope scope{&replies, &token};
  char line[] = "220 Hello\r\n";
  token.request();
  EXPECT_EQ(detail::curlHeaderCallback(line, 1, sizeof line - 1, &scope), 0u);
  EXPECT_EQ(replies.code(), 220);
}

// ---- Listing text.

std::vector<FtpEntry> feed(detail::DirectoryListing& listing, const std::string& text,
                           const std::vector<std::size_t>& cuts) {
  listing.beginWalk();
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    std::string block = text.substr(from, cut - from);  // exact-size allocation
    EXPECT_EQ(detail::curlListingWriteCallback(block.data(), 1, block.size(), &listing),
              block.size());
    from = cut;
  }
  std::string block = text.substr(from);
  detail::curlListingWriteCallback(block.data(), 1, block.size(), &listing);
  return listing.endDirectory(true);
}

const std::string kListing =
    "total 24\n"
    "drwxr-xr-x   2 user group 4096 Dec 07 08:19 .\n"
    "drwxr-xr-x   2 user group 4096 Dec 07 08:19 ..\n"
    "drwxr-xr-x   2 user group 4096 Dec 07 08:19 sub dir\n"
    "\n"
    "-rw-r--r--   1 user group   12 Dec 07 08:19  spaced name  \n"
    "\r\n"
    "lrwxrwxrwx   1 user group    3 Dec 07 08:19 link -> sub dir\n"
    "-rw-r--r--   1 user group    5 Dec 07 08:19 ünï.txt\r\n"
    "+i8388621.48594,m825718503,r,s280,\tdjb.html\n"
    "+/,\t \xE3\x80\x80 \n"
    "-rw-r--r--   1 user group    5 Dec 07 08:19 last";

const std::vector<FtpEntry> kExpected = {{"sub dir", true, {}},   {"spaced name", false, {}},
                                         {"link", true, {}},      {"ünï.txt", false, {}},
                                         {"djb.html", false, {}}, {"", true, {}},
                                         {"last", false, {}}};

TEST(ListingCallback, AnyCutIntoTwoBlocksGivesTheSameEntries) {
  detail::DirectoryListing listing;
  ASSERT_EQ(feed(listing, kListing, {}), kExpected);
  for (std::size_t i = 0; i <= kListing.size(); ++i) {
    ASSERT_EQ(feed(listing, kListing, {i}), kExpected) << "cut at " << i;
  }
}

TEST(ListingCallback, AnyCutIntoThreeBlocksGivesTheSameEntries) {
  // Short lines (EPLF), so that every pair of cuts stays quick to try.
  const std::string text =
      "+/,\tsub\n\n+r,s5,\t two words \r\n\r\n.\n+/,\t..\n+/,\tü dir\n+r,\tend";
  const std::vector<FtpEntry> expected = {
      {"sub", true, {}}, {"two words", false, {}}, {"ü dir", true, {}}, {"end", false, {}}};
  detail::DirectoryListing listing;
  ASSERT_EQ(feed(listing, text, {}), expected);
  for (std::size_t i = 0; i <= text.size(); ++i) {
    for (std::size_t j = i; j <= text.size(); ++j) {
      ASSERT_EQ(feed(listing, text, {i, j}), expected) << "cuts at " << i << ", " << j;
    }
  }
}

TEST(ListingCallback, AVeryLongNameArrivesWholeAcrossBlocks) {
  detail::DirectoryListing listing;
  const std::string name(5000, 'n');
  const std::string text = "-rw-r--r--   1 user group 5 Dec 07 08:19 " + name + "\nshort\n" +
                           "-rw-r--r--   1 user group 5 Dec 07 08:19 next\n";
  std::vector<std::size_t> cuts;
  for (std::size_t at = 700; at < text.size(); at += 700) cuts.push_back(at);
  const auto entries = feed(listing, text, cuts);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, name);
  EXPECT_EQ(entries[1].name, "next");
}

// Lines up to 64 KiB arrive whole; a longer one is dropped up to its line
// feed, however the blocks cut it, and the lines after it still count.
TEST(ListingCallback, ALineOverTheCapIsDroppedUpToItsLineFeed) {
  const std::string head = "-rw-r--r--   1 user group 5 Dec 07 08:19 ";
  const std::size_t cap = 64 * 1024;
  const std::string longest = head + std::string(cap - head.size(), 'a');
  const std::string tooLong = head + std::string(cap + 1 - head.size(), 'b');
  const std::string text = longest + "\n" + tooLong + "\n" + head + "next\n" + tooLong + "\n";
  detail::DirectoryListing listing;
  for (std::size_t block : {std::size_t{1000}, std::size_t{16384}, text.size()}) {
    std::vector<std::size_t> cuts;
    for (std::size_t at = block; at < text.size(); at += block) cuts.push_back(at);
    const auto entries = feed(listing, text, cuts);
    ASSERT_EQ(entries.size(), 2u) << "blocks of " << block;
    EXPECT_EQ(entries[0].name, longest.substr(head.size()));
    EXPECT_EQ(entries[1].name, "next");
  }
}

TEST(ListingCallback, AnUnfinishedLineOfAFailedTransferIsDropped) {
  detail::DirectoryListing listing;
  listing.beginWalk();
  std::string text = "-rw-r--r--   1 user group 5 Dec 07 08:19 complete\n-rw-r--r--   1 u";
  detail::curlListingWriteCallback(text.data(), 1, text.size(), &listing);
  const auto entries = listing.endDirectory(false);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "complete");
}

// ---- Result texts.

TEST(FtpResult, TheCodeIsTheSignedDecimalAfterTheLastBar) {
  const std::vector<std::pair<std::string, std::optional<std::int64_t>>> cases = {
      {"Transfer complete.|226", 226},
      {"Cancelled by user|0", 0},
      {"Couldn't connect to server|7", 7},
      {"a\xEF\xBF\xBD" "b|550", 550},
      {"negative|-25300", -25300},
      {"no bar at all", std::nullopt},
      {"empty code|", std::nullopt},
      {"trailing|226 ", std::nullopt},
      {"not a number|abc", std::nullopt},
  };
  for (const auto& [text, code] : cases) EXPECT_EQ(resultCode(text), code) << text;
}

// ---- URLs.

TEST(FtpUrls, BaseAndRelativePath) {
  struct Case {
    std::string url;
    std::optional<std::string> base;
    std::optional<std::string> relative;
  };
  const std::vector<Case> cases = {
      {"ftp://u:p@host/a/b/new", "ftp://u:p@host", "a/b/new"},
      {"ftp://u:p@host:2121/a%20b/c/", "ftp://u:p@host:2121", "a b/c"},
      {"ftp://u:p@host", "ftp://u:p@host", ""},
      {"ftp://host/dir/x@y", "ftp://host", "dir/x@y"},
      {"ftp://u:p@host/x@y/z", "ftp://u:p@host", "x@y/z"},
      // libcurl reads this as host "us": the operations then target that host.
      {"ftp://us/er:pa@host/d", "ftp://us", "er:pa@host/d"},
      {"no url", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Zembrel::basePathFromURLString(c.url), c.base) << c.url;
    EXPECT_EQ(Zembrel::relativePathFromURLString(c.url), c.relative) << c.url;
  }
}

TEST(FtpUrls, CombineAppendsTheEscapedPathAsADirectory) {
  EXPECT_EQ(Zembrel::combineURL("ftp://u:p@h", "", std::nullopt, false), "ftp://u:p@h/");
  EXPECT_EQ(Zembrel::combineURL("ftp://u:p@h/", "", std::nullopt, false), "ftp://u:p@h/");
  EXPECT_EQ(Zembrel::combineURL("ftp://u:p@h/top/", "/a/b c/", std::nullopt, false),
            "ftp://u:p@h/top/a/b%20c/");
  EXPECT_EQ(Zembrel::combineURL("ftp://u:p@h/top", "/#?%ü/", std::nullopt, false),
            "ftp://u:p@h/top/%23%3F%25%C3%BC/");
  EXPECT_EQ(Zembrel::combineURL("ftp://u:p@h/top/", "/a/", std::string("f n.txt"), true),
            "ftp://u:p@h/top/a/f%20n.txt");
  EXPECT_EQ(Zembrel::combineURL("not a url", "/a/", std::nullopt, false), std::nullopt);
}

TEST(FtpUrls, UploadDestinationGetsTheLocalNameOnlyWhereTheUrlEndsWithADirectory) {
  const std::string local = "/tmp/some dir/re port#1.txt";
  const std::string escaped = "re%20port%231.txt";
  EXPECT_EQ(Zembrel::uploadDestinationURL("ftp://u:p@h", local), "ftp://u:p@h/" + escaped);
  EXPECT_EQ(Zembrel::uploadDestinationURL("ftp://u:p@h/", local), "ftp://u:p@h/" + escaped);
  EXPECT_EQ(Zembrel::uploadDestinationURL("ftp://u:p@h/d/", local), "ftp://u:p@h/d/" + escaped);
  EXPECT_EQ(Zembrel::uploadDestinationURL("ftp://u:p@h/d/name.txt", local),
            "ftp://u:p@h/d/name.txt");
  EXPECT_EQ(Zembrel::uploadDestinationURL("ftp://host/dir/name.txt", local),
            "ftp://host/dir/name.txt");
  EXPECT_EQ(Zembrel::uploadDestinationURL("ftp://host/dir/", local), "ftp://host/dir/" + escaped);
  EXPECT_EQ(Zembrel::uploadDestinationURL("ftp://host:21", local), "ftp://host:21/" + escaped);
}

}  // namespace
}  // namespace zembrel
