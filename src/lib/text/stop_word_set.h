// A set of stop words, tested once per token.
//
// An open-addressing hash table (linear probing, load factor at most 1/2) over copies of
// the words, which are stored back to back in one string. Each slot keeps its word's
// hash, length, position, and first 16 bytes packed into two zero-padded integers, so that
// a lookup of a word of up to 16 bytes (nearly every token) is a few integer comparisons;
// longer words compare their remaining bytes against the stored copy. Before hashing, a
// 4096-bit filter indexed by (first byte, last byte, length) turns away most words that
// are not in the set (for English stop words, about 97% of the other tokens). A lookup
// reads only the probe's own bytes and never allocates. Membership is exact byte equality.

#ifndef OMBREL_TEXT_STOP_WORD_SET_H_
#define OMBREL_TEXT_STOP_WORD_SET_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "lib/text/byte_loads.h"

namespace ombrel::text {

class StopWordSet final {
 public:
  StopWordSet() = default;

  // Makes room for `count` words in all, so that inserting them does not rehash.
  void reserve(std::size_t count);
  // Adds a copy of word; adding a word already present does nothing.
  void insert(std::string_view word);
  // Inline: the tokenizer calls it once per token.
  bool contains(std::string_view word) const {
    if (!may_contain(word)) return false;
    return slots_[find(word, key_of(word))].used;
  }

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }

 private:
  struct Key {
    std::uint64_t head[2];  // the first 16 bytes, zero-padded
    std::uint64_t hash;
  };
  struct Slot {
    std::uint64_t head[2];
    std::uint64_t hash;
    std::size_t offset;  // of the word in bytes_
    std::size_t length;
    bool used;
  };

  static constexpr unsigned kFilterBits = 12;

  static std::uint32_t filter_index(std::string_view word) {
    if (word.empty()) return 0;
    const std::uint32_t shape = static_cast<unsigned char>(word.front()) |
                                static_cast<std::uint32_t>(static_cast<unsigned char>(word.back())) << 8 |
                                static_cast<std::uint32_t>(word.size() < 255 ? word.size() : 255) << 16;
    return (shape * 0x9E3779B1u) >> (32 - kFilterBits);
  }
  bool may_contain(std::string_view word) const {
    const std::uint32_t i = filter_index(word);
    return (filter_[i / 64] >> (i % 64)) & 1;
  }

  static Key key_of(std::string_view word) {
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
    const char* p = word.data();
    const std::size_t n = word.size();
    Key key{};
    std::uint64_t tail = 0;
    if (n <= 8) {
      key.head[0] = load_up_to_8_le(p, n);
    } else {
      key.head[0] = load64_le(p);
      key.head[1] = n <= 16 ? load_up_to_8_le(p + 8, n - 8) : load64_le(p + 8);
      if (n > 16) tail = load64_le(p + n - 8);
    }
    const std::uint64_t h =
        (key.head[0] ^ (key.head[1] * kMultiplier) ^ tail ^ (std::uint64_t{n} << 56)) * kMultiplier;
    key.hash = h ^ (h >> 29);
    return key;
  }

  // The slot holding word, or the free slot that ends its probe sequence.
  std::size_t find(std::string_view word, const Key& key) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = key.hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (!slot.used) return i;
      if (slot.length == word.size() && slot.head[0] == key.head[0] && slot.head[1] == key.head[1] &&
          (word.size() <= 16 || rest_equal(slot, word))) {
        return i;
      }
    }
  }

  bool rest_equal(const Slot& slot, std::string_view word) const;
  void rehash(std::size_t capacity);

  std::string bytes_;        // the words, back to back
  std::vector<Slot> slots_;  // size is 0 or a power of two
  std::size_t size_ = 0;
  std::uint64_t filter_[(1u << kFilterBits) / 64] = {};  // bit filter_index(w) set for each word w
};

}  // namespace ombrel::text

#endif  // OMBREL_TEXT_STOP_WORD_SET_H_
