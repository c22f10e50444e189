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

namespace detail {

inline std::uint64_t key_hash(const ByteKey& key, std::uint64_t tail, std::size_t n) {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  std::uint64_t h = (key.head[0] ^ (key.head[1] * kMultiplier) ^ tail ^ (std::uint64_t{n} << 56)) * kMultiplier;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 32);
}

// The bytes of a little-endian word below byte n (n < 8).
inline std::uint64_t low_bytes(std::uint64_t word, std::size_t n) {
  return word & ((std::uint64_t{1} << (8 * n)) - 1);
}

}  // namespace detail

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
  key.hash = detail::key_hash(key, tail, n);
  return key;
}

// byte_key(s) for a string followed by at least 16 readable bytes (the n-grams of a padded text
// are): whole words are loaded and the bytes past the string masked off, without the branches of
// loading exactly the string's bytes. Sets key to byte_key(s), field by field: a key built elsewhere
// and copied in whole would be read back as one wide load of narrower stores, which the processor
// cannot forward and stalls on.
inline void set_byte_key_with_slack(std::string_view s, ByteKey& key) {
  const char* p = s.data();
  const std::size_t n = s.size();
  if (n > 16) {
    key = byte_key(s);
    return;
  }
  const std::uint64_t first = text::load64_le(p);
  const std::uint64_t second = text::load64_le(p + 8);
  const std::uint64_t head0 = n < 8 ? detail::low_bytes(first, n) : first;
  const std::uint64_t head1 = n <= 8 ? 0 : n < 16 ? detail::low_bytes(second, n - 8) : second;
  key.head[0] = head0;
  key.head[1] = head1;
  key.hash = detail::key_hash(ByteKey{{head0, head1}, 0}, 0, n);
}

inline ByteKey byte_key_with_slack(std::string_view s) {
  ByteKey key;
  set_byte_key_with_slack(s, key);
  return key;
}

inline std::uint64_t hash_bytes(std::string_view s) {
  return byte_key(s).hash;
}

}  // namespace ombrel::textpipe
