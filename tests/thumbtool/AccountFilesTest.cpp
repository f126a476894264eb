// The account databases read directly: when nsswitch.conf allows it, and what counts as naming
// an id.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "AccountFiles.hpp"
#include "ServerProcess.hpp"

namespace thumbtool {
namespace {

namespace fs = std::filesystem;
using zembrel::test::ScopedTempDir;
using zembrel::test::writeFile;

TEST(AccountFilesTest, OnlyLocalFilesAreReadDirectly) {
  struct SwitchCase {
    const char* name;
    const char* text;
    bool users;
    bool groups;
  };
  for (const SwitchCase& c : std::vector<SwitchCase>{
           {"files for both", "passwd: files\ngroup:\tfiles\n", true, true},
           {"a comment after the list", "passwd: files # local only\ngroup: files", true, true},
           {"a directory service", "passwd: files ldap\ngroup: files\n", false, true},
           {"an action", "passwd: files\ngroup: files [NOTFOUND=return] db\n", true, false},
           {"compat's netgroup entries", "passwd: compat\ngroup: compat\n", false, false},
           {"an empty list is the built-in default", "passwd:\ngroup: files\n", false, true},
           {"no line at all", "hosts: files dns\n", false, false},
           {"commented out", "#passwd: ldap\npasswd: files\n# group: files\n", true, false},
           {"a longer name is another database", "passwd_x: ldap\npasswd: files\n", true, false},
           {"names in any letter case", "passwd: files\nPASSWD: ldap\n", false, false},
           {"every line counts", "passwd: files\npasswd: sss\ngroup: files\n", false, true},
       }) {
    EXPECT_EQ(resolvedFromFilesOnly(c.text, AccountDatabase::users), c.users) << c.name;
    EXPECT_EQ(resolvedFromFilesOnly(c.text, AccountDatabase::groups), c.groups) << c.name;
  }
}

TEST(AccountFilesTest, AnIdIsNamedByAUsersUidOrAGroupsGid) {
  constexpr unsigned long kId = 1895825493;
  ScopedTempDir dir;
  const fs::path nsswitch = dir.path() / "nsswitch.conf";
  const fs::path passwd = dir.path() / "passwd";
  const fs::path group = dir.path() / "group";
  writeFile(nsswitch, "passwd: files\ngroup: files\n");
  const AccountFiles files{nsswitch.c_str(), passwd.c_str(), group.c_str()};
  const std::string id = std::to_string(kId);
  struct NamingCase {
    const char* name;
    std::string users;   // passwd's contents
    std::string groups;  // group's contents
    bool named;
  };
  for (const NamingCase& c : std::vector<NamingCase>{
           {"a user's uid", "root:x:0:0::/:/bin/sh\nrun:x:" + id + ":5::/:/bin/sh\n", "root:x:0:\n",
            true},
           {"a group's gid, last line unended", "root:x:0:0::/:/bin/sh\n", "run:x:" + id, true},
           {"only as a user's group", "run:x:7:" + id + "::/:/bin/sh\n", "", false},
           {"only as a prefix", "run:x:" + id + "9:0::/:/bin/sh\n", "run:x:9" + id + ":\n", false},
           {"a name or a member list", id + ":x:7:7::/:/bin/sh\n", "g:x:8:" + id + "\n", false},
           {"lines too short", "run:" + id + "\n", "run\n" + id + "\n", false},
       }) {
    writeFile(passwd, c.users);
    writeFile(group, c.groups);
    EXPECT_EQ(accountsUseId(kId, files), c.named) << c.name;
  }
  // Missing files name nothing; one that cannot be read might name anything.
  fs::remove(passwd);
  fs::remove(group);
  EXPECT_FALSE(accountsUseId(kId, files));
  fs::create_directory(passwd);
  EXPECT_TRUE(accountsUseId(kId, files));
}

}  // namespace
}  // namespace thumbtool
