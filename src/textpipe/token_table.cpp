#include "textpipe/token_table.h"

#include <cstring>

namespace ombrel::textpipe {

bool TokenTable::rest_equal(std::uint32_t id, std::string_view token) const {
  const std::uint64_t begin = offsets_[id];
  if (offsets_[id + 1] - begin != token.size()) return false;
  return std::memcmp(bytes_.data() + begin + 16, token.data() + 16, token.size() - 16) == 0;
}

void TokenTable::reserve(std::size_t count) {
  std::size_t capacity = slots_.empty() ? 16 : slots_.size();
  while (capacity < 2 * count) capacity *= 2;
  if (capacity != slots_.size()) rehash(capacity);
  offsets_.reserve(count + 1);
}

std::uint32_t TokenTable::insert(std::string_view token, const ByteKey& key) {
  if (2 * (size() + 1) > slots_.size()) rehash(slots_.empty() ? 16 : 2 * slots_.size());
  const std::size_t mask = slots_.size() - 1;
  const std::uint32_t meta = meta_of(key, token.size());
  std::size_t i = key.hash & mask;
  for (;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.id == kNotFound) break;
    if (slot.head[0] == key.head[0] && slot.head[1] == key.head[1] && slot.meta == meta &&
        (token.size() <= 16 || rest_equal(slot.id, token))) {
      return slot.id;
    }
  }
  const auto id = static_cast<std::uint32_t>(size());
  slots_[i] = Slot{{key.head[0], key.head[1]}, meta, id, id, 0};
  bytes_.append(token);
  offsets_.push_back(bytes_.size());
  return id;
}

void TokenTable::rehash(std::size_t capacity) {
  std::vector<Slot> slots(capacity, Slot{{0, 0}, 0, kNotFound, kNotFound, 0});
  const std::size_t mask = capacity - 1;
  for (const Slot& slot : slots_) {
    if (slot.id == kNotFound) continue;
    std::size_t i = byte_key(token(slot.id)).hash & mask;
    while (slots[i].id != kNotFound) i = (i + 1) & mask;
    slots[i] = slot;
  }
  slots_.swap(slots);
}

void TokenTable::set_values(const std::vector<std::uint32_t>& values) {
  for (Slot& slot : slots_) {
    if (slot.id != kNotFound) slot.value = values[slot.id];
  }
}

}  // namespace ombrel::textpipe
