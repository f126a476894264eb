#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace zembrel::test {

// What some tests need of the machine: "keyring" (a Secret Service on the
// session bus: tests/servers/keyring-session), "sshd" (openssh-server, run as
// root), "bubblewrap" (namespaces for its sandbox), "root". A test that finds
// one missing skips itself, unless ZEMBREL_TEST_REQUIRE (names separated by
// spaces or commas) lists it: then the machine was meant to provide it, and
// the test fails instead. CI lists what its own set-up provides.
bool isRequired(std::string_view capability);

// Records a failure when `capability` is required; the caller then skips.
void noteMissing(std::string_view capability, const std::string& reason);

}  // namespace zembrel::test

// Skips the running test (or suite, in SetUp) for `reason`, or fails it when
// the run requires `capability`.
#define ZEMBREL_SKIP_WITHOUT(capability, reason)                \
  do {                                                          \
    const std::string zembrelSkipReason_ = (reason);            \
    ::zembrel::test::noteMissing(capability, zembrelSkipReason_); \
    GTEST_SKIP() << zembrelSkipReason_;                         \
  } while (false)
