#include "textpipe/text_to_ids.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

namespace ombrel::textpipe {

namespace {

struct ThreadStamps {
  std::vector<std::uint32_t> stamps;
  std::uint32_t generation = 0;
};

// Per thread, kept between calls: a worker maps many batches, and re-zeroing millions of stamps for
// each would cost more than the mapping.
thread_local ThreadStamps tls_stamps;

// One contiguous part's output, before the parts are joined in order.
struct Part {
  std::uint64_t begin;
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> lengths;  // ids per text
};

}  // namespace

DistinctIds::DistinctIds(std::size_t id_space) {
  if (id_space > kStampLimit) return;
  ThreadStamps& t = tls_stamps;
  if (t.stamps.size() < id_space) t.stamps.resize(id_space, 0);
  stamps_ = &t.stamps;
  generation_ = t.generation;
}

void DistinctIds::next_text() {
  if (stamps_ == nullptr) return;
  if (++generation_ == 0) {  // wrapped: old stamps could equal new generations
    std::fill(stamps_->begin(), stamps_->end(), 0);
    generation_ = 1;
  }
  tls_stamps.generation = generation_;
}

void DistinctIds::finish_text(std::vector<std::uint32_t>& ids, std::size_t begin) {
  if (stamps_ != nullptr || ids.size() - begin < 2) return;
  // (id, position) sorted by id, the first position of each id kept, then back to text order.
  scratch_.clear();
  for (std::size_t i = begin; i < ids.size(); ++i) {
    scratch_.push_back(std::uint64_t{ids[i]} << 32 | (i - begin));
  }
  std::sort(scratch_.begin(), scratch_.end());
  std::size_t kept = 0;
  std::uint64_t previous_id = ~std::uint64_t{0};
  for (std::size_t i = 0; i < scratch_.size(); ++i) {
    const std::uint64_t id = scratch_[i] >> 32;
    if (id == previous_id) continue;
    previous_id = id;
    scratch_[kept++] = (scratch_[i] & 0xFFFFFFFFu) << 32 | id;  // now (position, id)
  }
  std::sort(scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(kept));
  ids.resize(begin + kept);
  for (std::size_t i = 0; i < kept; ++i) ids[begin + i] = static_cast<std::uint32_t>(scratch_[i]);
}

void texts_to_ids(pool::ThreadPool& pool, std::span<const std::string_view> texts, const FeatureSpec& spec,
                  IdMapping mapping, std::span<const std::uint32_t> trailing, IdBatch& out) {
  std::mutex parts_mutex;
  std::vector<Part> parts;
  const bool use_word_map = mapping.buckets == 0 && mapping.words != nullptr && spec.maps_raw_words() &&
                            mapping.words->word_rule_digest == spec.word_rule_digest;
  const auto map_range = [&](std::uint64_t begin, std::uint64_t end) {
    Part part{begin, {}, {}};
    part.lengths.reserve(end - begin);
    FeatureExtractor extractor(spec);
    DistinctIds distinct(mapping.id_space());
    std::string stem_scratch;
    for (std::uint64_t i = begin; i < end; ++i) {
      const std::size_t start = part.ids.size();
      distinct.next_text();
      if (mapping.buckets > 0) {
        const std::uint32_t buckets = mapping.buckets;
        extractor.run(texts[i], [&](std::string_view feature) {
          const auto id = static_cast<std::uint32_t>(hash_bytes(feature) % buckets);
          if (distinct.first(id)) part.ids.push_back(id);
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
          if (distinct.first(id)) part.ids.push_back(id);
        });
      } else {
        const TokenTable& table = *mapping.table;
        extractor.run(texts[i], [&](std::string_view feature) {
          const std::uint32_t id = table.find(feature);
          if (id != TokenTable::kNotFound && distinct.first(id)) part.ids.push_back(id);
        });
      }
      distinct.finish_text(part.ids, start);
      if (!trailing.empty()) part.ids.push_back(trailing[i]);
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
