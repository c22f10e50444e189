#include "text/stop_word_set.h"

namespace ombrel::text {

bool StopWordSet::rest_equal(const Slot& slot, std::string_view word) const {
  return std::memcmp(words_[slot.word - 1].data() + 16, word.data() + 16, word.size() - 16) == 0;
}

void StopWordSet::insert(std::string_view word) {
  if (2 * (words_.size() + 1) > slots_.size()) grow();
  const Key key = key_of(word);
  Slot& slot = slots_[find(word, key)];
  if (slot.word != 0) return;
  words_.emplace_back(word);
  slot = Slot{{key.head[0], key.head[1]}, word.size(), words_.size()};
}

void StopWordSet::grow() {
  const std::size_t capacity = slots_.empty() ? 16 : 2 * slots_.size();
  std::vector<Slot> slots(capacity, Slot{});
  for (const Slot& slot : slots_) {
    if (slot.word == 0) continue;
    std::size_t i = key_of(words_[slot.word - 1]).hash & (capacity - 1);
    while (slots[i].word != 0) i = (i + 1) & (capacity - 1);
    slots[i] = slot;
  }
  slots_.swap(slots);
}

}  // namespace ombrel::text
