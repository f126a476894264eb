// No Secret Service at all: every operation fails at once with its log line,
// and a bus that never answers is given up on at the time limit. Each test
// points this process at its own (dead) session bus.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "LogCapture.hpp"
#include "ScopedEnvironment.hpp"
#include "ServerProcess.hpp"
#include "SilentBus.hpp"
#include "TimeScale.hpp"
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

// What a caller would wait for a bus that is there but silent: D-Bus's own
// default time limit, far beyond any bound below.
constexpr auto kBusDefaultTimeout = std::chrono::seconds(25);

void expectFastFailure(const DeadBusCase& param) {
  auto zembrel = Zembrel::initZembrel();
  LogCapture log;
  const auto start = Clock::now();
  param.call(*zembrel);
  const auto took = Clock::now() - start;
  EXPECT_EQ(log.text(), param.log);
  // Refused at once, not after waiting for an answer.
  EXPECT_LT(took, std::min<Clock::duration>(scaled(std::chrono::seconds(2)), kBusDefaultTimeout));
  // Hosts and the command line learn it too, not only the log.
  EXPECT_EQ(zembrel->lastKeychainStatus(), detail::kSecretNotAvailable);
}

TEST_P(KeychainWithoutService, FailsFastWhenTheBusAddressLeadsNowhere) {
  ScopedTempDir dir;
  ScopedEnvironment environment("DBUS_SESSION_BUS_ADDRESS",
                                "unix:path=" + (dir.path() / "no-bus").string());
  expectFastFailure(GetParam());
}

TEST_P(KeychainWithoutService, FailsFastWithoutAnySessionBus) {
  ScopedTempDir dir;
  ScopedEnvironment environment{{"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
                                {"DISPLAY", std::nullopt},
                                {"XDG_RUNTIME_DIR", dir.path().string()}};  // no "bus" socket
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
  const auto limit = std::chrono::milliseconds(400);
  ScopedTempDir dir;
  SilentBus bus(dir.path() / "silent");
  ScopedEnvironment environment("DBUS_SESSION_BUS_ADDRESS", bus.address());
  // Ends at the limit: well before the bus's own time limit would.
  const auto bound = std::min<Clock::duration>(limit + scaled(std::chrono::seconds(1)),
                                               kBusDefaultTimeout / 2);

  const auto start = Clock::now();
  {
    detail::SecretStore store(limit);
    EXPECT_EQ(store.find("svc", true).status, detail::kSecretTimedOut);
    // The time is spent: the next step fails at once instead of waiting again.
    EXPECT_EQ(store.add("svc", "alice", "pw"), detail::kSecretTimedOut);
  }
  const auto took = Clock::now() - start;
  EXPECT_GE(took, limit / 2);
  EXPECT_LT(took, bound);

  // The abandoned connection is let go: once GIO has dropped it (it may hand
  // it out, already failed, a few more times), operations reach the current
  // bus address again; none of them waits longer than its limit meanwhile.
  const std::string nowhere = "unix:path=" + (dir.path() / "no-bus").string();
  environment.set("DBUS_SESSION_BUS_ADDRESS", nowhere);
  std::int32_t status = detail::kSecretTimedOut;
  int tries = 0;
  for (; tries < 20 && status != detail::kSecretNotAvailable; ++tries) {
    const auto begin = Clock::now();
    detail::SecretStore store(limit);
    status = store.find("svc", false).status;
    EXPECT_LT(Clock::now() - begin, bound);
  }
  EXPECT_EQ(status, detail::kSecretNotAvailable) << "after " << tries << " operations";
}

}  // namespace
}  // namespace zembrel::test
