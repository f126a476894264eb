// No Secret Service at all: every operation fails fast with its log line,
// and a bus that never answers is given up on within the time limit. Each
// test points this process at its own (dead) session bus.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "LogCapture.hpp"
#include "ServerProcess.hpp"
#include "SilentBus.hpp"
#include "zembrel/Zembrel.hpp"
#include "zembrel/platform/SecretStore.hpp"

namespace zembrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;

struct DeadBusCase {
  const char* what;
  std::function<void(Zembrel&)> call;
  const char* log;
};

class KeychainWithoutService : public ::testing::TestWithParam<DeadBusCase> {};

void expectFastFailure(const DeadBusCase& param) {
  auto zembrel = Zembrel::initZembrel();
  LogCapture log;
  const auto start = Clock::now();
  param.call(*zembrel);
  const auto took = Clock::now() - start;
  EXPECT_EQ(log.text(), param.log);
  EXPECT_LT(took, std::chrono::seconds(1));
  // Hosts and the command line learn it too, not only the log.
  EXPECT_EQ(zembrel->lastKeychainStatus(), detail::kSecretNotAvailable);
}

TEST_P(KeychainWithoutService, FailsFastWhenTheBusAddressLeadsNowhere) {
  ScopedTempDir dir;
  const std::string address = "unix:path=" + (dir.path() / "no-bus").string();
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  expectFastFailure(GetParam());
}

TEST_P(KeychainWithoutService, FailsFastWithoutAnySessionBus) {
  ScopedTempDir dir;
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::unsetenv("DISPLAY");
  ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);  // holds no "bus" socket
  expectFastFailure(GetParam());
}

const char kNotAvailable[] = "zembrel: error finding keychain item: -25291\n";

INSTANTIATE_TEST_SUITE_P(
    Operations, KeychainWithoutService,
    ::testing::Values(
        DeadBusCase{"Read",
                    [](Zembrel& z) {
                      EXPECT_EQ(z.genericPasswordByServiceName("svc"), (Texts{"", ""}));
                    },
                    kNotAvailable},
        DeadBusCase{"Store", [](Zembrel& z) { z.addGenericPassword("pw", "svc", "alice", ""); },
                    kNotAvailable},
        DeadBusCase{"Rename", [](Zembrel& z) { z.addGenericPassword("pw", "svc", "alice", "old"); },
                    kNotAvailable},
        DeadBusCase{"Delete", [](Zembrel& z) { z.deleteGenericPasswordFromServiceName("svc"); },
                    kNotAvailable}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(KeychainSilentBus, IsCancelledAtTheTimeLimitAndLaterCallsStillWork) {
  ScopedTempDir dir;
  SilentBus bus(dir.path() / "silent");
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

  const auto limit = std::chrono::milliseconds(400);
  const auto start = Clock::now();
  {
    detail::SecretStore store(limit);
    EXPECT_EQ(store.find("svc", true).status, detail::kSecretTimedOut);
    // The time is spent: the next step fails at once instead of waiting again.
    EXPECT_EQ(store.add("svc", "alice", "pw"), detail::kSecretTimedOut);
  }
  const auto took = Clock::now() - start;
  EXPECT_GE(took, limit / 2);
  EXPECT_LE(took, limit + std::chrono::milliseconds(300));

  // The abandoned connection is let go: once GIO has dropped it (it may hand
  // it out, already failed, a few more times), operations reach the current
  // bus address again; none of them waits longer than its limit meanwhile.
  const std::string nowhere = "unix:path=" + (dir.path() / "no-bus").string();
  ::setenv("DBUS_SESSION_BUS_ADDRESS", nowhere.c_str(), 1);
  std::int32_t status = detail::kSecretTimedOut;
  int tries = 0;
  for (; tries < 20 && status != detail::kSecretNotAvailable; ++tries) {
    const auto begin = Clock::now();
    detail::SecretStore store(limit);
    status = store.find("svc", false).status;
    EXPECT_LE(Clock::now() - begin, limit + std::chrono::milliseconds(300));
  }
  EXPECT_EQ(status, detail::kSecretNotAvailable) << "after " << tries << " operations";
}

}  // namespace
}  // namespace zembrel::test
