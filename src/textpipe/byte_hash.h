// hash_bytes: a fast 64-bit hash of a short byte string, identical on every machine and in every
// run (hashing mode stores no vocabulary, so a model's bucket numbers must not depend on the process
// or the byte order of the machine that made them).
//
// The bytes are read as little-endian words: the first sixteen zero-padded, plus the last eight for
// longer strings, mixed with the length; each load reads only the string's own bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lib/text/byte_loads.h"

namespace ombrel::textpipe {

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
    key.head[0] = text::load_up_to_8_le(p, n);
  } else {
    key.head[0] = text::load64_le(p);
    key.head[1] = n <= 16 ? text::load_up_to_8_le(p + 8, n - 8) : text::load64_le(p + 8);
    if (n > 16) {
      // Every byte beyond the sixteenth takes part (long tokens are rare, so a loop is fine).
      std::uint64_t h = 0;
      std::size_t i = 16;
      for (; i + 8 <= n; i += 8) h = (h ^ text::load64_le(p + i)) * kMultiplier;
      if (i < n) h = (h ^ text::load_up_to_8_le(p + i, n - i)) * kMultiplier;
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
