// Many threads use the keyring at once: against the live Secret Service of
// keyring-session, and while the session bus hangs in its handshake. The
// operations take turns, each keeps its time limit, every thread gets its own
// answers back, and neither the turns nor the abandoned connections leave a
// descriptor behind.

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.hpp"
#include "Requirements.hpp"
#include "ScopedEnvironment.hpp"
#include "TimeScale.hpp"
#include "ServerProcess.hpp"
#include "SilentBus.hpp"
#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/SecretStore.hpp"

namespace zembrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;
using std::chrono::milliseconds;

constexpr int kThreads = 6;
// Scheduling slack over an operation's own limit: the machine running the
// suite may be loaded, and sanitizers slow every step down.
constexpr milliseconds kSlack{500};

std::size_t openDescriptors() {
  std::size_t count = 0;
  for (auto at = std::filesystem::directory_iterator("/proc/self/fd");
       at != std::filesystem::directory_iterator(); ++at) {
    ++count;
  }
  return count;
}

// Runs body(index) on `count` threads that start together.
template <class Body>
void onThreads(int count, Body body) {
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&go, &body, i] {
      while (!go.load()) std::this_thread::yield();
      body(i);
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
}

// Every thread stores, reads back and deletes its own item, round after round;
// odd rounds also name the item's own service as the old one (delete, then
// make anew), so one operation holds its turn over several keyring calls.
void liveRounds(Zembrel& zembrel, const std::vector<std::string>& services, int rounds) {
  onThreads(kThreads, [&](int i) {
    const std::string& service = services[static_cast<std::size_t>(i)];
    for (int round = 0; round < rounds; ++round) {
      const std::string tag = std::to_string(i) + "-" + std::to_string(round);
      zembrel.addGenericPassword("pw-" + tag, service, "account-" + tag,
                                 round % 2 == 1 ? service : "");
      EXPECT_EQ(zembrel.genericPasswordByServiceName(service),
                (Texts{"pw-" + tag, "account-" + tag}))
          << "thread " << i << " round " << round;
    }
    zembrel.deleteGenericPasswordFromServiceName(service);
    EXPECT_EQ(zembrel.genericPasswordByServiceName(service), (Texts{"", ""})) << "thread " << i;
  });
}

// Closes this process's session bus connection, as a bus that went away
// would: the next keyring operation has to connect again.
void closeSessionBus() {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  ASSERT_NE(bus, nullptr);
  g_dbus_connection_close_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
}

// Keyring operations until one reaches the live service again: GIO may hand
// out an abandoned connection, already failed, a few more times first.
std::int32_t reachLiveService(const std::string& service) {
  std::int32_t status = detail::kSecretTimedOut;
  for (int tries = 0; tries < 20 && status != detail::kSecretItemNotFound; ++tries) {
    detail::SecretStore store(milliseconds(2000));
    status = store.find(service, false).status;
  }
  return status;
}

// Waits until the descriptor count is back at `expected` (GDBus closes a
// dropped connection's socket on its own worker thread, a moment later).
std::size_t settleDescriptors(std::size_t expected) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  std::size_t now = openDescriptors();
  while (now != expected && Clock::now() < deadline) {
    // Lets completions that came after their operation gave up run.
    detail::SecretStore store(milliseconds(200));
    std::this_thread::sleep_for(milliseconds(50));
    now = openDescriptors();
  }
  return now;
}

TEST(KeychainStress, ConcurrentCallsLiveAndAgainstASilentBus) {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
    ZEMBREL_SKIP_WITHOUT("keyring",
                         "no session bus: run inside tests/servers/keyring-session "
                         "(scripts/test does)");
  }
  ScopedEnvironment environment;
  const std::string liveBus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  ScopedTempDir dir;
  SilentBus silent(dir.path() / "silent");
  auto zembrel = Zembrel::initZembrel();
  std::vector<std::string> services;
  for (int i = 0; i < kThreads; ++i) services.push_back(uniqueName("stress"));

  // The connection and GLib's threads exist from here on.
  ASSERT_EQ(zembrel->genericPasswordByServiceName(services[0]), (Texts{"", ""}));
  const std::size_t before = openDescriptors();

  {
    LogCapture log;
    liveRounds(*zembrel, services, 3);
    EXPECT_EQ(log.text(), "");
  }
  EXPECT_EQ(settleDescriptors(before), before) << "after the live rounds";

  // The bus goes away and the one found next never answers. Each thread's
  // operation ends by its own limit, be it waiting for its turn or for the
  // bus; the limits differ so that some threads get a turn after others gave
  // theirs up.
  closeSessionBus();
  environment.set("DBUS_SESSION_BUS_ADDRESS", silent.address());
  onThreads(kThreads, [&](int i) {
    const milliseconds limit(200 + 100 * i);
    for (int call = 0; call < 2; ++call) {
      const auto start = Clock::now();
      detail::SecretStore store(limit);
      EXPECT_EQ(store.find(services[static_cast<std::size_t>(i)], true).status,
                detail::kSecretTimedOut)
          << "thread " << i << " call " << call;
      EXPECT_LE(Clock::now() - start, limit + scaled(kSlack))
          << "thread " << i << " call " << call;
    }
  });

  // The bus is back: every abandoned connection is let go, and the threads
  // work as before.
  environment.set("DBUS_SESSION_BUS_ADDRESS", liveBus);
  ASSERT_EQ(reachLiveService(services[0]), detail::kSecretItemNotFound);
  {
    LogCapture log;
    liveRounds(*zembrel, services, 2);
    EXPECT_EQ(log.text(), "");
  }
  EXPECT_EQ(settleDescriptors(before), before) << "after the silent bus";
}

}  // namespace
}  // namespace zembrel::test
