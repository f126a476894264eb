// Page faults are a large share of a short run's cost (on the virtual machines measured, each one
// costs over ten microseconds, and a PDF run took over a thousand). Memory the run will need
// anyway is cheaper populated in one call, ahead of use, while the process waits for something
// else.
#pragma once

#include <cstddef>

namespace thumbtool {

// Grows this process's heap by about `bytes` (at most 32 MiB, the allocator's limit), populated
// in one call, and keeps it: up to twice that much freed at the heap's top is no longer handed
// back to the kernel, and allocations smaller than `bytes` come from the heap rather than from
// mappings of their own (the allocator's own adjustment of that threshold is then off, so larger
// ones always get a mapping). Where the kernel cannot populate in one call (before 5.14), it only
// sets the allocator up that way.
void growHeapAhead(std::size_t bytes);

}  // namespace thumbtool
