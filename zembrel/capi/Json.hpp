#pragma once

// Results that are lists or trees, as the JSON texts that the C interface
// returns: the same shapes the `zembrel` command prints. Bytes that are not
// UTF-8 are written as U+FFFD.

#include <string>
#include <vector>

#include "zembrel/CocoaXMLParser.hpp"
#include "zembrel/FtpRecords.hpp"
#include "zembrel/HostMessages.hpp"
#include "zembrel/Zembrel.hpp"

namespace zembrel::capi {

// A list of {"element","value","attributes"}, or ["error text"].
std::string xmlResultJson(const XMLResult& result);
std::string elementEntriesJson(const std::vector<ElementEntry>& entries);
// {"directories":[{"name","directory","children"}…],"result":S}, "result"
// left out when absent.
std::string listingJson(const ListingResult& listing);
// ["a","b"].
std::string stringListJson(const std::vector<std::string>& values);
// Every member of the snapshot under its own name; absent values are null.
std::string snapshotJson(const Zembrel::Snapshot& snapshot);
// {"kind":"progress"|"complete","value":N} or {"kind":"error","domain":S,"code":N}.
std::string hostMessageJson(const HostMessage& message);

}  // namespace zembrel::capi
