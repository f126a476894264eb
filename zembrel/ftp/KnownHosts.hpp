#pragma once

// What libssh2 leaves out of a known_hosts file: it reads the host lines but
// ignores the "@revoked" marker, so a key that the user revoked still passes
// wherever another line lists it.

#include <string>
#include <string_view>

namespace zembrel::detail {

// Whether the known_hosts file at `path` marks the key (its raw bytes, as
// the server presented it) "@revoked", on a line for any host: a revoked
// key is refused whatever else lists it. A missing or unreadable file
// revokes nothing.
bool isRevokedHostKey(const std::string& path, std::string_view rawKey);

// The bytes of a base64 text; empty when it is not base64.
std::string decodeBase64(const std::string& text);

}  // namespace zembrel::detail
