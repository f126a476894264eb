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

TEST_F(Keychain, ALostBusNeverEndsTheHostProcess) {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  ASSERT_NE(bus, nullptr);
  g_dbus_connection_set_exit_on_close(bus, TRUE);  // GIO's default for this connection
  EXPECT_EQ(zembrel_->genericPasswordByServiceName(name("any")), (Texts{"", ""}));
  EXPECT_FALSE(g_dbus_connection_get_exit_on_close(bus));
  g_object_unref(bus);
}

// A collection of the test's own, made, unlocked and deleted with a master
// password through the keyring daemon's own interface: the standard API
// unlocks only through a prompt, which a test session cannot answer. Locking
// goes through the standard API.
class TestCollection {
 public:
  explicit TestCollection(std::string masterPassword) : master_(std::move(masterPassword)) {
    bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GVariant* opened = call(kServicePath, kServiceInterface, "OpenSession",
                            g_variant_new("(sv)", "plain", g_variant_new_string("")), "(vo)");
    session_ = pathFrom(opened, 1);

    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                          g_variant_new_string("zembrel test"));
    GVariant* made = call(kServicePath, kInternalInterface, "CreateWithMasterPassword",
                          g_variant_new("(a{sv}@(oayays))", &properties, secret(master_)), "(o)");
    path_ = pathFrom(made, 0);
  }
  TestCollection(const TestCollection&) = delete;
  TestCollection& operator=(const TestCollection&) = delete;
  ~TestCollection() {
    unlock();
    callAndDrop(path_, kCollectionInterface, "Delete", nullptr, "(o)");
    g_object_unref(bus_);
  }

  const std::string& path() const { return path_; }

  void addItem(const std::string& service, const std::string& account,
               const std::string& password) {
    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&attributes, "{ss}", "service", service.c_str());
    g_variant_builder_add(&attributes, "{ss}", "account", account.c_str());
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Label",
                          g_variant_new_string(service.c_str()));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Attributes",
                          g_variant_builder_end(&attributes));
    callAndDrop(path_, kCollectionInterface, "CreateItem",
                g_variant_new("(a{sv}@(oayays)b)", &properties, secret(password), FALSE), "(oo)");
  }

  void lock() {
    const gchar* paths[] = {path_.c_str(), nullptr};
    callAndDrop(kServicePath, kServiceInterface, "Lock", g_variant_new("(^ao)", paths), "(aoo)");
  }

  void unlock() {
    callAndDrop(kServicePath, kInternalInterface, "UnlockWithMasterPassword",
                g_variant_new("(o@(oayays))", path_.c_str(), secret(master_)), "()");
  }

  void callAndDrop(const std::string& path, const char* interface, const char* method,
                   GVariant* parameters, const char* replyType) {
    if (GVariant* reply = call(path, interface, method, parameters, replyType)) {
      g_variant_unref(reply);
    }
  }

  // The object path a call returned first; "" when it failed.
  std::string pathFrom(GVariant* reply, std::size_t index) {
    if (!reply) return {};
    const gchar* path = nullptr;
    g_variant_get_child(reply, index, "&o", &path);
    std::string result = path;
    g_variant_unref(reply);
    return result;
  }

  // The collection the "default" alias names now.
  std::string defaultAlias() {
    GVariant* read =
        call(kServicePath, kServiceInterface, "ReadAlias", g_variant_new("(s)", "default"), "(o)");
    return pathFrom(read, 0);
  }

  void setDefaultAlias(const std::string& collection) {
    callAndDrop(kServicePath, kServiceInterface, "SetAlias",
                g_variant_new("(so)", "default", collection.c_str()), "()");
  }

 private:
  static constexpr const char* kServicePath = "/org/freedesktop/secrets";
  static constexpr const char* kServiceInterface = "org.freedesktop.Secret.Service";
  static constexpr const char* kCollectionInterface = "org.freedesktop.Secret.Collection";
  static constexpr const char* kInternalInterface =
      "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface";

  GVariant* secret(const std::string& value) {
    return g_variant_new(
        "(o@ay@ays)", session_.c_str(), g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, value.data(), value.size(), 1),
        "text/plain");
  }

  // A synchronous call that must succeed; null (and a test failure) when not.
  GVariant* call(const std::string& path, const char* interface, const char* method,
                 GVariant* parameters, const char* replyType) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus_, "org.freedesktop.secrets", path.c_str(), interface, method, parameters,
        G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (!reply) {
      ADD_FAILURE() << method << ": " << error->message;
      g_error_free(error);
    }
    return reply;
  }

  std::string master_;
  GDBusConnection* bus_ = nullptr;
  std::string session_;
  std::string path_;
};

TEST_F(Keychain, LockedCollectionIsAFailureNeverAnEmptyPassword) {
  TestCollection collection("master password");
  const auto service = name("locked");
  collection.addItem(service, "alice", "kept");
  collection.lock();
  {
    LogCapture log;
    EXPECT_EQ(zembrel_->genericPasswordByServiceName(service), (Texts{"", ""}));
    zembrel_->addGenericPassword("changed", service, "bob", "");
    zembrel_->deleteGenericPasswordFromServiceName(service);
    EXPECT_EQ(log.text(),
              "zembrel: error finding keychain item: -25308\n"
              "zembrel: found new service name but modify attributes error: -25308\n"
              "zembrel: error deleting keychain item: -25308\n");
  }

  // New items go to the default collection; a locked one takes nothing, and
  // the log says why (no prompt, no wait).
  const auto fresh = name("locked-default");
  const std::string login = collection.defaultAlias();
  collection.setDefaultAlias(collection.path());
  {
    LogCapture log;
    zembrel_->addGenericPassword("pw", fresh, "carol", "");
    EXPECT_EQ(log.text(), "zembrel: error adding keychain item: -25308\n");
  }
  collection.setDefaultAlias(login);

  collection.unlock();
  EXPECT_TRUE(items(fresh).empty());
  const auto found = items(service);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].account, "alice");
  EXPECT_EQ(found[0].password, "kept");
  EXPECT_EQ(zembrel_->genericPasswordByServiceName(service), (Texts{"kept", "alice"}));
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
