#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace zembrel {

class Zembrel;

struct FileClose {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

// Transfer record of one upload, the read callback's user data. Lives on the
// worker thread from the start of the transfer to its end; owns the file.
struct CurlInfo {
  Zembrel* uploader;         // receives the progress messages; outlives the record
  FilePtr file;              // the local file, opened "rb", unbuffered
  std::uint64_t totalBytes;  // size of the file (links followed) when the upload started
  std::uint64_t bytesRead;   // bytes handed to libcurl so far
  // Set when reading the local file failed or it shrank: what the final
  // message reports instead of the server's last reply.
  std::optional<std::string> localFailure;
  int localFailureCode = 0;
};

std::unique_ptr<CurlInfo> CurlInfoCreate(Zembrel* uploader, FilePtr file, std::uint64_t totalBytes);

}  // namespace zembrel
