// PLACEHOLDER until the streamed POST lands: owners of the streamed POST's
// request, stream and body objects. Replaced by the real classes' files.
#include "zembrel/Zembrel.hpp"

namespace zembrel::detail {
class HttpRequest {};
class HttpStream {};
class UploadBody {};
template <> void Destroy<HttpRequest>::operator()(HttpRequest* p) const noexcept { delete p; }
template <> void Destroy<HttpStream>::operator()(HttpStream* p) const noexcept { delete p; }
template <> void Destroy<UploadBody>::operator()(UploadBody* p) const noexcept { delete p; }
}  // namespace zembrel::detail
