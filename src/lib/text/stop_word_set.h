// A set of stop words, tested once per token.
//
// An open-addressing hash table (linear probing, load factor at most 1/2) over owned
// UTF-8 strings. A lookup hashes the probe bytes in place and compares against the stored
// words: it never allocates. A bit mask of the stored lengths rejects most tokens before
// hashing. Membership is exact byte equality.

#ifndef OMBREL_TEXT_STOP_WORD_SET_H_
#define OMBREL_TEXT_STOP_WORD_SET_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel::text {

class StopWordSet final {
 public:
  StopWordSet() = default;

  // Adds a copy of word; adding a word already present does nothing.
  void insert(std::string_view word);
  bool contains(std::string_view word) const;

  bool empty() const { return words_.empty(); }
  std::size_t size() const { return words_.size(); }

 private:
  struct Slot {
    std::uint64_t hash;
    std::uint32_t word;  // index into words_ plus one; 0 marks a free slot
  };

  static std::uint64_t hash_of(std::string_view word);
  static std::uint64_t length_bit(std::size_t length) {
    return std::uint64_t{1} << (length < 63 ? length : 63);
  }
  void grow();

  std::vector<std::string> words_;
  std::vector<Slot> slots_;  // size is 0 or a power of two
  std::uint64_t lengths_ = 0;  // bit min(length, 63) set for each stored word
};

}  // namespace ombrel::text

#endif  // OMBREL_TEXT_STOP_WORD_SET_H_
