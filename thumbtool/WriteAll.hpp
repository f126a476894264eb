// Writing a whole buffer to a descriptor, across short writes and interruptions.
#pragma once

#include <cstddef>

namespace thumbtool {

// False when a write fails (the descriptor's error is in errno) or writes nothing.
bool writeAll(int fd, const void* data, std::size_t length);

}  // namespace thumbtool
