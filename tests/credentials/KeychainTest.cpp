// The keyring operations against the real Secret Service of keyring-session.

#include <memory>
#include <string>
#include <vector>

#include "KeyringFixture.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel::test {
namespace {

using Texts = std::vector<std::string>;
using namespace std::string_literals;

class Keychain : public KeyringTest {
 protected:
  std::shared_ptr<Zembrel> zembrel_ = Zembrel::initZembrel();
};

TEST_F(Keychain, FirstStoreMakesOneLabelledItemInTheDefaultCollection) {
  const auto service = name("first");
  LogCapture log;
  zembrel_->addGenericPassword("secret-1", service, "alice", "");
  EXPECT_EQ(log.text(), "");

  const auto found = items(service);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].account, "alice");
  EXPECT_EQ(found[0].password, "secret-1");
  EXPECT_EQ(found[0].label, service);
  EXPECT_EQ(found[0].schema, "org.zembrel.GenericPassword");
  EXPECT_EQ(found[0].path.rfind(defaultCollectionPath() + "/", 0), 0u) << found[0].path;
  // Password first, account second.
  EXPECT_EQ(zembrel_->genericPasswordByServiceName(service), (Texts{"secret-1", "alice"}));
}

TEST_F(Keychain, StoreAgainReplacesAccountAndPasswordOfTheSameItem) {
  const auto service = name("again");
  zembrel_->addGenericPassword("old-secret", service, "alice", "");
  const auto before = items(service);
  ASSERT_EQ(before.size(), 1u);

  LogCapture log;
  zembrel_->addGenericPassword("new-secret", service, "bob", "");
  EXPECT_EQ(log.text(), "");
  const auto after = items(service);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].path, before[0].path);
  EXPECT_EQ(after[0].account, "bob");
  EXPECT_EQ(after[0].password, "new-secret");
  EXPECT_EQ(zembrel_->genericPasswordByServiceName(service), (Texts{"new-secret", "bob"}));
}

class KeychainRename : public Keychain, public ::testing::WithParamInterface<bool> {};

TEST_P(KeychainRename, MovesThePasswordToTheNewName) {
  const bool newNameHasItem = GetParam();
  const auto oldService = name("rename-old");
  const auto newService = name("rename-new");
  zembrel_->addGenericPassword("old-secret", oldService, "old-account", "");
  if (newNameHasItem) zembrel_->addGenericPassword("other", newService, "other-account", "");

  LogCapture log;
  zembrel_->addGenericPassword("moved", newService, "new-account", oldService);
  EXPECT_EQ(log.text(), "");
  EXPECT_TRUE(items(oldService).empty());
  const auto found = items(newService);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].account, "new-account");
  EXPECT_EQ(found[0].password, "moved");
  EXPECT_EQ(zembrel_->genericPasswordByServiceName(oldService), (Texts{"", ""}));
}

INSTANTIATE_TEST_SUITE_P(NewNameWithAndWithoutItem, KeychainRename, ::testing::Bool());

TEST_F(Keychain, OldNameEqualToTheNewOneMakesTheItemAnew) {
  const auto service = name("same");
  zembrel_->addGenericPassword("first", service, "alice", "");
  const auto before = items(service);
  ASSERT_EQ(before.size(), 1u);

  zembrel_->addGenericPassword("second", service, "bob", service);
  const auto after = items(service);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_NE(after[0].path, before[0].path);  // deleted, then created
  EXPECT_EQ(after[0].account, "bob");
  EXPECT_EQ(after[0].password, "second");
}

TEST_F(Keychain, OldNameWithoutItemActsAsNoOldName) {
  const auto service = name("plain");
  const auto missing = name("never-stored");
  LogCapture log;
  zembrel_->addGenericPassword("pw", service, "alice", missing);
  EXPECT_EQ(log.text(), "");
  const auto found = items(service);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].password, "pw");
  EXPECT_TRUE(items(missing).empty());
}

TEST_F(Keychain, ReadOfAMissingServiceGivesTwoEmptyTextsQuietly) {
  LogCapture log;
  EXPECT_EQ(zembrel_->genericPasswordByServiceName(name("missing")), (Texts{"", ""}));
  EXPECT_EQ(log.text(), "");
}

TEST_F(Keychain, PasswordIsStoredWholeAndReadUpToItsFirstZeroByte) {
  const auto service = name("zero");
  const std::string password = "ab\0cd\n"s;
  zembrel_->addGenericPassword(password, service, "alice", "");
  const auto found = items(service);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].password, password);
  EXPECT_EQ(zembrel_->genericPasswordByServiceName(service), (Texts{"ab", "alice"}));
}

TEST_F(Keychain, PasswordThatIsNotUtf8ReadsAsAnEmptyList) {
  const auto service = name("binary");
  zembrel_->addGenericPassword("\xff\xfe", service, "alice", "");
  const auto found = items(service);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].password, "\xff\xfe");
  EXPECT_EQ(zembrel_->genericPasswordByServiceName(service), Texts{});
}

TEST_F(Keychain, NonAsciiTextsAreKeptByTheirFullUtf8Bytes) {
  const auto service = name("Dienst ü 日本 ☃");
  const std::string account = "José Ñúñez";
  const std::string password = "pä$$wörd 🔑";
  zembrel_->addGenericPassword(password, service, account, "");
  const auto found = items(service);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].account, account);
  EXPECT_EQ(found[0].password, password);
  EXPECT_EQ(found[0].label, service);
  EXPECT_EQ(zembrel_->genericPasswordByServiceName(service), (Texts{password, account}));
  // A name that differs in one character is another item.
  EXPECT_EQ(zembrel_->genericPasswordByServiceName(service + "\u00e9"), (Texts{"", ""}));
}

TEST_F(Keychain, DeleteRemovesTheItem) {
  const auto service = name("delete");
  zembrel_->addGenericPassword("pw", service, "alice", "");
  LogCapture log;
  zembrel_->deleteGenericPasswordFromServiceName(service);
  EXPECT_EQ(log.text(), "");
  EXPECT_TRUE(items(service).empty());
}

TEST_F(Keychain, DeleteOfAnEmptyNameDoesNothingAndOfAMissingOneLogsNotFound) {
  const auto other = name("bystander");
  zembrel_->addGenericPassword("pw", other, "alice", "");
  {
    LogCapture log;
    zembrel_->deleteGenericPasswordFromServiceName("");
    EXPECT_EQ(log.text(), "");
  }
  EXPECT_EQ(items(other).size(), 1u);
  LogCapture log;
  zembrel_->deleteGenericPasswordFromServiceName(name("missing"));
  EXPECT_EQ(log.text(), "zembrel: error finding keychain item: -25300\n");
}

// Names the Secret Service cannot carry are refused with their own status,
// never cut short or mistaken for a missing item.
struct RefusedCase {
  const char* what;
  std::string service;  // appended to a fresh name
  std::string account;
  const char* storeLog;
};

class KeychainRefusedText : public Keychain, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(KeychainRefusedText, IsRefusedWithItsOwnStatus) {
  const auto& param = GetParam();
  const auto base = name("refused");
  const auto service = base + param.service;
  {
    LogCapture log;
    zembrel_->addGenericPassword("pw", service, param.account, "");
    EXPECT_EQ(log.text(), param.storeLog);
  }
  EXPECT_TRUE(items(base).empty()) << "a name was cut at its zero byte";
  EXPECT_TRUE(items(service).empty());
  if (param.service.empty()) return;
  {
    LogCapture log;
    EXPECT_EQ(zembrel_->genericPasswordByServiceName(service), (Texts{"", ""}));
    zembrel_->deleteGenericPasswordFromServiceName(service);
    EXPECT_EQ(log.text(),
              "zembrel: error finding keychain item: -50\n"
              "zembrel: error finding keychain item: -50\n");
  }
  // A refusal leaves nothing behind: the next call works.
  zembrel_->addGenericPassword("pw", base, "alice", "");
  EXPECT_EQ(zembrel_->genericPasswordByServiceName(base), (Texts{"pw", "alice"}));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, KeychainRefusedText,
    ::testing::Values(RefusedCase{"ServiceNotUtf8", "\xff", "alice",
                                  "zembrel: error finding keychain item: -50\n"},
                      RefusedCase{"ZeroByteInService", "\0tail"s, "alice",
                                  "zembrel: error finding keychain item: -50\n"},
                      RefusedCase{"AccountNotUtf8", "", "al\xc3(ce",
                                  "zembrel: error adding keychain item: -50\n"},
                      RefusedCase{"ZeroByteInAccount", "", "al\0ice"s,
                                  "zembrel: error adding keychain item: -50\n"}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace zembrel::test
