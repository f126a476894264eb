#pragma once

#include <cstdint>
#include <string>

typedef void CURL;

namespace zembrel::detail {

// A failed transfer as the host sees it: an error domain and a code.
//   "POSIX"  + errno        when connecting, sending or receiving failed in the OS
//   "NetDB"  + EAI_NONAME   when a host or proxy name could not be resolved
//   "Custom" + CURLcode     for every other libcurl failure
struct TransferError {
  std::string domain;
  std::int32_t code = 0;
  std::string message;  // libcurl's text, for logs
};

// Maps libcurl's result for `easy` (an int holding a CURLcode).
TransferError mapTransferError(CURL* easy, int curlCode);

// Whether the failure is one of the connection: it could not be made (the
// name did not resolve, nobody answered), broke, or stalled. Such a failure
// may pass when the transfer is tried again; a refused certificate, an
// unsupported URL or a body that could not be produced will not.
bool isConnectionFailure(const TransferError& error);

// A transfer that could not keep its answer (too large, or no room to hold
// it): "Custom" + CURLE_WRITE_ERROR, as libcurl reports it.
TransferError answerNotKeptError();
// Memory ran out while the transfer was set up.
TransferError outOfMemoryError();

}  // namespace zembrel::detail
