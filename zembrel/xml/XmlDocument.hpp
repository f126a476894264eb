#pragma once

#include <cstdint>
#include <string>

#include "zembrel/CocoaXMLParser.hpp"

namespace zembrel::detail {

// The largest document the extractor takes, as text, as a file or from a saved
// answer: as large as the biggest answer a transfer keeps. A parse needs
// about as much memory again for the records, and the result as much once
// more, so this also bounds what one call can make the process hold.
inline constexpr std::int64_t kMaxDocumentBytes = std::int64_t{1} << 30;

// processXMLFile(document, andFlatten) for a document that the caller hands
// over: its bytes are released as soon as the parse ends, before the result is
// built, so the document and the whole result are never held at once.
// `document` is always XML text, never a path.
XMLResult processXMLDocument(std::string document, bool andFlatten);

}  // namespace zembrel::detail
