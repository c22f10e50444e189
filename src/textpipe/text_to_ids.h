// Texts to token ids on the worker pool: every text's features (feature_extractor.h) mapped to
// sensory ids, each distinct id once per text (or, with the FeatureSpec's log_tf, round(1 + ln(count))
// times in a row: term_counts.h), in one flat array.
//
// An id is the token table's id of the feature (features missing from the table are dropped), or
// in hashing mode hash_bytes(feature) % buckets. A text's ids are in the order their features first
// appear. The batch for n texts is ids[offsets[i], offsets[i + 1]) for text i, offsets[0] == 0.
//
// Thread-safety: texts_to_ids may run on many threads at once with the same spec, table and word
// map, which it only reads; each worker keeps its own set of a text's ids (DistinctIds) and output part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "pool/thread_pool.h"
#include "textpipe/feature_extractor.h"
#include "textpipe/token_table.h"

namespace ombrel::textpipe {

struct IdBatch {
  std::vector<std::uint32_t> ids;
  std::vector<std::uint64_t> offsets{0};

  std::size_t size() const { return offsets.size() - 1; }
};

// Where features go: a table (REQUIRES: table != nullptr when buckets == 0), or `buckets` hash
// buckets when buckets > 0.
struct IdMapping {
  const TokenTable* table = nullptr;
  std::uint32_t buckets = 0;
  // Optional, with a table: raw words found here take their id from it (see WordMap). Used only
  // when the FeatureSpec's word_rule_digest equals the map's.
  const WordMap* words = nullptr;

  std::size_t id_space() const { return buckets > 0 ? buckets : table->size(); }
};

// Keeps each id once per text: an open-addressing set of the text's ids, each slot holding an id
// and the generation of the text that put it there, so starting a text clears nothing (a slot of
// an older generation is empty). The slots belong to the thread and are kept between calls (a
// batch is mapped in many small ranges); their number follows the longest text the thread has
// seen (at most half full), not the id space: a thread's memory for it does not grow with the
// model. One DistinctIds per thread at a time.
class DistinctIds final {
 public:
  DistinctIds();
  ~DistinctIds();
  DistinctIds(const DistinctIds&) = delete;
  DistinctIds& operator=(const DistinctIds&) = delete;
  // Starts a new text.
  void next_text();
  // Whether id was not yet seen in the current text (and marks it seen).
  bool first(std::uint32_t id) {
    const std::uint64_t key = std::uint64_t{generation_} << 32 | id;
    std::size_t i = slot_of(id);
    while (true) {
      const std::uint64_t slot = slots_[i];
      if (slot == key) return false;
      if (slot >> 32 != generation_) break;  // empty for this text
      i = (i + 1) & mask_;
    }
    slots_[i] = key;
    if (++count_ * 2 > mask_ + 1) grow();
    return true;
  }

 private:
  std::size_t slot_of(std::uint32_t id) const {
    return static_cast<std::size_t>((std::uint64_t{id} * 0x9E3779B97F4A7C15ull) >> 32) & mask_;
  }
  void grow();

  std::vector<std::uint64_t>& owned_;  // the thread's slots
  std::uint64_t* slots_;
  std::size_t mask_;
  std::size_t count_ = 0;
  std::uint32_t generation_ = 1;
};

// Maps texts[i] to its distinct ids, then appends trailing[i] when trailing is not empty
// (REQUIRES: then trailing.size() == texts.size()), then the ids of suffix (the same for every text,
// e.g. a compiled model's bias neurons). Uses the pool when there are two texts or more; a single text
// is mapped on the calling thread. The views must stay valid and unchanged for the call. Throws
// std::bad_alloc, or what the pool throws.
void texts_to_ids(pool::ThreadPool& pool, std::span<const std::string_view> texts, const FeatureSpec& spec,
                  IdMapping mapping, std::span<const std::uint32_t> trailing,
                  std::span<const std::uint32_t> suffix, IdBatch& out);

}  // namespace ombrel::textpipe
