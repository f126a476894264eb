// Facts about how this program was built that change what it may do at run time.
#pragma once

namespace thumbtool {

// Sanitizers reserve terabytes of address space for their shadow memory, so an address-space
// limit would starve them; their reports on the error stream must also stay visible.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif
#else
inline constexpr bool kSanitizedBuild = false;
#endif

}  // namespace thumbtool
