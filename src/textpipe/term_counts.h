// A text's distinct ids with their counts, for sublinear term frequency: a feature that occurs
// `count` times in a text is presented round(1 + ln(count)) times (1, 2 from 2 occurrences, 3 from
// 5, 4 from 13, 5 from 34, ...), so that a linear model's score grows with the log of its count, as
// TF-IDF's sublinear tf weighs a term, while a presentation stays one whole step of the field's sum.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ombrel::textpipe {

// round(1 + ln(count)) for count >= 1.
inline std::uint32_t log_tf_presentations(std::uint32_t count) {
  if (count < 2) return 1;
  return 1 + static_cast<std::uint32_t>(std::lround(std::log(static_cast<double>(count))));
}

// Open addressing over the ids of the current text: each slot holds the generation of the text that
// filled it (an older one is empty, so a new text clears nothing), the id, and its place in order.
// One TermCounts per thread at a time; next_text before each text.
class TermCounts final {
 public:
  TermCounts() : slots_(512) {}

  void next_text() {
    order_.clear();
    counts_.clear();
    if (++generation_ == 0) {  // wrapped: slots of generation 0 would look filled
      for (Slot& slot : slots_) slot.generation = 0;
      generation_ = 1;
    }
  }

  void add(std::uint32_t id) {
    if (2 * (order_.size() + 1) > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_of(id, mask);; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.generation != generation_) {
        slot = Slot{generation_, id, static_cast<std::uint32_t>(order_.size())};
        order_.push_back(id);
        counts_.push_back(1);
        return;
      }
      if (slot.id == id) {
        ++counts_[slot.index];
        return;
      }
    }
  }

  // Gives back the memory of a table grown past max_slots (by a huge text), so that a thread does not
  // keep megabytes for good.
  void trim(std::size_t max_slots) {
    if (slots_.size() <= max_slots) return;
    std::vector<Slot>(512).swap(slots_);
    std::vector<std::uint32_t>().swap(order_);
    std::vector<std::uint32_t>().swap(counts_);
    generation_ = 1;
  }

  // Appends the text's ids in order of first appearance, each log_tf_presentations(count) times in a row.
  void emit(std::vector<std::uint32_t>& out) const {
    for (std::size_t j = 0; j < order_.size(); ++j) {
      out.insert(out.end(), log_tf_presentations(counts_[j]), order_[j]);
    }
  }

 private:
  struct Slot {
    std::uint32_t generation = 0;
    std::uint32_t id = 0;
    std::uint32_t index = 0;
  };

  static std::size_t slot_of(std::uint32_t id, std::size_t mask) {
    return static_cast<std::size_t>((std::uint64_t{id} * 0x9E3779B97F4A7C15ull) >> 32) & mask;
  }

  void grow() {
    slots_.assign(slots_.size() * 2, Slot{});
    generation_ = 1;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t j = 0; j < order_.size(); ++j) {
      std::size_t i = slot_of(order_[j], mask);
      while (slots_[i].generation == generation_) i = (i + 1) & mask;
      slots_[i] = Slot{generation_, order_[j], static_cast<std::uint32_t>(j)};
    }
  }

  std::vector<Slot> slots_;              // size a power of two, at most half filled
  std::vector<std::uint32_t> order_;     // the text's distinct ids, in order of first appearance
  std::vector<std::uint32_t> counts_;    // the count of each
  std::uint32_t generation_ = 1;
};

}  // namespace ombrel::textpipe
