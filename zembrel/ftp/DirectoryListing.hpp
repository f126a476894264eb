#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zembrel/FtpRecords.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

namespace zembrel::detail {

// Longest listing line kept, in bytes without its line feed; a longer one is
// dropped up to its line feed, so a server cannot grow the carry-over.
inline constexpr std::size_t kMaxListingLine = 64 * 1024;
// Most entries one tree listing gathers: past them the walk stops with an
// error result, whatever the server's fan-out.
inline constexpr std::size_t kMaxWalkEntries = 100000;

// The listing text of one tree walk, turned into entries as it arrives: what
// the listing callback keeps between blocks of one directory's text, and what
// the whole walk has gathered. Owned by the walk, used by the thread that
// runs it; no lock.
class DirectoryListing {
 public:
  // Before a tree listing: no entries counted yet.
  void beginWalk();
  // Before the listing of one directory: no entries, no carry-over.
  void beginDirectory();
  // Takes one block of listing text (the listing callback's work); false when
  // the listing must stop: its text passed the answer cap or the walk its
  // entry limit.
  bool takeBlock(std::string_view block);
  // Adds one entry (trimmed; "." and ".." skipped).
  void addEntry(std::string_view name, std::int32_t dirFlag);
  // Ends the directory and hands over its entries; when the transfer
  // completed, a last line that the server sent without a line feed is
  // parsed too.
  std::vector<FtpEntry> endDirectory(bool transferCompleted);
  // The walk met kMaxWalkEntries.
  bool tooManyEntries() const { return tooManyEntries_; }

 private:
  void takeLine(std::string_view line);

  std::vector<FtpEntry> entries_;  // of the directory being listed
  // The unfinished last line of the previous block (at most kMaxListingLine).
  std::string carry_;
  // Inside a line longer than kMaxListingLine: bytes up to its line feed go.
  bool skippingLongLine_ = false;
  // The listing text of this directory, against the cap on answers.
  AnswerBudget answer_;
  std::size_t walkEntries_ = 0;
  bool tooManyEntries_ = false;
};

// Write function of a directory listing; `listing` is the DirectoryListing.
// Cuts the listing text into lines and adds one entry per line the LIST
// parser accepts. Never throws.
std::size_t curlListingWriteCallback(char* data, std::size_t size, std::size_t nitems,
                                     void* listing) noexcept;

}  // namespace zembrel::detail
