#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "Requirements.hpp"
#include "ServerProcess.hpp"
#include "zembrel/platform/TempDir.hpp"

namespace zembrel::detail {
namespace {

using test::ScopedTempDir;

std::filesystem::path ourName(const std::filesystem::path& parent) {
  return parent / ("zembrel-" + std::to_string(::geteuid()));
}

TEST(PrivateTempDir, CreatedPrivateAndReused) {
  ScopedTempDir parent;
  auto dir = privateTempDirUnder(parent.path());
  ASSERT_TRUE(dir);
  EXPECT_EQ(*dir, ourName(parent.path()));
  struct stat info {};
  ASSERT_EQ(::lstat(dir->c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(privateTempDirUnder(parent.path()), dir);
}

TEST(PrivateTempDir, RefusesASymbolicLink) {
  ScopedTempDir parent;
  ScopedTempDir elsewhere;
  std::filesystem::create_directory_symlink(elsewhere.path(), ourName(parent.path()));
  EXPECT_FALSE(privateTempDirUnder(parent.path()));
}

TEST(PrivateTempDir, RefusesAFolderOwnedByAnotherUser) {
  ScopedTempDir parent;
  auto dir = ourName(parent.path());
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  const uid_t other = ::geteuid() == 0 ? 65534 : 0;
  if (::chown(dir.c_str(), other, static_cast<gid_t>(-1)) != 0) {
    ZEMBREL_SKIP_WITHOUT("root", "cannot give a folder to another user here (not root)");
  }
  EXPECT_FALSE(privateTempDirUnder(parent.path()));
}

TEST(PrivateTempDir, TightensLooseModeOfOurOwnFolder) {
  ScopedTempDir parent;
  auto dir = ourName(parent.path());
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
  ASSERT_TRUE(privateTempDirUnder(parent.path()));
  struct stat info {};
  ASSERT_EQ(::lstat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(UniqueString, NeverRepeats) {
  std::set<std::string> seen;
  for (int i = 0; i < 10000; ++i) EXPECT_TRUE(seen.insert(uniqueString()).second);
}

TEST(CreateFreshFile, ReplacesAPlantedLinkInsteadOfFollowingIt) {
  ScopedTempDir dir;
  auto victim = dir.path() / "victim";
  test::writeFile(victim, "keep me");
  auto path = dir.path() / "response";
  std::filesystem::create_symlink(victim, path);
  auto fd = createFreshFile(path);
  ASSERT_TRUE(fd);
  ASSERT_TRUE(writeAll(fd.get(), "new", 3));
  EXPECT_EQ(test::readFile(victim), "keep me");
  EXPECT_FALSE(std::filesystem::is_symlink(path));
  EXPECT_EQ(test::readFile(path), "new");
}

}  // namespace
}  // namespace zembrel::detail
