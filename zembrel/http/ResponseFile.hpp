#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace zembrel::detail {

// The response file of the last HTTP transfer: "kvRX_resp.html" in the private
// temporary folder. Absent when that folder is refused.
std::optional<std::filesystem::path> responseFilePath();

// Replaces the response file with the head followed by the body. Failures are
// not reported to hosts (the transfer still completed); returns false for logs
// and tests.
bool writeResponseFile(std::string_view head, std::string_view body);

}  // namespace zembrel::detail
