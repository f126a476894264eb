#pragma once

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "LogCapture.hpp"
#include "Requirements.hpp"

namespace zembrel::test {

// An item as the Secret Service itself reports it, read without our code.
struct ServiceItem {
  std::string path;
  std::string label;
  std::string account;
  std::string schema;    // the "xdg:schema" attribute
  std::string password;  // every byte of the secret
};

// Tests against the real keyring of the private session (keyring-session).
// Every name a test makes through name() is cleared from the keyring after it.
class KeyringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
      ZEMBREL_SKIP_WITHOUT("keyring",
                           "no session bus: run inside tests/servers/keyring-session "
                           "(scripts/test does)");
    }
    GError* error = nullptr;
    service_ = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    ASSERT_NE(service_, nullptr) << (error ? error->message : "");
  }

  void TearDown() override {
    if (!service_) return;
    for (const auto& name : names_) {
      for (SecretItem* item : search(name)) {
        secret_item_delete_sync(item, nullptr, nullptr);
        g_object_unref(item);
      }
    }
    g_object_unref(service_);
  }

  std::string name(const std::string& prefix) {
    names_.push_back(uniqueName(prefix));
    return names_.back();
  }

  // Every item whose service attribute is `service`, any schema.
  std::vector<ServiceItem> items(const std::string& service) {
    std::vector<ServiceItem> found;
    for (SecretItem* item : search(service)) {
      ServiceItem entry;
      entry.path = g_dbus_proxy_get_object_path(G_DBUS_PROXY(item));
      // Label and attributes straight from the service: libsecret's cached
      // copies on reused proxies may be older.
      GVariant* all = g_dbus_connection_call_sync(
          g_dbus_proxy_get_connection(G_DBUS_PROXY(item)), "org.freedesktop.secrets",
          entry.path.c_str(), "org.freedesktop.DBus.Properties", "GetAll",
          g_variant_new("(s)", "org.freedesktop.Secret.Item"), G_VARIANT_TYPE("(a{sv})"),
          G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      if (all) {
        GVariant* properties = g_variant_get_child_value(all, 0);
        const gchar* label = nullptr;
        if (g_variant_lookup(properties, "Label", "&s", &label)) entry.label = label;
        GVariant* attributes =
            g_variant_lookup_value(properties, "Attributes", G_VARIANT_TYPE("a{ss}"));
        if (attributes) {
          const gchar* text = nullptr;
          if (g_variant_lookup(attributes, "account", "&s", &text)) entry.account = text;
          if (g_variant_lookup(attributes, "xdg:schema", "&s", &text)) entry.schema = text;
          g_variant_unref(attributes);
        }
        g_variant_unref(properties);
        g_variant_unref(all);
      }
      if (SecretValue* value = secret_item_get_secret(item)) {
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        entry.password.assign(bytes, length);
        secret_value_unref(value);
      }
      found.push_back(entry);
      g_object_unref(item);
    }
    return found;
  }

  std::string defaultCollectionPath() {
    SecretCollection* collection = secret_collection_for_alias_sync(
        service_, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
    if (!collection) return {};
    std::string path = g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection));
    g_object_unref(collection);
    return path;
  }

  SecretService* service_ = nullptr;

 private:
  std::vector<SecretItem*> search(const std::string& service) {
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"),
                        const_cast<char*>(service.c_str()));
    GList* list = secret_service_search_sync(
        service_, nullptr, attributes,
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr,
        nullptr);
    g_hash_table_unref(attributes);
    std::vector<SecretItem*> found;
    for (GList* at = list; at; at = at->next) found.push_back(SECRET_ITEM(at->data));
    g_list_free(list);
    return found;
  }

  std::vector<std::string> names_;
};

}  // namespace zembrel::test
