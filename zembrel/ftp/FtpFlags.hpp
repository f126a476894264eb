#pragma once

// Process-wide FTP state inside the library (the stop flags themselves are
// declared in zembrel/Ftp.hpp).

#include <mutex>
#include <string>

namespace zembrel {

// The unfinished last line of the previous block of listing text; grows as
// needed, so a line is never cut however long. One listing at a time per
// process uses it: a single-directory listing holds listBuffMutex throughout.
extern std::string listBuff;
extern std::mutex listBuffMutex;

}  // namespace zembrel
