// Loads of a few bytes of a string as a little-endian integer, reading only the string's own bytes.
// The keys and hashes of the stop-word set, the token table and the token string store are made of
// them; little-endian on every machine, so that a hash stored in a model means the same everywhere.
#ifndef OMBREL_TEXT_BYTE_LOADS_H_
#define OMBREL_TEXT_BYTE_LOADS_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ombrel::text {

inline std::uint64_t load64_le(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

inline std::uint64_t load32_le(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// The n <= 8 bytes at p as a little-endian integer, zero-padded, reading no other byte: the loads
// overlap when the bytes do not fill them, and overlapping bytes are equal, so or-ing the loaded
// values puts every byte in its own position.
inline std::uint64_t load_up_to_8_le(const char* p, std::size_t n) {
  if (n >= 4) return n == 8 ? load64_le(p) : load32_le(p) | (load32_le(p + n - 4) << (8 * (n - 4)));
  if (n == 0) return 0;
  const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
  return byte(0) | (byte(n / 2) << (8 * (n / 2))) | (byte(n - 1) << (8 * (n - 1)));
}

}  // namespace ombrel::text

#endif  // OMBREL_TEXT_BYTE_LOADS_H_
