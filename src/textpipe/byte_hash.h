// hash_bytes: a fast 64-bit hash of a short byte string, identical on every machine and in every
// run (hashing mode stores no vocabulary, so a model's bucket numbers must not depend on the process
// or the byte order of the machine that made them).
//
// The bytes are read as little-endian words: the first sixteen zero-padded, plus the last eight for
// longer strings, mixed with the length; each load reads only the string's own bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace ombrel::textpipe {

namespace detail {

inline std::uint64_t to_little_endian(std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(v);
  return v;
}
inline std::uint64_t load64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return to_little_endian(v);
}
inline std::uint64_t load32(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}
// The n <= 8 bytes at p as a little-endian integer, zero-padded, reading no other byte: two
// overlapping loads put every byte in its own position.
inline std::uint64_t load_up_to_8(const char* p, std::size_t n) {
  if (n >= 4) return n == 8 ? load64(p) : load32(p) | (load32(p + n - 4) << (8 * (n - 4)));
  if (n == 0) return 0;
  const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
  return byte(0) | (byte(n / 2) << (8 * (n / 2))) | (byte(n - 1) << (8 * (n - 1)));
}

}  // namespace detail

// The first 16 bytes of a string, zero-padded, as two little-endian words; with the length they
// identify every string of up to 16 bytes, which the token table uses to compare most tokens
// without touching their bytes.
struct ByteKey {
  std::uint64_t head[2];
  std::uint64_t hash;
};

inline ByteKey byte_key(std::string_view s) {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  const char* p = s.data();
  const std::size_t n = s.size();
  ByteKey key{};
  std::uint64_t tail = 0;
  if (n <= 8) {
    key.head[0] = detail::load_up_to_8(p, n);
  } else {
    key.head[0] = detail::load64(p);
    key.head[1] = n <= 16 ? detail::load_up_to_8(p + 8, n - 8) : detail::load64(p + 8);
    if (n > 16) {
      // Every byte beyond the sixteenth takes part (long tokens are rare, so a loop is fine).
      std::uint64_t h = 0;
      std::size_t i = 16;
      for (; i + 8 <= n; i += 8) h = (h ^ detail::load64(p + i)) * kMultiplier;
      if (i < n) h = (h ^ detail::load_up_to_8(p + i, n - i)) * kMultiplier;
      tail = h;
    }
  }
  std::uint64_t h =
      (key.head[0] ^ (key.head[1] * kMultiplier) ^ tail ^ (std::uint64_t{n} << 56)) * kMultiplier;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  key.hash = h ^ (h >> 32);
  return key;
}

inline std::uint64_t hash_bytes(std::string_view s) {
  return byte_key(s).hash;
}

}  // namespace ombrel::textpipe
