#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "FtpTestSupport.hpp"
#include "MainLoop.hpp"
#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/CurlGlobal.hpp"

namespace zembrel {
namespace {

namespace fs = std::filesystem;
using test::FtpTestServer;

class FtpDirectory : public ::testing::Test {
 protected:
  static std::vector<std::string> names(const std::vector<FtpEntry>& entries) {
    std::vector<std::string> out;
    for (const auto& entry : entries) out.push_back(entry.name);
    std::sort(out.begin(), out.end());
    return out;
  }
  static const FtpEntry* find(const std::vector<FtpEntry>& entries, const std::string& name) {
    for (const auto& entry : entries) {
      if (entry.name == name) return &entry;
    }
    return nullptr;
  }

  std::shared_ptr<Zembrel> zembrel = Zembrel::initZembrel();
};

// How many generations below the top hold listed children: the chain
// c1/c2/.../c7 is followed as far as the walk went.
int listedDepth(const std::vector<FtpEntry>& entries) {
  for (const auto& entry : entries) {
    if (entry.name.rfind("c", 0) == 0 && !entry.children.empty())
      return 1 + listedDepth(entry.children);
  }
  return 0;
}

struct LevelCase {
  const char* name;
  FtpLevel level;
  int depth;
};

class FtpListingLevel : public FtpDirectory, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(FtpListingLevel, ListsDownToTheRequestedDepthCappedAtFive) {
  FtpTestServer server;
  fs::create_directories(server.home() / "c1/c2/c3/c4/c5/c6/c7");
  auto listing = zembrel->getDirectoryListFromURL(server.url("/"), GetParam().level);
  ASSERT_TRUE(listing.has_value());
  ASSERT_EQ(names(listing->directories), std::vector<std::string>{"c1"});
  EXPECT_TRUE(listing->directories[0].directory);
  EXPECT_EQ(listedDepth(listing->directories), GetParam().depth);
  EXPECT_EQ(listing->result, "Transfer complete.|226");
  EXPECT_EQ(server.logins(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, FtpListingLevel,
    ::testing::Values(LevelCase{"Absent", FtpLevel{}, 0}, LevelCase{"Zero", FtpLevel{0LL}, 0},
                      LevelCase{"One", FtpLevel{1LL}, 1}, LevelCase{"Five", FtpLevel{5LL}, 5},
                      LevelCase{"SevenCountsAsFive", FtpLevel{7LL}, 5},
                      LevelCase{"Negative", FtpLevel{-3LL}, 0},
                      LevelCase{"Text", FtpLevel{std::string("3")}, 3},
                      LevelCase{"TextWithBlanksAndWords", FtpLevel{std::string(" 2 levels")}, 2},
                      LevelCase{"TextWithoutNumber", FtpLevel{std::string("deep")}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FtpDirectory, NamesKeepInnerBlanksAndUtf8AndLoseOuterBlanks) {
  FtpTestServer server;
  for (const char* name : {" lead", "trail ", "in ner", "ünïcødé €.txt"})
    test::writeFile(server.home() / name, "x");
  fs::create_directories(server.home() / "dir with #? ü");
  test::writeFile(server.home() / "dir with #? ü" / "inside", "x");
  auto listing = zembrel->getDirectoryListFromURL(server.url("/"), 1LL);
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(
      names(listing->directories),
      (std::vector<std::string>{"dir with #? ü", "in ner", "lead", "trail", "ünïcødé €.txt"}));
  const FtpEntry* dir = find(listing->directories, "dir with #? ü");
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(names(dir->children), std::vector<std::string>{"inside"});
}

TEST_F(FtpDirectory, DirectorySymlinkIsADirectoryNamedByTheLink) {
  FtpTestServer server;
  fs::create_directories(server.home() / "real");
  test::writeFile(server.home() / "real" / "file", "x");
  fs::create_directory_symlink("real", server.home() / "link");
  auto listing = zembrel->getDirectoryListFromURL(server.url("/"), 1LL);
  ASSERT_TRUE(listing.has_value());
  const FtpEntry* link = find(listing->directories, "link");
  ASSERT_NE(link, nullptr);
  EXPECT_TRUE(link->directory);
  EXPECT_EQ(names(link->children), std::vector<std::string>{"file"});
}

TEST_F(FtpDirectory, WholeTreeWalkUsesOneLogin) {
  FtpTestServer server;
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 3; ++b)
      fs::create_directories(server.home() / ("a" + std::to_string(a)) / ("b" + std::to_string(b)) /
                             "leaf");
  auto listing = zembrel->getDirectoryListFromURL(server.url("/"), 3LL);
  ASSERT_TRUE(listing.has_value());
  ASSERT_EQ(listing->directories.size(), 4u);
  for (const auto& a : listing->directories) {
    ASSERT_EQ(a.children.size(), 3u) << a.name;
    for (const auto& b : a.children) EXPECT_EQ(names(b.children), std::vector<std::string>{"leaf"});
  }
  EXPECT_EQ(server.count("CMD LIST"), 1 + 4 + 12 + 12);
  EXPECT_EQ(server.logins(), 1);
}

TEST_F(FtpDirectory, RefusedDirectoryKeepsEmptyChildrenAndTheWalkGoesOn) {
  FtpTestServer server;
  fs::create_directories(server.home() / "after" / "x");
  fs::create_directory_symlink("/nonexistent-target", server.home() / "broken");
  auto listing = zembrel->getDirectoryListFromURL(server.url("/"), 1LL);
  ASSERT_TRUE(listing.has_value());
  const FtpEntry* broken = find(listing->directories, "broken");
  ASSERT_NE(broken, nullptr);
  EXPECT_TRUE(broken->children.empty());
  const FtpEntry* after = find(listing->directories, "after");
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(names(after->children), std::vector<std::string>{"x"});
  // "broken" comes after "after": its refusal is the last reply.
  ASSERT_TRUE(listing->result.has_value());
  EXPECT_TRUE(listing->result->ends_with("|550")) << *listing->result;
}

TEST_F(FtpDirectory, CancelDuringAWalkReportsItAndClearsTheRequest) {
  FtpTestServer server({"--list-delay", "0.2"});
  for (int i = 0; i < 10; ++i)
    fs::create_directories(server.home() / ("d" + std::to_string(i)) / "x");
  std::optional<ListingResult> listing;
  std::thread walker([&] { listing = zembrel->getDirectoryListFromURL(server.url("/"), 2LL); });
  ASSERT_TRUE(test::runMainContextUntil([&] { return server.count("CMD LIST") >= 3; }));
  zembrel->cancelFTPOperation();
  walker.join();
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(listing->result, "Cancelled by user|0");
  EXPECT_EQ(listing->directories.size(), 10u);
  EXPECT_LT(server.count("CMD LIST"), 11);
  // The next listing runs normally.
  auto again = zembrel->getDirectoryListFromURL(server.url("/"));
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->result, "Transfer complete.|226");
}

TEST_F(FtpDirectory, CloseDuringAWalkEndsItAndTheNextOperationLogsInAgain) {
  FtpTestServer server({"--list-delay", "0.2"});
  for (int i = 0; i < 4; ++i)
    fs::create_directories(server.home() / ("d" + std::to_string(i)) / "x");
  std::optional<ListingResult> listing;
  std::thread walker([&] { listing = zembrel->getDirectoryListFromURL(server.url("/"), 1LL); });
  ASSERT_TRUE(test::runMainContextUntil([&] { return server.count("CMD LIST") >= 2; }));
  zembrel->closeFTPConnection();
  walker.join();
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(listing->result, "Cancelled by user|0");
  EXPECT_EQ(listing->directories.size(), 4u);
  EXPECT_LT(server.count("CMD LIST"), 5) << "the walk went on after the close";
  EXPECT_FALSE(zembrel->snapshot().hasCurlHandle);
  auto again = zembrel->getDirectoryListFromURL(server.url("/"));
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->result, "Transfer complete.|226");
  EXPECT_EQ(server.logins(), 2);
}

// Whatever names a server lists, the walk stays inside the requested tree:
// it never descends into ".", "..", a name holding "/" or an empty name.
TEST_F(FtpDirectory, TheWalkNeverLeavesTheRequestedTree) {
  std::string text;
  for (const char* name : {".", "..", "a/b", "../../up", "   ", "ok"})
    text += std::string("drwxr-xr-x   2 user group 4096 Jan 01  2000 ") + name + "\r\n";
  FtpTestServer server({"--list-text", text});
  fs::create_directories(server.home() / "ok" / "ok");
  auto listing = zembrel->getDirectoryListFromURL(server.url("/"), 2LL);
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(names(listing->directories), (std::vector<std::string>{"", "../../up", "a/b", "ok"}));
  const FtpEntry* ok = find(listing->directories, "ok");
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(names(ok->children), (std::vector<std::string>{"", "../../up", "a/b", "ok"}));
  for (const auto& entry : listing->directories) {
    if (entry.name != "ok") {
      EXPECT_TRUE(entry.children.empty()) << entry.name;
    }
  }
  EXPECT_EQ(server.count("CMD LIST"), 3);  // the top, ok, ok/ok
  // The server logs the directories it was asked to enter as its own paths.
  const std::string home = fs::canonical(server.home()).string();
  const std::vector<std::string> inside = {"CMD CWD " + home, "CMD CWD " + home + "/ok",
                                           "CMD CWD " + home + "/ok/ok"};
  for (const auto& line : server.logLines()) {
    if (line.rfind("CMD CWD", 0) == 0) {
      EXPECT_NE(std::find(inside.begin(), inside.end(), line), inside.end()) << line;
    }
  }
  EXPECT_EQ(listing->result, "Transfer complete.|226");
}

TEST_F(FtpDirectory, AWalkStopsAfterAHundredThousandEntries) {
  FtpTestServer server({"--fake-list", "50000"});  // 50,000 directories in every directory
  fs::create_directory(server.home() / "d1");
  fs::create_directory(server.home() / "d2");
  std::optional<ListingResult> listing;
  const auto took = test::runWithin(
      std::chrono::seconds(60),
      [&] { listing = zembrel->getDirectoryListFromURL(server.url("/"), 1LL); },
      [&] { server.stop(); });
  ASSERT_TRUE(took.has_value());
  ASSERT_TRUE(listing.has_value());
  EXPECT_EQ(listing->result, "More than 100000 entries|0");
  ASSERT_EQ(listing->directories.size(), 50000u);
  EXPECT_EQ(listing->directories[0].children.size(), 50000u);
  EXPECT_TRUE(listing->directories[1].children.empty());
  EXPECT_EQ(server.count("CMD LIST"), 3);
}

TEST_F(FtpDirectory, NothingListeningGivesLibcurlsErrorOnAFreshInstance) {
  const std::string url = "ftp://u:p@127.0.0.1:" + std::to_string(test::closedPort()) + "/";
  auto listing = zembrel->getDirectoryListFromURL(url, 2LL);
  ASSERT_TRUE(listing.has_value());
  EXPECT_TRUE(listing->directories.empty());
  EXPECT_EQ(listing->result, "Couldn't connect to server|7");
  EXPECT_EQ(zembrel->createDirectoryWithURL(url + "d"), "Couldn't connect to server|7");
}

TEST_F(FtpDirectory, UnsplittableUrlsGiveAnErrorResult) {
  const std::string malformed = "URL using bad/illegal format or missing URL|3";
  for (const char* url : {"", "no url at all", "ftp://"}) {
    auto listing = zembrel->getDirectoryListFromURL(url, 1LL);
    ASSERT_TRUE(listing.has_value()) << url;
    EXPECT_EQ(listing->result, malformed) << url;
    EXPECT_EQ(zembrel->createDirectoryWithURL(url), malformed) << url;
    EXPECT_EQ(zembrel->removeDirectoryWithURL(url), malformed) << url;
  }
}

TEST_F(FtpDirectory, MakesAndRemovesNestedRelativeDirectories) {
  FtpTestServer server;
  fs::create_directories(server.home() / "a" / "b");
  EXPECT_EQ(zembrel->createDirectoryWithURL(server.url("/a/b/new%20one")),
            "\"/a/b/new one\" directory created.|257");
  EXPECT_TRUE(fs::is_directory(server.home() / "a/b/new one"));
  EXPECT_EQ(server.count("CMD MKD"), 1);
  EXPECT_EQ(zembrel->removeDirectoryWithURL(server.url("/a/b/new%20one/")),
            "Directory removed.|250");
  EXPECT_FALSE(fs::exists(server.home() / "a/b/new one"));
  EXPECT_EQ(server.logins(), 1);
  EXPECT_EQ(zembrel->removeDirectoryWithURL(server.url("/a/b/new%20one")),
            "No such file or directory.|550");
}

TEST_F(FtpDirectory, DirectoryCommandsAfterAListingStartFromTheLoginDirectory) {
  // The listing leaves the reused connection in /a; the paths of MKD and RMD
  // still name folders below the login directory.
  FtpTestServer server;
  fs::create_directories(server.home() / "a" / "b");
  ASSERT_TRUE(zembrel->getDirectoryListFromURL(server.url("/a/b/")));
  EXPECT_EQ(zembrel->createDirectoryWithURL(server.url("/a/made")),
            "\"/a/made\" directory created.|257");
  EXPECT_TRUE(fs::is_directory(server.home() / "a/made"));
  ASSERT_TRUE(zembrel->getDirectoryListFromURL(server.url("/a/")));
  EXPECT_EQ(zembrel->removeDirectoryWithURL(server.url("/a/made")), "Directory removed.|250");
  EXPECT_FALSE(fs::exists(server.home() / "a/made"));
  EXPECT_EQ(server.logins(), 1);
}

TEST_F(FtpDirectory, CloseDropsTheConnection) {
  FtpTestServer server;
  ASSERT_TRUE(zembrel->getDirectoryListFromURL(server.url("/")).has_value());
  EXPECT_TRUE(zembrel->snapshot().hasCurlHandle);
  zembrel->closeFTPConnection();
  EXPECT_FALSE(zembrel->snapshot().hasCurlHandle);
  ASSERT_TRUE(zembrel->getDirectoryListFromURL(server.url("/")).has_value());
  EXPECT_EQ(server.logins(), 2);
}

TEST_F(FtpDirectory, DestroyingAnInstanceClosesItsConnectionAndBalancesLibcurl) {
  FtpTestServer server;
  const int balance = detail::curlGlobalBalance();
  {
    auto local = Zembrel::initZembrel();
    ASSERT_TRUE(local->getDirectoryListFromURL(server.url("/")).has_value());
    ASSERT_TRUE(local->snapshot().hasCurlHandle);
    EXPECT_EQ(server.count("DISCONNECT"), 0)
        << "the handle keeps its connection between operations";
  }
  EXPECT_EQ(detail::curlGlobalBalance(), balance);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (server.count("DISCONNECT") == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(server.count("DISCONNECT"), 1);
}

}  // namespace
}  // namespace zembrel
