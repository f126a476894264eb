#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "zembrel/platform/File.hpp"

namespace zembrel::detail {

// The per-user private temporary folder: ${TMPDIR:-/tmp}/zembrel-<uid>,
// created with mode 0700. Refused (absent) when the name is a symbolic link,
// not a folder, owned by another user, or open to others and not ours to fix.
std::optional<std::filesystem::path> privateTempDir();

// The same rule under an explicit parent folder.
std::optional<std::filesystem::path> privateTempDirUnder(const std::filesystem::path& parent);

// A text that differs on every call (a random UUID).
std::string uniqueString();

// Replaces whatever is at `path` by a new empty file created exclusively with
// mode 0600 (a link planted there is removed, never followed). Invalid
// descriptor on failure, errno set.
FileDescriptor createFreshFile(const std::filesystem::path& path);

// Writes all bytes, retrying short writes. False on failure.
bool writeAll(int fd, const void* data, std::size_t size);

}  // namespace zembrel::detail
