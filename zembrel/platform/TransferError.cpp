#include "zembrel/platform/TransferError.hpp"

#include <curl/curl.h>
#include <netdb.h>

namespace zembrel::detail {

TransferError mapTransferError(CURL* easy, int curlCode) {
  const auto code = static_cast<CURLcode>(curlCode);
  TransferError error;
  error.message = curl_easy_strerror(code);

  if (code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_RESOLVE_PROXY) {
    // libcurl does not pass the resolver's own code on; the name is unknown.
    error.domain = "NetDB";
    error.code = EAI_NONAME;
    return error;
  }
  // libcurl keeps the errno of a failed connect to one address even when the
  // next address connects, so it names the failure only when the failure is
  // itself an OS error of the connection.
  const bool connectionFailure =
      code == CURLE_COULDNT_CONNECT || code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR;
  long osErrno = 0;
  if (easy && connectionFailure &&
      curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno) == CURLE_OK && osErrno != 0) {
    error.domain = "POSIX";
    error.code = static_cast<std::int32_t>(osErrno);
    return error;
  }
  error.domain = "Custom";
  error.code = static_cast<std::int32_t>(code);
  return error;
}

bool isConnectionFailure(const TransferError& error) {
  // The OS errors that reach the caller are those of the connection itself.
  if (error.domain == "POSIX" || error.domain == "NetDB") return true;
  if (error.domain != "Custom") return false;
  switch (static_cast<CURLcode>(error.code)) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
    case CURLE_QUIC_CONNECT_ERROR:
      return true;
    default:
      return false;
  }
}

TransferError answerNotKeptError() { return mapTransferError(nullptr, CURLE_WRITE_ERROR); }

TransferError outOfMemoryError() { return mapTransferError(nullptr, CURLE_OUT_OF_MEMORY); }

}  // namespace zembrel::detail
