// Writing OUTPUT so that a reader never sees a half-written picture and a failure never costs
// the picture that was there before.
#pragma once

#include <sys/types.h>

#include <string>

#include "Encoders.hpp"

namespace thumbtool {

// Who may read a picture of a document: its picture shows what the document holds.
struct PictureReaders {
  mode_t allowed = 0777;  // permission bits the picture may have
  bool anyone = true;     // whether anyone may read the document
  uid_t owner = 0;        // the document's owner
};

// Writes the bytes to a new file in the same folder as path, then renames it over path. A
// symbolic link at path is itself replaced; its target is never written. A folder, FIFO,
// device or socket at path is left alone and never opened. On any failure nothing at path
// changes and the new file is removed. A regular file that is replaced keeps its mode (and its
// owner, where this process may give it and the owner may read the document): a private
// picture stays private. A new file's mode is 0666 less the umask. Either way, bits outside
// readers.allowed are cleared.
bool replaceFile(const std::string& path, const Bytes& bytes, const PictureReaders& readers = {});

// Who may read a picture of the document at source: the group and others only where they may
// read the document. Anyone when the document cannot be looked at (its picture is then at most
// its icon).
PictureReaders readersOf(const std::string& source);

}  // namespace thumbtool
