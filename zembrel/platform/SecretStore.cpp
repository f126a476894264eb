#include "zembrel/platform/SecretStore.hpp"

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <condition_variable>
#include <mutex>
#include <utility>

#include "zembrel/platform/Handles.hpp"

namespace zembrel::detail {

struct KeyringItem {
  explicit KeyringItem(SecretItem* adopted) : item(adopted) {}
  KeyringItem(const KeyringItem&) = delete;
  KeyringItem& operator=(const KeyringItem&) = delete;
  ~KeyringItem() { g_object_unref(item); }
  SecretItem* item;
};

namespace {

struct GObjectUnref {
  void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
  void operator()(GError* error) const noexcept { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct HashTableUnref {
  void operator()(GHashTable* table) const noexcept { g_hash_table_unref(table); }
};
using HashTablePtr = std::unique_ptr<GHashTable, HashTableUnref>;

struct SecretValueUnref {
  void operator()(SecretValue* value) const noexcept { secret_value_unref(value); }
};
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

struct GListFree {
  void operator()(GList* list) const noexcept { g_list_free_full(list, g_object_unref); }
};
using ObjectListPtr = std::unique_ptr<GList, GListFree>;

// Items we make: the schema's name goes into the item as "xdg:schema". Lookups
// pass no schema, so items other programs made with these attributes are
// found too.
const SecretSchema& passwordSchema() {
  static const SecretSchema schema = [] {
    SecretSchema made{};
    made.name = "org.zembrel.GenericPassword";
    made.flags = SECRET_SCHEMA_NONE;
    made.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    made.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return made;
  }();
  return schema;
}

// A lock taken with a deadline, built from a plain mutex and a condition
// variable. std::timed_mutex would do, but libstdc++ takes it with
// pthread_mutex_clocklock, which ThreadSanitizer does not see: every unlock
// would then look like one of a lock never taken, hiding a real wrong-thread
// unlock among them. Meets the TimedLockable requirements for unique_lock.
class DeadlineLock {
 public:
  bool try_lock_until(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock guard(mutex_);
    if (!freed_.wait_until(guard, deadline, [this] { return !held_; })) return false;
    held_ = true;
    return true;
  }

  void unlock() {
    {
      std::lock_guard guard(mutex_);
      held_ = false;
    }
    freed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable freed_;  // waits on the steady clock
  bool held_ = false;
};

// Process-wide connection to the Secret Service, guarded by `lock`. The
// service is never released at exit: unreffing it then would race GDBus's
// worker thread for nothing.
struct SharedConnection {
  DeadlineLock lock;
  // Every reply and signal of our proxies is dispatched here, and only while
  // an operation iterates it, so the host's own loops never see them.
  GMainContext* context = g_main_context_new();
  // On the process's session bus connection (libsecret knows no other).
  SecretService* service = nullptr;

  void drop() noexcept {
    if (service) g_object_unref(service);
    service = nullptr;
  }
};

SharedConnection& sharedConnection() {
  static SharedConnection shared;
  return shared;
}

// One asynchronous call's outcome. Shared between the waiting operation and
// the completion callback: a callback that comes after the operation gave up
// still has somewhere to land.
struct Pending {
  Pending() = default;
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;
  ~Pending() {
    if (result) g_object_unref(result);
    if (source) g_object_unref(source);
  }
  GObject* source = nullptr;
  GAsyncResult* result = nullptr;  // set when the call completed
};
using PendingRef = std::shared_ptr<Pending>;

void onReady(GObject* source, GAsyncResult* result, gpointer data) noexcept {
  std::unique_ptr<PendingRef> holder(static_cast<PendingRef*>(data));
  Pending& pending = **holder;
  if (source) pending.source = G_OBJECT(g_object_ref(source));
  pending.result = G_ASYNC_RESULT(g_object_ref(result));
}

gboolean cancelNow(gpointer cancellable) noexcept {
  g_cancellable_cancel(G_CANCELLABLE(cancellable));
  return G_SOURCE_REMOVE;
}

gboolean wakeOnly(gpointer) noexcept { return G_SOURCE_REMOVE; }

bool isAnyOf(const GError* error, GQuark domain, std::initializer_list<int> codes) {
  for (int code : codes) {
    if (g_error_matches(error, domain, code)) return true;
  }
  return false;
}

// Maps a failure of GIO, GDBus or libsecret to our status; `fallback` for
// anything without a meaning of its own.
std::int32_t statusFromError(const GError* error, std::int32_t fallback) {
  if (!error) return fallback;
  if (isAnyOf(error, G_IO_ERROR, {G_IO_ERROR_CANCELLED, G_IO_ERROR_TIMED_OUT}) ||
      isAnyOf(error, G_DBUS_ERROR,
              {G_DBUS_ERROR_NO_REPLY, G_DBUS_ERROR_TIMEOUT, G_DBUS_ERROR_TIMED_OUT})) {
    return kSecretTimedOut;  // we cancel only when the time is up
  }
  if (error->domain == SECRET_ERROR) {
    if (error->code == SECRET_ERROR_IS_LOCKED) return kSecretLocked;
    if (error->code == SECRET_ERROR_NO_SUCH_OBJECT) return kSecretItemNotFound;
    return fallback;
  }
  if (isAnyOf(error, G_DBUS_ERROR,
              {G_DBUS_ERROR_SERVICE_UNKNOWN, G_DBUS_ERROR_NAME_HAS_NO_OWNER, G_DBUS_ERROR_NO_SERVER,
               G_DBUS_ERROR_DISCONNECTED, G_DBUS_ERROR_SPAWN_EXEC_FAILED, G_DBUS_ERROR_SPAWN_FAILED,
               G_DBUS_ERROR_SPAWN_CHILD_EXITED, G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND,
               G_DBUS_ERROR_UNKNOWN_OBJECT, G_DBUS_ERROR_UNKNOWN_INTERFACE}) ||
      isAnyOf(error, G_IO_ERROR,
              {G_IO_ERROR_CLOSED, G_IO_ERROR_CONNECTION_CLOSED, G_IO_ERROR_BROKEN_PIPE,
               G_IO_ERROR_NOT_CONNECTED, G_IO_ERROR_CONNECTION_REFUSED, G_IO_ERROR_NOT_FOUND})) {
    return kSecretNotAvailable;
  }
  if (isAnyOf(error, G_DBUS_ERROR, {G_DBUS_ERROR_ACCESS_DENIED, G_DBUS_ERROR_AUTH_FAILED})) {
    return kSecretRefused;
  }
  return fallback;
}

// D-Bus carries only valid UTF-8 without zero bytes; libsecret would cut such
// a name or report it missing.
bool isValidName(std::string_view text) {
  return g_utf8_validate_len(text.data(), text.size(), nullptr);
}

HashTablePtr nameAttributes(std::string_view service, std::string_view account) {
  HashTablePtr table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  g_hash_table_insert(table.get(), g_strdup("service"), g_strndup(service.data(), service.size()));
  g_hash_table_insert(table.get(), g_strdup("account"), g_strndup(account.data(), account.size()));
  return table;
}

SecretValuePtr passwordValue(std::string_view password) {
  return SecretValuePtr(
      secret_value_new(password.data(), static_cast<gssize>(password.size()), "text/plain"));
}

}  // namespace

// One operation's time limit, lock and cancellation. The shared context is
// this thread's default while the operation lives, so libsecret's proxies
// and replies land there.
struct SecretStore::Operation {
  explicit Operation(std::chrono::milliseconds limit)
      : shared(sharedConnection()),
        lock(shared.lock, std::defer_lock),
        hardDeadline(std::chrono::steady_clock::now() + limit),
        cancellable(g_cancellable_new()) {
    if (!lock.try_lock_until(hardDeadline)) {
      stuck = kSecretTimedOut;
      return;
    }
    g_main_context_push_thread_default(shared.context);
    // Let completions that came after an earlier operation gave up finish
    // now, so what they hold (a failed connection among it) is let go.
    while (g_main_context_iteration(shared.context, FALSE)) {
    }
    // Cancel a little before the limit, so the cancelled call can still come
    // back with its error before the caller's time is up.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        hardDeadline - std::chrono::steady_clock::now());
    const auto grace = std::min(std::chrono::milliseconds(250), left / 4);
    cancelTimer =
        attachTimer(left - grace, &cancelNow, g_object_ref(cancellable.get()), g_object_unref);
    wakeTimer = attachTimer(left, &wakeOnly, nullptr, nullptr);
  }

  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  ~Operation() {
    if (!lock.owns_lock()) return;
    g_source_destroy(cancelTimer);
    g_source_unref(cancelTimer);
    g_source_destroy(wakeTimer);
    g_source_unref(wakeTimer);
    g_main_context_pop_thread_default(shared.context);
  }

  GSource* attachTimer(std::chrono::milliseconds after, GSourceFunc call, gpointer data,
                       GDestroyNotify release) {
    GSource* source = g_timeout_source_new(static_cast<guint>(std::max<long>(0, after.count())));
    g_source_set_callback(source, call, data, release);
    g_source_attach(source, shared.context);
    return source;
  }

  // Starts an asynchronous call through `start(cancellable, callback, data)`
  // and iterates the shared context until it completes or the time is up.
  template <class Start>
  PendingRef run(Start&& start) {
    auto pending = std::make_shared<Pending>();
    start(cancellable.get(), &onReady, std::make_unique<PendingRef>(pending).release());
    while (!pending->result && std::chrono::steady_clock::now() < hardDeadline) {
      g_main_context_iteration(shared.context, TRUE);
    }
    if (!pending->result) {
      g_cancellable_cancel(cancellable.get());
      stuck = kSecretTimedOut;
    }
    return pending;
  }

  // The Secret Service on the session bus, connecting on first use and again
  // when the bus went away.
  std::int32_t connect(SecretService** service) {
    if (stuck != kSecretOk) return stuck;
    if (shared.service) {
      GDBusConnection* bus = g_dbus_proxy_get_connection(G_DBUS_PROXY(shared.service));
      if (!g_dbus_connection_is_closed(bus)) {
        // The connection is the process's: whoever else uses it may have
        // turned exit-on-close back on since.
        g_dbus_connection_set_exit_on_close(bus, FALSE);
        *service = shared.service;
        return kSecretOk;
      }
      // Dropping the last reference lets GIO make a new session connection.
      shared.drop();
    }
    GError* error = nullptr;
    SecretService* made = open(&error);
    // GIO hands out the session connection an earlier, abandoned operation
    // started, with that operation's cancellation, until the last reference
    // to it goes (waiting to be dispatched here): try again after that.
    for (int attempt = 0;
         attempt < 5 && !made && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) &&
         !g_cancellable_is_cancelled(cancellable.get());
         ++attempt) {
      g_clear_error(&error);
      while (g_main_context_iteration(shared.context, FALSE)) {
      }
      made = open(&error);
    }
    GErrorPtr errorOwner(error);
    if (!made && g_cancellable_is_cancelled(cancellable.get())) {
      // Our time is up: a later step would only start another connection
      // attempt that is cancelled at once.
      stuck = kSecretTimedOut;
      return stuck;
    }
    if (!made) return statusFromError(error, kSecretNotAvailable);
    // A lost bus must never end the host process (GIO's default for the
    // session connection is to raise SIGTERM).
    g_dbus_connection_set_exit_on_close(g_dbus_proxy_get_connection(G_DBUS_PROXY(made)), FALSE);
    shared.service = made;
    *service = made;
    return kSecretOk;
  }

  SecretService* open(GError** error) {
    PendingRef opened = run([&](GCancellable* cancel, GAsyncReadyCallback done, gpointer data) {
      secret_service_open(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, cancel, done, data);
    });
    if (!opened->result) {
      g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT, "no answer in time");
      return nullptr;
    }
    return secret_service_open_finish(opened->result, error);
  }

  // The status of a finished call: `ok` true, or the error mapped.
  std::int32_t outcome(const PendingRef& pending, bool ok, GError* error) {
    GErrorPtr owner(error);
    if (!pending->result) return kSecretTimedOut;
    if (ok) return kSecretOk;
    const std::int32_t status = statusFromError(error, kSecretFailed);
    if (status == kSecretNotAvailable) shared.drop();  // reconnect next time
    return status;
  }

  // Whether the default collection takes new items without a prompt.
  std::int32_t defaultCollectionWritable(SecretService* service) {
    PendingRef found = run([&](GCancellable* cancel, GAsyncReadyCallback done, gpointer data) {
      secret_collection_for_alias(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                  cancel, done, data);
    });
    GError* error = nullptr;
    GObjectPtr<SecretCollection> collection(
        found->result ? secret_collection_for_alias_finish(found->result, &error) : nullptr);
    if (!collection) {
      // No error and no collection: there is no default collection, and
      // making one needs a prompt.
      return error || !found->result ? outcome(found, false, error) : kSecretNotAvailable;
    }
    return secret_collection_get_locked(collection.get()) ? kSecretLocked : kSecretOk;
  }

  SharedConnection& shared;
  std::unique_lock<DeadlineLock> lock;
  std::chrono::steady_clock::time_point hardDeadline;
  GObjectPtr<GCancellable> cancellable;
  GSource* cancelTimer = nullptr;  // ref'd; fires the cancellable
  GSource* wakeTimer = nullptr;    // ref'd; wakes the loop at the hard deadline
  std::int32_t stuck = kSecretOk;  // once set, every later call fails with it
};

SecretStore::SecretStore(std::chrono::milliseconds timeLimit)
    : operation_(std::make_unique<Operation>(timeLimit)) {}

SecretStore::~SecretStore() = default;

KeyringLookup SecretStore::find(std::string_view service, bool withPassword) {
  KeyringLookup lookup;
  if (!isValidName(service)) {
    lookup.status = kSecretInvalidText;
    return lookup;
  }
  SecretService* secretService = nullptr;
  lookup.status = operation_->connect(&secretService);
  if (lookup.status != kSecretOk) return lookup;

  HashTablePtr attributes(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  g_hash_table_insert(attributes.get(), g_strdup("service"),
                      g_strndup(service.data(), service.size()));
  // No schema: match items of any program by their service alone. Never
  // unlock: that is a prompt, which could outlast the time limit.
  const auto flags = withPassword ? SECRET_SEARCH_LOAD_SECRETS : SECRET_SEARCH_NONE;
  PendingRef searched =
      operation_->run([&](GCancellable* cancel, GAsyncReadyCallback done, gpointer data) {
        secret_service_search(secretService, nullptr, attributes.get(), flags, cancel, done, data);
      });
  GError* error = nullptr;
  ObjectListPtr items(searched->result
                          ? secret_service_search_finish(secretService, searched->result, &error)
                          : nullptr);
  // libsecret reports "nothing found" as no error and no list.
  if (!items) {
    lookup.status = error || !searched->result ? operation_->outcome(searched, false, error)
                                               : kSecretItemNotFound;
    return lookup;
  }
  auto* item = SECRET_ITEM(items->data);
  if (withPassword) {
    // A locked item comes back without its secret and without an error; an
    // empty password must never pass for the stored one.
    if (secret_item_get_locked(item)) {
      lookup.status = kSecretLocked;
      return lookup;
    }
    SecretValuePtr value(secret_item_get_secret(item));
    if (!value) {
      lookup.status = kSecretFailed;
      return lookup;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    lookup.password.assign(bytes, length);
  }
  lookup.item = std::make_shared<KeyringItem>(SECRET_ITEM(g_object_ref(item)));
  lookup.status = kSecretOk;
  return lookup;
}

std::int32_t SecretStore::add(std::string_view service, std::string_view account,
                              std::string_view password) {
  if (!isValidName(service) || !isValidName(account)) return kSecretInvalidText;
  SecretService* secretService = nullptr;
  std::int32_t status = operation_->connect(&secretService);
  if (status != kSecretOk) return status;
  // Storing into a locked collection would ask for an unlock prompt.
  status = operation_->defaultCollectionWritable(secretService);
  if (status != kSecretOk) return status;

  HashTablePtr attributes = nameAttributes(service, account);
  SecretValuePtr value = passwordValue(password);
  const std::string label(service);
  PendingRef stored = operation_->run([&](GCancellable* cancel, GAsyncReadyCallback done,
                                          gpointer data) {
    secret_service_store(secretService, &passwordSchema(), attributes.get(),
                         SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(), cancel, done, data);
  });
  GError* error = nullptr;
  const bool ok =
      stored->result && secret_service_store_finish(secretService, stored->result, &error);
  return operation_->outcome(stored, ok, error);
}

std::int32_t SecretStore::replace(const KeyringItemHandle& item, std::string_view service,
                                  std::string_view account, std::string_view password) {
  if (!isValidName(service) || !isValidName(account)) return kSecretInvalidText;
  if (operation_->stuck != kSecretOk) return operation_->stuck;
  SecretItem* secretItem = item->item;

  SecretValuePtr value = passwordValue(password);
  PendingRef secretSet =
      operation_->run([&](GCancellable* cancel, GAsyncReadyCallback done, gpointer data) {
        secret_item_set_secret(secretItem, value.get(), cancel, done, data);
      });
  GError* error = nullptr;
  bool ok =
      secretSet->result && secret_item_set_secret_finish(secretItem, secretSet->result, &error);
  std::int32_t status = operation_->outcome(secretSet, ok, error);
  if (status != kSecretOk) return status;

  // Keep whatever else the item carries (its schema name among it), as the
  // service has it now: the proxy's cached copy may be older.
  HashTablePtr attributes(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  PendingRef fetched =
      operation_->run([&](GCancellable* cancel, GAsyncReadyCallback done, gpointer data) {
        g_dbus_proxy_call(G_DBUS_PROXY(secretItem), "org.freedesktop.DBus.Properties.Get",
                          g_variant_new("(ss)", "org.freedesktop.Secret.Item", "Attributes"),
                          G_DBUS_CALL_FLAGS_NONE, -1, cancel, done, data);
      });
  error = nullptr;
  GVariant* reply =
      fetched->result ? g_dbus_proxy_call_finish(G_DBUS_PROXY(secretItem), fetched->result, &error)
                      : nullptr;
  status = operation_->outcome(fetched, reply != nullptr, error);
  if (status != kSecretOk) return status;
  GVariant* boxed = nullptr;
  g_variant_get(reply, "(v)", &boxed);
  if (g_variant_is_of_type(boxed, G_VARIANT_TYPE("a{ss}"))) {
    GVariantIter iter;
    const gchar* key = nullptr;
    const gchar* text = nullptr;
    g_variant_iter_init(&iter, boxed);
    while (g_variant_iter_next(&iter, "{&s&s}", &key, &text)) {
      g_hash_table_insert(attributes.get(), g_strdup(key), g_strdup(text));
    }
  }
  g_variant_unref(boxed);
  g_variant_unref(reply);
  g_hash_table_insert(attributes.get(), g_strdup("service"),
                      g_strndup(service.data(), service.size()));
  g_hash_table_insert(attributes.get(), g_strdup("account"),
                      g_strndup(account.data(), account.size()));
  PendingRef attributesSet =
      operation_->run([&](GCancellable* cancel, GAsyncReadyCallback done, gpointer data) {
        secret_item_set_attributes(secretItem, nullptr, attributes.get(), cancel, done, data);
      });
  error = nullptr;
  ok = attributesSet->result &&
       secret_item_set_attributes_finish(secretItem, attributesSet->result, &error);
  return operation_->outcome(attributesSet, ok, error);
}

std::string SecretStore::account(const KeyringItemHandle& item) const {
  HashTablePtr attributes(secret_item_get_attributes(item->item));
  if (!attributes) return {};
  const auto* text = static_cast<const gchar*>(g_hash_table_lookup(attributes.get(), "account"));
  return text ? std::string(text) : std::string();
}

std::int32_t SecretStore::remove(const KeyringItemHandle& item) {
  if (operation_->stuck != kSecretOk) return operation_->stuck;
  SecretItem* secretItem = item->item;
  PendingRef deleted =
      operation_->run([&](GCancellable* cancel, GAsyncReadyCallback done, gpointer data) {
        secret_item_delete(secretItem, cancel, done, data);
      });
  GError* error = nullptr;
  const bool ok = deleted->result && secret_item_delete_finish(secretItem, deleted->result, &error);
  return operation_->outcome(deleted, ok, error);
}

}  // namespace zembrel::detail
