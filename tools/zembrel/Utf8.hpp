#pragma once

#include <cstddef>

namespace zembrel::cli {

// The UTF-8 sequence that starts at p[0] (a byte of 0x80 or more), of which
// `left` bytes are readable: `length` is the sequence length its lead byte
// announces (0 when the byte cannot start one), `valid` how many of its bytes
// form a well-formed prefix. The sequence is well-formed when both are equal
// and not 0. The range of the second byte rules out overlong forms,
// surrogates and values above U+10FFFF.
struct Utf8Sequence {
  std::size_t length = 0;
  std::size_t valid = 0;
};

inline Utf8Sequence utf8SequenceAt(const unsigned char* p, std::size_t left) {
  const unsigned char lead = p[0];
  Utf8Sequence sequence;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    sequence.length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    sequence.length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    sequence.length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return sequence;
  }
  sequence.valid = 1;
  while (sequence.valid < sequence.length && sequence.valid < left) {
    const unsigned char next = p[sequence.valid];
    const unsigned char lo = sequence.valid == 1 ? low : 0x80;
    const unsigned char hi = sequence.valid == 1 ? high : 0xBF;
    if (next < lo || next > hi) break;
    ++sequence.valid;
  }
  return sequence;
}

}  // namespace zembrel::cli
