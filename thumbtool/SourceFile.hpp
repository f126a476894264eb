// What thumbtool may do with a source path, decided from its metadata alone: reading a FIFO
// can block forever, a device or a kernel pseudo-file may never end.
#pragma once

#include <string>

#include "FileDescriptor.hpp"

namespace thumbtool {

enum class SourceKind {
  missing,   // nothing there: no thumbnail and no icon
  document,  // a regular file: rendered in a worker
  special,   // a folder, FIFO, device, socket or kernel pseudo-file: its icon, at once
};

struct Source {
  std::string path;  // absolute; for names and icons only, never opened again
  // The document, opened once for reading (documents only). Workers and the sandbox get this
  // descriptor, so that /dev/stdin, /proc/self/fd/N or a path replaced meanwhile mean the file
  // that was inspected.
  FileDescriptor file;
  SourceKind kind = SourceKind::missing;
  // For special sources, the content type their icon is looked up by; empty for kernel
  // pseudo-files, whose icon comes from their name.
  std::string specialType;
};

// A relative path taken from the working folder, so that it means the same to every process
// that gets it (workers, sandboxed thumbnailers, file URIs).
std::string absolutePath(const std::string& path);

// Follows symbolic links, as opening the path would. Only a regular file is opened for reading;
// anything else is looked at without being opened (opening a device can have effects).
Source inspectSource(const std::string& path);

}  // namespace thumbtool
