#pragma once

#include <cstddef>
#include <string>

#include "zembrel/detail/Owned.hpp"
#include "zembrel/platform/TransferPolicy.hpp"

namespace zembrel::detail {

// Longest listing line kept, in bytes without its line feed; a longer one is
// dropped up to its line feed, so a server cannot grow the carry-over.
inline constexpr std::size_t kMaxListingLine = 64 * 1024;
// Most entries one tree listing gathers: past them the walk stops with an
// error result, whatever the server's fan-out.
inline constexpr std::size_t kMaxWalkEntries = 100000;

// The directory listing in progress on an instance: what the listing callback
// keeps between blocks of one directory's text, and what the whole tree walk
// has gathered. One per instance, used only by the thread that drives the
// instance's handle (a tree listing holds it for the whole walk), so two
// listings never share it; no lock.
struct DirectoryListing {
  // The unfinished last line of the previous block (at most kMaxListingLine).
  std::string listBuff;
  // Inside a line longer than kMaxListingLine: bytes up to its line feed go.
  bool skippingLongLine = false;
  // The listing text of this directory, against the cap on answers.
  AnswerBudget answer;
  // Entries of the whole walk, and whether it met kMaxWalkEntries.
  std::size_t walkEntries = 0;
  bool tooManyEntries = false;

  // Before the listing of one directory.
  void beginDirectory() {
    listBuff.clear();
    skippingLongLine = false;
    answer = AnswerBudget();
  }
  // Before a tree listing.
  void beginWalk() {
    beginDirectory();
    walkEntries = 0;
    tooManyEntries = false;
  }
};

}  // namespace zembrel::detail
