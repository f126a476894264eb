// Reads a JPEG scan's entropy-coded data bit by bit, most significant bit first. Stuffed bytes
// (FF 00) are taken as FF; at a marker the reader stops and supplies zero bits, remembering
// which marker ended the data and how many bits it made up, so that a decoder which used any
// of them can tell that the data ended early.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace thumbtool {

// The entropy-coded bytes, delivered in pieces: `next`/`left` is the current piece and
// `refill` replaces it with the next one, answering false at the end of the data.
struct ByteFeed {
  const std::uint8_t* next = nullptr;
  std::size_t left = 0;
  bool (*refill)(ByteFeed& feed) = nullptr;
  void* context = nullptr;  // for refill
};

class BitReader {
 public:
  // What stopped the data when no marker did: the feed ran dry.
  static constexpr int kEndOfData = 0x100;
  static constexpr int kNoMarker = -1;
  // The most bits one call may ask to be buffered.
  static constexpr int kMaxEnsure = 56;

  explicit BitReader(ByteFeed& feed) : feed_(&feed) {}

  // Makes at least `bits` (at most kMaxEnsure) bits available to peek and consume.
  void ensure(int bits) {
    if (count_ < bits && !fillWhole()) {
      fill();
    }
  }
  // The next `bits` (1-32) bits without consuming them; ensure() them first.
  std::uint32_t peek(int bits) const { return static_cast<std::uint32_t>(buffer_ >> (64 - bits)); }
  void consume(int bits) {
    buffer_ <<= bits;
    count_ -= bits;
  }
  // True once a decoder consumed bits the data did not have.
  bool overread() const { return count_ < padding_; }

  // Whether the data ends here, with fewer than 8 bits of padding, at the given marker (its
  // second byte).
  bool atMarker(int marker);
  // At a restart boundary: atMarker() for the restart marker with the given number (0-7), and
  // reading starts afresh behind it.
  bool restart(int number);

 private:
  // Tops the buffer up to more than 56 bits, from the data or, past its end, with zeros.
  void fill();
  // The fast case of fill(): whole bytes straight from the feed when none is FF. False when it
  // cannot be used.
  bool fillWhole() {
    if (marker_ != kNoMarker || feed_->left < 8 || count_ > 56) {
      return false;
    }
    std::uint64_t word = 0;
    std::memcpy(&word, feed_->next, sizeof word);
    if constexpr (std::endian::native == std::endian::little) {
      word = __builtin_bswap64(word);
    }
    const int bytes = (64 - count_) / 8;
    const int unused = 64 - 8 * bytes;
    // An FF among the bytes taken needs the careful path; the bytes left are made non-FF here.
    std::uint64_t inverted = ~word;
    if (unused != 0) {
      inverted |= (std::uint64_t{1} << unused) - 1;
    }
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    if (((inverted - kOnes) & ~inverted & kHighs) != 0) {
      return false;
    }
    // unused is below 64 and at least count_: bytes is 1 to 8 while count_ is 0 to 56, which
    // holds as every consume is preceded by an ensure of more than it takes.
    buffer_ |= (word >> unused) << (unused - count_);
    count_ += 8 * bytes;
    feed_->next += bytes;
    feed_->left -= static_cast<std::size_t>(bytes);
    return true;
  }
  // After an FF byte: the data byte it stands for, or -1 when it began a marker (now recorded).
  int afterFF();
  // The next raw byte, or -1 at the end of the data.
  int nextByte();

  ByteFeed* feed_;
  std::uint64_t buffer_ = 0;  // left-aligned: the next bit is the top one
  int count_ = 0;             // bits in buffer_
  int padding_ = 0;           // zero bits at the end of buffer_ that stand in for missing data
  int marker_ = kNoMarker;    // the marker (second byte) or kEndOfData that ended the data
};

}  // namespace thumbtool
