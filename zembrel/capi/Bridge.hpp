#pragma once

// What every file of the C interface shares: the handle behind `zembrel *`,
// the conversions between C and C++ values, and the guard that keeps
// exceptions from crossing into C.

// zembrel.h names the handle zembrel_handle in C++ (`zembrel` is the
// namespace); C hosts see `struct zembrel`. The functions are extern "C", so
// the spelling of a parameter type does not reach their symbols.
#include "zembrel/zembrel.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zembrel/Zembrel.hpp"

// One C reference count over one shared C++ instance: the C++ side keeps its
// own references (an upload in flight holds one), so dropping the last C
// reference ends only the host's hold on the instance.
struct zembrel_handle {
  std::atomic<std::size_t> references{1};
  std::shared_ptr<zembrel::Zembrel> instance;
};

namespace zembrel::capi {

// The instance, held for the whole call: a host may drop its last reference
// (zembrel_unref, or the Python package's close()) from another thread while
// a call on it still runs. Call as `held(z)->method(...)`: the reference
// lives until the end of the full expression.
inline std::shared_ptr<Zembrel> held(const zembrel_handle* z) { return z->instance; }

// Runs `body`, turning any exception into `failure`: nothing may unwind
// through a C caller's frames.
template <class Result, class Body>
Result guarded(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

template <class Body>
void guarded(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

// A C string argument; NULL counts as "".
inline std::string text(const char* value) { return value != nullptr ? value : ""; }
// An optional C string argument; NULL is absent.
std::optional<std::string> optionalText(const char* value);
// A NULL-terminated list of strings; NULL is absent.
std::optional<std::vector<std::string>> textList(const char* const* list);

// A copy in malloc'd memory that the host frees with zembrel_free(); NULL when
// memory runs out.
char* copyOut(std::string_view value) noexcept;
inline char* copyOut(const std::string& value) noexcept { return copyOut(std::string_view(value)); }
inline char* copyOut(const std::optional<std::string>& value) noexcept {
  return value ? copyOut(*value) : nullptr;
}

}  // namespace zembrel::capi
