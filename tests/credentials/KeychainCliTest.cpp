// `zembrel keychain` against the real keyring, checked with secret-tool, an
// independent Secret Service client.

#include <cstdlib>
#include <string>
#include <vector>

#include "zembrel/Zembrel.hpp"

#include "KeyringFixture.hpp"
#include "ServerProcess.hpp"
#include "Subprocess.hpp"

namespace zembrel::test {
namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string quoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) {
    if (c == '\'') {
      result += "'\\''";
    } else {
      result += c;
    }
  }
  return result + "'";
}

class KeychainCli : public KeyringTest {
 protected:
  // Runs a shell command line with `input` on its standard input.
  Outcome run(const std::string& command, const std::string& input = "") {
    ChildOptions options;
    options.input = input;
    options.err = Output::capture;
    const ProgramRun done = runProgram({"/bin/sh", "-c", command}, options);
    return {done.status, done.out, done.err};
  }

  Outcome cli(const std::string& arguments, const std::string& input = "") {
    return run(quoted(ZEMBREL_CLI_PATH) + " keychain " + arguments, input);
  }

  ScopedTempDir dir_;
};

TEST_F(KeychainCli, StoredPasswordIsFoundBySecretToolByteForByte) {
  const auto service = name("cli store");
  const auto stored = cli("store " + quoted(service) + " alice", "pass word\n");
  ASSERT_EQ(stored.status, 0) << stored.err;
  EXPECT_EQ(stored.err, "");

  // The whole of standard input is the password, its line feed included.
  const auto lookup = run("secret-tool lookup service " + quoted(service));
  EXPECT_EQ(lookup.status, 0) << lookup.err;
  EXPECT_EQ(lookup.out, "pass word\n");
  const auto got = cli("get " + quoted(service));
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.out, "[\"pass word\\n\",\"alice\"]\n");

  const auto deleted = cli("delete " + quoted(service));
  EXPECT_EQ(deleted.status, 0);
  EXPECT_EQ(deleted.err, "");
  EXPECT_NE(run("secret-tool lookup service " + quoted(service)).status, 0);
}

TEST_F(KeychainCli, ItemsSecretToolStoredAreReadAndUpdatedInPlace) {
  const auto service = name("cli peer");
  const auto stored =
      run("secret-tool store --label=x service " + quoted(service) + " account bob", "from-peer");
  ASSERT_EQ(stored.status, 0) << stored.err;
  EXPECT_EQ(cli("get " + quoted(service)).out, "[\"from-peer\",\"bob\"]\n");

  EXPECT_EQ(cli("store " + quoted(service) + " carol", "updated").status, 0);
  const auto found = items(service);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].account, "carol");
  EXPECT_EQ(found[0].password, "updated");
  // The peer still finds its item (its own attributes stay).
  EXPECT_EQ(run("secret-tool lookup service " + quoted(service) + " account carol").out, "updated");
}

TEST_F(KeychainCli, RenameMissingReadAndDeleteOfMissing) {
  const auto oldService = name("cli old");
  const auto newService = name("cli new");
  ASSERT_EQ(cli("store " + quoted(oldService) + " alice", "pw").status, 0);
  const auto renamed =
      cli("store " + quoted(newService) + " dave --old-service " + quoted(oldService), "pw2");
  EXPECT_EQ(renamed.status, 0) << renamed.err;
  const auto missing = cli("get " + quoted(oldService));
  EXPECT_EQ(missing.out, "[\"\",\"\"]\n");
  EXPECT_EQ(missing.status, 1);  // found nothing: a failure for scripts
  EXPECT_EQ(cli("get " + quoted(newService)).out, "[\"pw2\",\"dave\"]\n");

  const auto deleted = cli("delete " + quoted(oldService));
  EXPECT_EQ(deleted.err, "zembrel: error finding keychain item: -25300\n");
  EXPECT_EQ(deleted.status, 1);
  EXPECT_EQ(cli("get").status, 2);  // usage error: no service name
}

}  // namespace
}  // namespace zembrel::test

namespace zembrel::test {
namespace {

// `--password-from-keyring SERVICE` on the FTP commands, against a real FTP
// server whose password holds characters a URL must escape: the login takes
// the item's password, and its account unless the URL names a user; the
// password is printed nowhere.
TEST_F(KeychainCli, FtpCommandsTakeThePasswordFromTheKeyring) {
  const std::string password = "p@ss:w/rd%?# é";
  ScopedTempDir home;
  ScopedTempDir records;
  const std::string log = (records.path() / "events.log").string();
  ServerProcess server({"/usr/bin/python3", (serversDir() / "ftp_server.py").string(),
                        home.path().string(), "--user", "alice", "--password", password, "--log",
                        log});
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  const auto service = name("ftp login");
  const auto nameless = name("ftp nameless");
  auto zembrel = Zembrel::initZembrel();
  zembrel->addGenericPassword(password, service, "alice", "");
  zembrel->addGenericPassword(password, nameless, "", "");
  writeFile(dir_.path() / "f.txt", "x");

  struct Case {
    std::string arguments;
    int status;
    std::string out;  // what stdout starts with
  };
  const std::string cliPath = quoted(ZEMBREL_CLI_PATH);
  const std::vector<Case> cases = {
      // the account comes from the item
      {"ftp-mkdir " + quoted("ftp://" + host + "/made") + " --password-from-keyring " +
           quoted(service),
       0, "\"/made\" directory created.|257"},
      {"ftp-upload " + quoted(dir_.path() / "f.txt") + " " + quoted("ftp://" + host + "/made/") +
           " --password-from-keyring " + quoted(service),
       0, "#progress|    1\n#complete|226"},
      // the URL's user wins over an item without account
      {"ftp-list " + quoted("ftp://alice@" + host + "/") + " --level 1 --password-from-keyring " +
           quoted(nameless),
       0, "{\"directories\":[{\"name\":\"made\""},
      {"ftp-rmdir " + quoted("ftp://" + host + "/gone") + " --password-from-keyring " +
           quoted(service),
       1, "No such file or directory.|550"},
      // no user anywhere, no item, or a password in the URL as well
      {"ftp-list " + quoted("ftp://" + host + "/") + " --password-from-keyring " + quoted(nameless),
       1, ""},
      {"ftp-list " + quoted("ftp://" + host + "/") + " --password-from-keyring " +
           quoted(name("ftp absent")),
       1, ""},
      {"ftp-list " + quoted("ftp://alice:other@" + host + "/") + " --password-from-keyring " +
           quoted(service),
       2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const Outcome run = this->run(cliPath + " " + c.arguments);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_EQ(run.out.substr(0, c.out.size()), c.out) << run.out;
    EXPECT_EQ(run.out.find("p@ss"), std::string::npos) << run.out;
    EXPECT_EQ(run.err.find("p@ss"), std::string::npos) << run.err;
  }
  EXPECT_EQ(readFile(home.path() / "made/f.txt"), "x");
  // The first four commands logged in; the refused ones never connected.
  const std::string events = readFile(log);
  std::size_t logins = 0;
  for (std::size_t at = events.find("LOGIN alice"); at != std::string::npos;
       at = events.find("LOGIN alice", at + 1))
    ++logins;
  EXPECT_EQ(logins, 4u);
}

}  // namespace
}  // namespace zembrel::test
