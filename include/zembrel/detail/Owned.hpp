#pragma once

#include <memory>

namespace zembrel::detail {

// Deleter for library-internal types that the public header only names.
// Each type's owner defines the one specialisation it needs in its .cpp, so
// the public header stays free of C library headers and internal classes.
template <class T>
struct Destroy {
  void operator()(T* object) const noexcept;
};

template <class T>
using Owned = std::unique_ptr<T, Destroy<T>>;

}  // namespace zembrel::detail

namespace zembrel::detail {

// libcurl's handle types are `void` in its header; these deleters let the
// public header own them without including it.
struct CurlEasyFree {
  void operator()(void* easy) const noexcept;
};
struct CurlMultiFree {
  void operator()(void* multi) const noexcept;
};

}  // namespace zembrel::detail
