#include "JpegHuffman.hpp"

#include <cstddef>

namespace thumbtool {

std::optional<HuffmanTable> HuffmanTable::build(const HuffmanDefinition& definition) {
  std::size_t total = 0;
  for (std::uint8_t count : definition.counts) {
    total += count;
  }
  if (total == 0 || total > 256 || total > definition.symbols.size()) {
    return std::nullopt;
  }
  HuffmanTable table;
  table.symbols_.assign(definition.symbols.begin(),
                        definition.symbols.begin() + static_cast<long>(total));
  // Canonical codes: each length's codes follow on from the previous length's, doubled.
  std::array<std::uint16_t, 256> codes{};
  std::array<std::uint8_t, 256> lengths{};
  std::int32_t code = 0;
  std::size_t index = 0;
  for (int length = 1; length <= 16; ++length) {
    const int count = definition.counts[static_cast<std::size_t>(length - 1)];
    table.valueOffset_[static_cast<std::size_t>(length)] = static_cast<std::int32_t>(index) - code;
    for (int i = 0; i < count; ++i) {
      codes[index] = static_cast<std::uint16_t>(code);
      lengths[index] = static_cast<std::uint8_t>(length);
      ++index;
      ++code;
    }
    // The all-ones code of each length is reserved, so a full length is already too many.
    if (code >= (1 << length)) {
      return std::nullopt;
    }
    table.maxCode_[static_cast<std::size_t>(length)] = count != 0 ? code - 1 : -1;
    code <<= 1;
  }
  table.fillLookahead(codes, lengths);
  return table;
}

void HuffmanTable::fillLookahead(const std::array<std::uint16_t, 256>& codes,
                                 const std::array<std::uint8_t, 256>& lengths) {
  shorts_.assign(std::size_t{1} << kLookBits, Short{0, 0});
  for (std::size_t i = 0; i < symbols_.size(); ++i) {
    const int length = lengths[i];
    if (length > kLookBits) {
      continue;
    }
    // Every lookahead value that starts with this code.
    const int spare = kLookBits - length;
    const std::size_t first = static_cast<std::size_t>(codes[i]) << spare;
    const std::uint8_t symbol = symbols_[i];
    for (std::size_t j = 0; j < (std::size_t{1} << spare); ++j) {
      shorts_[first + j] = Short{static_cast<std::uint8_t>(length), symbol};
    }
  }
  fillSkips();
}

void HuffmanTable::fillSkips() {
  skips_.assign(std::size_t{1} << kLookBits, Skip{0, 0, 0, 0, 0});
  for (std::uint32_t bits = 0; bits <= kLookMask; ++bits) {
    Skip& skip = skips_[bits];
    const Short first = shorts_[bits];
    if (first.length == 0) {
      continue;
    }
    skip.drop = static_cast<std::uint8_t>(first.length + (first.symbol & 15));
    skip.advance = static_cast<std::uint8_t>(acAdvance(first.symbol));
    // Then as many whole symbols as the lookahead bits hold, stopping where the block would.
    int used = 0;
    int advance = 0;
    while (used < kLookBits) {
      const Short next = shorts_[(bits << used) & kLookMask];
      const int size = next.symbol & 15;
      const bool endOfBlock = size == 0 && acAdvance(next.symbol) == 64;
      const int move = endOfBlock ? 0 : acAdvance(next.symbol);
      if (next.length == 0 || next.length + size > kLookBits - used || advance + move > 64) {
        break;
      }
      used += next.length + size;
      if (endOfBlock) {
        skip.endsBlock = 1;
        break;
      }
      advance += move;
      if (advance == 64) {
        break;
      }
    }
    if (used == 0) {
      // The first symbol's coefficient bits reach past the lookahead: it goes alone.
      skip.dropAll = skip.drop;
      skip.advanceAll = skip.advance;
      continue;
    }
    skip.dropAll = static_cast<std::uint8_t>(used);
    skip.advanceAll = static_cast<std::uint8_t>(advance);
  }
}

int HuffmanTable::decodeLong(BitReader& reader) const {
  const std::int32_t bits = static_cast<std::int32_t>(reader.peek(16));
  for (int length = kLookBits + 1; length <= 16; ++length) {
    const std::int32_t code = bits >> (16 - length);
    if (code <= maxCode_[static_cast<std::size_t>(length)]) {
      const std::int32_t at = valueOffset_[static_cast<std::size_t>(length)] + code;
      if (at < 0 || static_cast<std::size_t>(at) >= symbols_.size()) {
        return -1;
      }
      reader.consume(length);
      return symbols_[static_cast<std::size_t>(at)];
    }
  }
  return -1;
}

int HuffmanTable::skipLongAc(BitReader& reader) const {
  const int symbol = decodeLong(reader);
  if (symbol < 0) {
    return 0;
  }
  reader.consume(symbol & 15);
  return acAdvance(symbol);
}

}  // namespace thumbtool
