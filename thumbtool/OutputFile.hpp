// Writing OUTPUT so that a reader never sees a half-written picture and a failure never costs
// the picture that was there before.
#pragma once

#include <sys/types.h>

#include <string>

#include "Encoders.hpp"

namespace thumbtool {

// Writes the bytes to a new file in the same folder as path, then renames it over path. A
// symbolic link at path is itself replaced; its target is never written. A folder, FIFO,
// device or socket at path is left alone and never opened. On any failure nothing at path
// changes and the new file is removed. A regular file that is replaced keeps its mode (and its
// owner, where this process may give it): a private picture stays private. A new file's mode
// is 0666 less the umask. Either way, bits outside allowed are cleared.
bool replaceFile(const std::string& path, const Bytes& bytes, mode_t allowed = 0777);

// The permission bits a picture of the document at source may have: its picture shows what it
// holds, so the group and others may read the picture only where they may read the document.
// All bits when the document cannot be looked at (its picture is then at most its icon).
mode_t picturePermissions(const std::string& source);

}  // namespace thumbtool
