#include "Landlock.hpp"

#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace thumbtool {

namespace {

// The ruleset's attributes as the newest kernels take them; older ones read only a prefix.
struct RulesetAttributes {
  std::uint64_t handledAccessFs = 0;
  std::uint64_t handledAccessNet = 0;  // from ABI 4
  std::uint64_t scoped = 0;            // from ABI 6
};

// Every right that changes the file system, by the ABI that introduced it: write, remove, make
// (bits 0 to 12 less execute and the two reads), refer (ABI 2), truncate (3), device ioctl (5).
std::uint64_t writeRights(long abi) {
  std::uint64_t rights = ((std::uint64_t{1} << 13) - 1) & ~std::uint64_t{0b1101};
  if (abi >= 2) {
    rights |= std::uint64_t{1} << 13;
  }
  if (abi >= 3) {
    rights |= std::uint64_t{1} << 14;
  }
  if (abi >= 5) {
    rights |= std::uint64_t{1} << 15;
  }
  return rights;
}

constexpr std::uint64_t kNetBindAndConnectTcp = 0b11;
constexpr std::uint64_t kScopeAbstractSocketsAndSignals = 0b11;

}  // namespace

bool enterLandlockDomain() {
  long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) {
    return false;
  }
  RulesetAttributes attributes;
  attributes.handledAccessFs = writeRights(abi);
  std::size_t size = sizeof attributes.handledAccessFs;
  if (abi >= 4) {
    attributes.handledAccessNet = kNetBindAndConnectTcp;
    size += sizeof attributes.handledAccessNet;
  }
  if (abi >= 6) {
    attributes.scoped = kScopeAbstractSocketsAndSignals;
    size += sizeof attributes.scoped;
  }
  // No rules: none of the handled rights is granted anywhere.
  int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attributes, size, 0));
  if (ruleset < 0) {
    return false;
  }
  bool entered = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                 syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
  close(ruleset);
  return entered;
}

}  // namespace thumbtool
