#include "textpipe/text_to_ids.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>

#include "textpipe/term_counts.h"

namespace ombrel::textpipe {

namespace {

// One contiguous part's output, before the parts are joined in order.
struct Part {
  std::uint64_t begin;
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> lengths;  // ids per text
};

}  // namespace

namespace {

struct ThreadIdSet {
  std::vector<std::uint64_t> slots = std::vector<std::uint64_t>(256, 0);
  std::uint32_t generation = 1;
};
thread_local ThreadIdSet tls_id_set;
// Slots a thread keeps between calls, at most (512 KiB).
constexpr std::size_t kKeptSlots = std::size_t{1} << 16;

}  // namespace

DistinctIds::DistinctIds()
    : owned_(tls_id_set.slots),
      slots_(owned_.data()),
      mask_(owned_.size() - 1),
      generation_(tls_id_set.generation) {}

DistinctIds::~DistinctIds() {
  tls_id_set.generation = generation_;
  // A huge text grew the slots: give them back rather than keep megabytes per thread for good.
  if (owned_.size() > kKeptSlots) std::vector<std::uint64_t>(256, 0).swap(owned_);
}

void DistinctIds::next_text() {
  count_ = 0;
  if (++generation_ == 0) {  // wrapped: slots of generation 0 would look filled
    std::fill(owned_.begin(), owned_.end(), 0);
    generation_ = 1;
  }
}

void DistinctIds::grow() {
  std::vector<std::uint64_t> old(owned_.size() * 2, 0);
  old.swap(owned_);
  slots_ = owned_.data();
  mask_ = owned_.size() - 1;
  for (const std::uint64_t slot : old) {
    if (slot >> 32 != generation_) continue;
    std::size_t i = slot_of(static_cast<std::uint32_t>(slot));
    while (slots_[i] >> 32 == generation_) i = (i + 1) & mask_;
    slots_[i] = slot;
  }
}

void texts_to_ids(pool::ThreadPool& pool, std::span<const std::string_view> texts, const FeatureSpec& spec,
                  IdMapping mapping, std::span<const std::uint32_t> trailing,
                  std::span<const std::uint32_t> suffix, IdBatch& out) {
  std::mutex parts_mutex;
  std::vector<Part> parts;
  const bool use_word_map = mapping.buckets == 0 && mapping.words != nullptr && spec.maps_raw_words() &&
                            mapping.words->word_rule_digest == spec.word_rule_digest;
  const auto map_range = [&](std::uint64_t begin, std::uint64_t end) {
    Part part{begin, {}, {}};
    part.lengths.reserve(end - begin);
    FeatureExtractor extractor(spec);
    DistinctIds distinct;
    std::string stem_scratch;
    // With log_tf, a text's ids are counted first and presented by their counts at its end.
    std::optional<TermCounts> counts;
    if (spec.log_tf) counts.emplace();
    const auto take = [&](std::uint32_t id) {
      if (counts) {
        counts->add(id);
      } else if (distinct.first(id)) {
        part.ids.push_back(id);
      }
    };
    for (std::uint64_t i = begin; i < end; ++i) {
      const std::size_t start = part.ids.size();
      distinct.next_text();
      if (counts) counts->next_text();
      if (mapping.buckets > 0) {
        const std::uint32_t buckets = mapping.buckets;
        extractor.run(texts[i], [&](std::string_view feature) {
          take(static_cast<std::uint32_t>(hash_bytes(feature) % buckets));
        });
      } else if (use_word_map) {
        const TokenTable& table = *mapping.table;
        const WordMap& words = *mapping.words;
        for_each_raw_word(texts[i], spec, [&](std::string_view raw) {
          std::uint32_t id = words.raw.find_value(raw);
          if (id == WordMap::kDrop) return;
          if (id == TokenTable::kNotFound) {  // a word not seen in training: the full path
            std::string_view word;
            if (!finish_word(raw, spec, stem_scratch, word)) return;
            id = table.find(word);
            if (id == TokenTable::kNotFound) return;
          }
          take(id);
        });
      } else {
        const TokenTable& table = *mapping.table;
        extractor.run(texts[i], [&](std::string_view feature) {
          const std::uint32_t id = table.find(feature);
          if (id != TokenTable::kNotFound) take(id);
        });
      }
      if (counts) counts->emit(part.ids);
      if (!trailing.empty()) part.ids.push_back(trailing[i]);
      part.ids.insert(part.ids.end(), suffix.begin(), suffix.end());
      part.lengths.push_back(static_cast<std::uint32_t>(part.ids.size() - start));
    }
    const std::lock_guard<std::mutex> lock(parts_mutex);
    parts.push_back(std::move(part));
  };
  pool::for_each_range(pool, texts.size(), map_range);

  std::sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) { return a.begin < b.begin; });
  std::size_t total = 0;
  for (const Part& part : parts) total += part.ids.size();
  out.ids.resize(total);
  out.offsets.assign(1, 0);
  out.offsets.reserve(texts.size() + 1);
  std::size_t at = 0;
  for (const Part& part : parts) {
    if (!part.ids.empty())
      std::memcpy(out.ids.data() + at, part.ids.data(), part.ids.size() * sizeof(std::uint32_t));
    at += part.ids.size();
    for (std::uint32_t length : part.lengths) out.offsets.push_back(out.offsets.back() + length);
  }
}

}  // namespace ombrel::textpipe
