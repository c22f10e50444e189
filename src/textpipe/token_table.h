// TokenTable: a hash table from token bytes to dense ids 0, 1, 2, ... in order of insertion.
//
// Open addressing with linear probing, at most half full, capacity a power of two. A slot is 32
// bytes, two to a cache line: the token's first sixteen bytes (zero-padded), a word holding 24 bits
// of the hash and the length (capped at 255), the id, and a value (the id unless set_values
// changed it). A token of up to 16 bytes (nearly every word and character n-gram) is found by
// comparing those words, so a hit costs one cache line of the table and nothing else; a longer one
// also compares its remaining bytes against the copy in the arena, where the tokens lie back to
// back. A look-up reads only the probe's own bytes and never allocates. A slot of 16 bytes with only
// 8 bytes of the token was tried first: words of 9 to 16 bytes then read the arena too, and for a
// map of raw words to ids the value lived in another array, so a look-up touched up to four cache
// lines. Against std::unordered_map<std::string_view, uint32_t> see bench/token_table_bench.cpp.
//
// Thread-safety: const members may be called from many threads at once; insert needs exclusive use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "textpipe/byte_hash.h"

namespace ombrel::textpipe {

class TokenTable final {
 public:
  static constexpr std::uint32_t kNotFound = 0xFFFFFFFFu;

  TokenTable() = default;

  // Room for `count` tokens in all without rehashing.
  void reserve(std::size_t count);

  // The id of token, adding it with the next id when it is new.
  std::uint32_t insert(std::string_view token) { return insert(token, byte_key(token)); }
  std::uint32_t insert(std::string_view token, const ByteKey& key);

  // The id of token, or kNotFound.
  std::uint32_t find(std::string_view token) const {
    const Slot* slot = find_slot(token, byte_key(token));
    return slot != nullptr ? slot->id : kNotFound;
  }
  // The same with the token's key already computed. REQUIRES: key == byte_key(token).
  std::uint32_t find(std::string_view token, const ByteKey& key) const {
    const Slot* slot = find_slot(token, key);
    return slot != nullptr ? slot->id : kNotFound;
  }
  // The value of token (its id unless set_values changed it), or kNotFound.
  std::uint32_t find_value(std::string_view token) const {
    const Slot* slot = find_slot(token, byte_key(token));
    return slot != nullptr ? slot->value : kNotFound;
  }
  // The same with the token's key already computed. REQUIRES: key == byte_key(token).
  std::uint32_t find_value(std::string_view token, const ByteKey& key) const {
    const Slot* slot = find_slot(token, key);
    return slot != nullptr ? slot->value : kNotFound;
  }
  // Starts loading the slot where a look-up of key begins, so that a look-up issued a little later
  // finds it in the cache (a hint: changes no result).
  void prefetch(const ByteKey& key) const {
    if (!slots_.empty()) __builtin_prefetch(slots_.data() + (key.hash & (slots_.size() - 1)));
  }
  // Gives token `id` the value values[id]. REQUIRES: values.size() == size().
  void set_values(const std::vector<std::uint32_t>& values);

  std::size_t size() const { return offsets_.size() - 1; }
  // The bytes of token `id`. REQUIRES: id < size(). Valid until the next insert.
  std::string_view token(std::uint32_t id) const {
    return std::string_view(bytes_.data() + offsets_[id], offsets_[id + 1] - offsets_[id]);
  }
  // Bytes of the slots, which a look-up reads (one cache line each, mostly).
  std::size_t slot_bytes() const { return slots_.size() * sizeof(Slot); }
  // Memory held, in bytes.
  std::size_t memory_bytes() const {
    return bytes_.capacity() + offsets_.capacity() * sizeof(std::uint64_t) + slots_.capacity() * sizeof(Slot);
  }

 private:
  // Aligned so that a slot never straddles two cache lines (the allocator's 16 bytes would let every
  // other slot of a large table do so, and a probe then waits for two lines).
  struct alignas(32) Slot {
    std::uint64_t head[2];  // the first 16 bytes, little-endian, zero-padded
    std::uint32_t meta;     // hash bits 40..63 above the length (255 for 255 bytes and more)
    std::uint32_t id;       // kNotFound marks a free slot
    std::uint32_t value;
    std::uint32_t unused;
  };
  static_assert(sizeof(Slot) == 32);

  const Slot* find_slot(std::string_view token, const ByteKey& key) const {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    const std::uint32_t meta = meta_of(key, token.size());
    for (std::size_t i = key.hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.id == kNotFound) return nullptr;
      if (slot.head[0] == key.head[0] && slot.head[1] == key.head[1] && slot.meta == meta &&
          (token.size() <= 16 || rest_equal(slot.id, token))) {
        return &slot;
      }
    }
  }

  static std::uint32_t meta_of(const ByteKey& key, std::size_t length) {
    return static_cast<std::uint32_t>(key.hash >> 40) << 8 |
           static_cast<std::uint32_t>(length < 255 ? length : 255);
  }
  bool rest_equal(std::uint32_t id, std::string_view token) const;
  void rehash(std::size_t capacity);

  std::string bytes_;                      // the tokens, back to back
  std::vector<std::uint64_t> offsets_{0};  // token i is bytes_[offsets_[i], offsets_[i + 1])
  std::vector<Slot> slots_;                // size 0 or a power of two
};

// WordMap: from a raw word (lowercased, before the stop-word test and stemming) straight to its
// final id, for word features. Built from the training texts, where every raw word was seen: a
// word found here skips the stop-word test, the stemmer and the second look-up; kDrop marks stop
// words and words whose stem was pruned. Words not found take the full path.
struct WordMap {
  static constexpr std::uint32_t kDrop = 0xFFFFFFFEu;  // not TokenTable::kNotFound

  TokenTable raw;                      // values: the targets, once frozen
  std::vector<std::uint32_t> target;   // per raw id: the final id or kDrop
  std::uint64_t word_rule_digest = 0;  // of the FeatureSpec it was made under
};

}  // namespace ombrel::textpipe
