// Texts to token ids on the worker pool: every text's features (feature_extractor.h) mapped to
// sensory ids, each distinct id once per text, in one flat array.
//
// An id is the token table's id of the feature (features missing from the table are dropped), or
// in hashing mode hash_bytes(feature) % buckets. A text's ids are in the order their features first
// appear. The batch for n texts is ids[offsets[i], offsets[i + 1]) for text i, offsets[0] == 0.
//
// Thread-safety: texts_to_ids may run on many threads at once with the same spec, table and word
// map, which it only reads; each worker keeps its own stamps (DistinctIds) and output part.
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

// Keeps each id once per text. Ids below the stamp limit are marked in a per-thread array of
// stamps (one 32-bit word per id, kept by the thread between calls); a text's stamp is a fresh
// generation number, so nothing is cleared between texts. Larger id spaces sort and deduplicate
// each text's ids instead, keeping their first-seen order.
class DistinctIds final {
 public:
  static constexpr std::size_t kStampLimit = std::size_t{1} << 22;

  explicit DistinctIds(std::size_t id_space);
  // Starts a new text.
  void next_text();
  // Whether id was not yet seen in the current text (and marks it seen).
  bool first(std::uint32_t id) {
    if (stamps_ == nullptr) return true;  // deduplicated in finish_text
    std::uint32_t& stamp = (*stamps_)[id];
    if (stamp == generation_) return false;
    stamp = generation_;
    return true;
  }
  // For large id spaces: removes repeated ids from ids[begin, end()), keeping the first of each.
  void finish_text(std::vector<std::uint32_t>& ids, std::size_t begin);

 private:
  std::vector<std::uint32_t>* stamps_ = nullptr;
  std::uint32_t generation_ = 0;
  std::vector<std::uint64_t> scratch_;
};

// Maps texts[i] to its distinct ids, then appends trailing[i] when trailing is not empty
// (REQUIRES: then trailing.size() == texts.size()). Uses the pool when there are two texts or more;
// a single text is mapped on the calling thread. The views must stay valid and unchanged for the
// call. Throws std::bad_alloc, or what the pool throws.
void texts_to_ids(pool::ThreadPool& pool, std::span<const std::string_view> texts, const FeatureSpec& spec,
                  IdMapping mapping, std::span<const std::uint32_t> trailing, IdBatch& out);

}  // namespace ombrel::textpipe
