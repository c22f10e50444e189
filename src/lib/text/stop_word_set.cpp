#include "text/stop_word_set.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace ombrel::text {

namespace {

constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;

inline std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 32;
  x *= kMultiplier;
  x ^= x >> 29;
  return x;
}

inline std::uint64_t load64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline std::uint64_t load32(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

// Reads only the bytes of word: whole 8-byte words, then the tail as two overlapping
// 4-byte loads (4 to 7 bytes) or three single bytes (1 to 3 bytes), which between them
// cover every tail byte.
std::uint64_t StopWordSet::hash_of(std::string_view word) {
  const char* p = word.data();
  std::size_t n = word.size();
  std::uint64_t h = mix(n * kMultiplier + 1);
  for (; n >= 8; p += 8, n -= 8) h = mix(h ^ load64(p));
  std::uint64_t tail = 0;
  if (n >= 4) {
    tail = load32(p) | (load32(p + n - 4) << 32);
  } else if (n > 0) {
    const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
    tail = byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16) | (std::uint64_t{1} << 24);
  }
  return mix(h ^ tail);
}

void StopWordSet::insert(std::string_view word) {
  if (contains(word)) return;
  if (words_.size() >= std::numeric_limits<std::uint32_t>::max() - 1) {
    throw std::length_error("too many stop words");
  }
  if (2 * (words_.size() + 1) > slots_.size()) grow();
  words_.emplace_back(word);
  const std::uint64_t hash = hash_of(word);
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  while (slots_[i].word != 0) i = (i + 1) & mask;
  slots_[i] = Slot{hash, static_cast<std::uint32_t>(words_.size())};
  lengths_ |= length_bit(word.size());
}

bool StopWordSet::contains(std::string_view word) const {
  if ((lengths_ & length_bit(word.size())) == 0) return false;
  const std::uint64_t hash = hash_of(word);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.word == 0) return false;
    if (slot.hash == hash && words_[slot.word - 1] == word) return true;
  }
}

void StopWordSet::grow() {
  const std::size_t capacity = slots_.empty() ? 16 : 2 * slots_.size();
  std::vector<Slot> slots(capacity, Slot{0, 0});
  for (const Slot& slot : slots_) {
    if (slot.word == 0) continue;
    std::size_t i = slot.hash & (capacity - 1);
    while (slots[i].word != 0) i = (i + 1) & (capacity - 1);
    slots[i] = slot;
  }
  slots_.swap(slots);
}

}  // namespace ombrel::text
