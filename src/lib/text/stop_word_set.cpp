#include "lib/text/stop_word_set.h"

namespace ombrel::text {

bool StopWordSet::rest_equal(const Slot& slot, std::string_view word) const {
  return std::memcmp(bytes_.data() + slot.offset + 16, word.data() + 16, word.size() - 16) == 0;
}

void StopWordSet::reserve(std::size_t count) {
  std::size_t capacity = slots_.empty() ? 16 : slots_.size();
  while (capacity < 2 * count) capacity *= 2;
  if (capacity != slots_.size()) rehash(capacity);
}

void StopWordSet::insert(std::string_view word) {
  if (2 * (size_ + 1) > slots_.size()) rehash(slots_.empty() ? 16 : 2 * slots_.size());
  const Key key = key_of(word);
  Slot& slot = slots_[find(word, key)];
  if (slot.used) return;
  slot = Slot{{key.head[0], key.head[1]}, key.hash, bytes_.size(), word.size(), true};
  bytes_.append(word);
  ++size_;
  const std::uint32_t bit = filter_index(word);
  filter_[bit / 64] |= std::uint64_t{1} << (bit % 64);
}

void StopWordSet::rehash(std::size_t capacity) {
  std::vector<Slot> slots(capacity, Slot{});
  for (const Slot& slot : slots_) {
    if (!slot.used) continue;
    std::size_t i = slot.hash & (capacity - 1);
    while (slots[i].used) i = (i + 1) & (capacity - 1);
    slots[i] = slot;
  }
  slots_.swap(slots);
}

}  // namespace ombrel::text
