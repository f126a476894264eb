// A JPEG Huffman table made ready for decoding: canonical codes from the declared code
// lengths, a lookahead table for the short codes that nearly all symbols use, and the exact
// code-by-code search for the rest.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "JpegBitReader.hpp"

namespace thumbtool {

// A Huffman table as a JPEG file declares it: how many codes of each length 1-16, and the
// symbols in code order.
struct HuffmanDefinition {
  std::array<std::uint8_t, 16> counts{};
  std::vector<std::uint8_t> symbols;
};

class HuffmanTable {
 public:
  // Codes up to this many bits are found with one lookup.
  static constexpr int kLookBits = 12;
  static constexpr std::uint32_t kLookMask = (1u << kLookBits) - 1;
  // What the AC symbols at the start of the lookahead bits do, ready to skip. `drop` and
  // `advance`: the first symbol's code and coefficient bits, and how far it moves along the
  // block (64 for end-of-block). `dropAll` and `advanceAll`: the same for every symbol that
  // lies wholly within the lookahead bits (at least the first), with `endsBlock` set when the
  // last of them is end-of-block (whose move `advanceAll` leaves out). A `drop` of 0 marks a
  // code longer than kLookBits.
  struct Skip {
    std::uint8_t drop;
    std::uint8_t advance;
    std::uint8_t dropAll;
    std::uint8_t advanceAll : 7;
    std::uint8_t endsBlock : 1;
  };
  // A code up to kLookBits long and its symbol; `length` 0 for a longer code.
  struct Short {
    std::uint8_t length;
    std::uint8_t symbol;
  };

  // Null when the counts and symbols do not make a valid code: too many codes for their
  // lengths (an all-ones code included), more symbols than counted, or none at all.
  static std::optional<HuffmanTable> build(const HuffmanDefinition& definition);

  // The next symbol, the code consumed; -1 for bits that are no code. The reader must hold
  // at least 16 bits.
  int decode(BitReader& reader) const {
    const Short entry = shorts_[reader.peek(kLookBits)];
    if (entry.length != 0) {
      reader.consume(entry.length);
      return entry.symbol;
    }
    return decodeLong(reader);
  }

  // Skips the AC symbols of one block from position 1 (just after its DC), or answers false
  // for bits that are no code. Several short symbols go with one lookup when they all belong
  // to the block.
  bool skipAcBlock(BitReader& reader) const {
    const Skip* skips = skips_.data();
    int k = 1;
    while (k < 64) {
      reader.ensure(32);
      const Skip entry = skips[reader.peek(kLookBits)];
      const int reach = k + entry.advanceAll;
      if (entry.drop == 0) {
        const int advance = skipLongAc(reader);
        if (advance == 0) {
          return false;
        }
        k += advance;
      } else if (reach < 64 || (reach == 64 && !entry.endsBlock)) {
        reader.consume(entry.dropAll);
        if (entry.endsBlock) {
          return true;
        }
        k = reach;
      } else {
        reader.consume(entry.drop);
        k += entry.advance;
      }
    }
    return true;
  }

 private:
  HuffmanTable() = default;
  void fillLookahead(const std::array<std::uint16_t, 256>& codes,
                     const std::array<std::uint8_t, 256>& lengths);
  void fillSkips();
  int decodeLong(BitReader& reader) const;
  int skipLongAc(BitReader& reader) const;

  // Per code length 1-16 (index 0 unused): the largest code of that length (-1 for none),
  // and what to add to a code of that length to get its symbol's index.
  std::array<std::int32_t, 17> maxCode_{};
  std::array<std::int32_t, 17> valueOffset_{};
  std::vector<std::uint8_t> symbols_;
  std::vector<Short> shorts_;
  std::vector<Skip> skips_;
};

// Where an AC symbol moves a block's position: run of zeros plus the coefficient itself, 16
// for a run of sixteen zeros, and to the end for end-of-block (which any other zero-size
// symbol is taken for, as decoders commonly do).
inline int acAdvance(int symbol) {
  const int run = symbol >> 4;
  const int size = symbol & 15;
  if (size != 0) {
    return run + 1;
  }
  return run == 15 ? 16 : 64;
}

}  // namespace thumbtool
