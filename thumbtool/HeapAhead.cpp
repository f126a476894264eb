#include "HeapAhead.hpp"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace thumbtool {

void growHeapAhead(std::size_t bytes) {
  const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0 || bytes < 2 * static_cast<std::size_t>(page) || bytes > (std::size_t{32} << 20)) {
    return;
  }
  // A block just under the threshold comes from the heap, and once freed it stays there for the
  // allocations that follow.
  if (mallopt(M_MMAP_THRESHOLD, static_cast<int>(bytes)) == 0 ||
      mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * bytes)) == 0) {
    return;
  }
  void* block = std::malloc(bytes - static_cast<std::size_t>(page));
  if (block == nullptr) {
    return;
  }
  const auto mask = static_cast<std::uintptr_t>(page) - 1;
  const auto start = (reinterpret_cast<std::uintptr_t>(block) + mask) & ~mask;
  const auto end =
      (reinterpret_cast<std::uintptr_t>(block) + bytes - static_cast<std::size_t>(page)) & ~mask;
  if (end > start) {
    static_cast<void>(madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE));
  }
  std::free(block);
}

}  // namespace thumbtool
