#pragma once

typedef void CURL;

namespace zembrel::detail {

// Attaches an easy handle to the process-wide session: one libcurl share that
// holds the cookie store and the DNS cache for every HTTP transfer of the
// process (streamed and simple POSTs alike), guarded by the share's locks.
// Cookies are on for the handle (the in-memory cookie engine).
void attachSharedSession(CURL* easy);

}  // namespace zembrel::detail
