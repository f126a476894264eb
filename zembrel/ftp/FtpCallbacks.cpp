// The read and reply-line callbacks that libcurl calls during FTP transfers.

#include <curl/curl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "zembrel/core/CancelToken.hpp"
#include "zembrel/core/MessageText.hpp"
#include "zembrel/ftp/CurlInfo.hpp"
#include "zembrel/ftp/FtpInternals.hpp"
#include "zembrel/ftp/FtpReplies.hpp"
#include "zembrel/platform/HostChannel.hpp"
#include "zembrel/platform/Text.hpp"

namespace zembrel::detail {
namespace {

void sendProgress(const CurlInfo& info, std::uint64_t bytes) {
  if (info.progress != nullptr) {
    (*info.progress)(bytes);
    return;
  }
  deliverHostMessage(progressMessageText(static_cast<std::int64_t>(bytes)));
}

bool containsCwd(std::string_view text) {
  for (std::size_t i = 0; i + 3 <= text.size(); ++i) {
    if (g_ascii_tolower(text[i]) == 'c' && g_ascii_tolower(text[i + 1]) == 'w' &&
        g_ascii_tolower(text[i + 2]) == 'd')
      return true;
  }
  return false;
}

std::size_t readBlock(CurlInfo& info, char* buffer, std::size_t size, std::size_t nitems) {
  // A cancelled upload ends here, never as a shorter file the server is
  // asked to confirm.
  if (info.token->requested()) return CURL_READFUNC_ABORT;
  if (info.localFailure) return CURL_READFUNC_ABORT;
  if (info.bytesRead >= info.totalBytes) return 0;
  // Never more than the size announced to the server, even if the file grew.
  const std::uint64_t left = info.totalBytes - info.bytesRead;
  const std::size_t wanted = static_cast<std::size_t>(
      std::min<std::uint64_t>(left, static_cast<std::uint64_t>(size) * nitems));
  const std::ptrdiff_t count = info.file.read(buffer, wanted);
  if (count <= 0) {
    // The file ended before its announced size, or reading failed: abort
    // rather than let a cut file be stored as complete.
    if (count < 0) {
      const int error = info.file.error();
      info.localFailure = std::string("Could not read the local file: ") + std::strerror(error);
      info.localFailureCode = error;
    } else {
      info.localFailure = "The local file shrank during the upload";
      info.localFailureCode = 0;
    }
    return CURL_READFUNC_ABORT;
  }
  const auto bytes = static_cast<std::size_t>(count);
  info.bytesRead += bytes;
  // libcurl asks for nothing after the announced size: a file that grew (or
  // was cut after its last block was read) is caught with this last block.
  if (info.bytesRead == info.totalBytes && noteSizeChange(info)) return CURL_READFUNC_ABORT;
  sendProgress(info, info.bytesRead);
  return bytes;
}

}  // namespace

int curlSeekCallback(void* record, std::int64_t offset, int origin) noexcept {
  auto& info = *static_cast<CurlInfo*>(record);
  try {
    if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
    if (static_cast<std::uint64_t>(offset) > info.totalBytes) {
      info.localFailure = "The remote file is larger than the local file";
      info.localFailureCode = 0;
      info.serverCopyFault = true;
      return CURL_SEEKFUNC_FAIL;
    }
    if (::lseek(info.file.descriptor(), static_cast<off_t>(offset), SEEK_SET) < 0) {
      const int error = errno;
      info.localFailure = std::string("Could not read the local file: ") + std::strerror(error);
      info.localFailureCode = error;
      return CURL_SEEKFUNC_FAIL;
    }
    info.bytesRead = static_cast<std::uint64_t>(offset);
    // The host learns at once what the server already holds.
    if (offset > 0) sendProgress(info, info.bytesRead);
    return CURL_SEEKFUNC_OK;
  } catch (...) {
    return CURL_SEEKFUNC_FAIL;
  }
}

bool noteSizeChange(CurlInfo& info) {
  if (!info.file.sizeChanged()) return false;
  struct stat status {};
  const bool grew = ::fstat(info.file.descriptor(), &status) == 0 &&
                    static_cast<std::uint64_t>(status.st_size) > info.totalBytes;
  info.localFailure =
      grew ? "The local file grew during the upload" : "The local file shrank during the upload";
  info.localFailureCode = 0;
  return true;
}

std::size_t curlReadCallback(char* buffer, std::size_t size, std::size_t nitems,
                             void* record) noexcept {
  try {
    return readBlock(*static_cast<CurlInfo*>(record), buffer, size, nitems);
  } catch (...) {
    return CURL_READFUNC_ABORT;
  }
}

std::size_t curlHeaderCallback(char* line, std::size_t size, std::size_t nitems,
                               void* scope) noexcept {
  const auto& reply = *static_cast<const FtpReplyScope*>(scope);
  const std::size_t length = size * nitems;
  try {
    // The code: a number read by strtol's rules from at most the first 4 bytes.
    char head[5] = {};
    std::memcpy(head, line, std::min<std::size_t>(length, 4));
    char* end = nullptr;
    const long code = std::strtol(head, &end, 10);
    if (end != head) {
      // The line without its CR LF; lines shorter than that give an empty text.
      std::string_view copy(line, length >= 2 ? length - 2 : 0);
      if (!containsCwd(copy)) {
        std::string_view text = copy.size() > 4 ? copy.substr(4) : std::string_view();
        // The whole line must be UTF-8, its code and separator included, and
        // so must the text cut from it.
        std::optional<std::string> description;
        if (isValidUtf8(copy) && isValidUtf8(text)) description.emplace(text);
        reply.replies->set(static_cast<std::int32_t>(code), std::move(description));
      }
    }
  } catch (...) {
    // Recording is best effort; the transfer goes on.
  }
  if (reply.token && reply.token->requested()) return 0;  // libcurl stops the operation
  return length;
}

}  // namespace zembrel::detail
