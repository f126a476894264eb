#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <memory>

#include "zembrel/Zembrel.hpp"

namespace zembrel {

std::string Zembrel::md5FromString(std::string_view text) const {
  // The digest covers the bytes up to the first zero byte, as a C string would.
  const std::size_t length = ::strnlen(text.data(), text.size());

  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int digestLength = 0;
  // On failure the zeroed array is formatted, as with a digest that did not run.
  (void)EVP_Digest(text.data(), length, digest.data(), &digestLength, EVP_md5(), nullptr);

  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(32);
  for (std::size_t i = 0; i < 16; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0f];
  }
  return hex;
}

}  // namespace zembrel
