#include "textpipe/vocabulary_builder.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "textpipe/term_counts.h"

namespace ombrel::textpipe {

namespace {

// Texts featurized per block: enough for the pool to share, few enough that the features of one
// block (a few megabytes) are all that is held at once.
constexpr std::size_t kBlockTexts = 2048;

// How many of a part's features ahead of the one being counted its table slot is prefetched.
constexpr std::uint32_t kAhead = 8;

// At most this many features are reserved for a part's table at its start (16 MiB of slots): a
// huge text of few distinct features must not reserve what its bytes would suggest.
constexpr std::uint64_t kReservedFeatures = std::uint64_t{1} << 18;

// One part of a block, featurized by a worker: its distinct features in a table of its own (local
// ids in order of first appearance) and each text's distinct local ids, so that the calling thread
// hashes and compares each feature's bytes once per part instead of once per occurrence.
struct FeaturePart {
  std::uint64_t begin;
  TokenTable features;
  std::vector<std::uint32_t> ids;       // each text's distinct local ids, text after text
  std::vector<std::uint32_t> per_text;  // how many of them each text has
  std::vector<std::uint32_t> counts;    // with log_tf: each entry of ids' occurrences in its text
};

// (feature, class) -> documents, open addressing over 64-bit keys.
class PairCounts final {
 public:
  // Adds one document; returns true when the pair is new.
  bool add(std::uint64_t key) {
    if (2 * (size_ + 1) > keys_.size()) grow();
    const std::size_t mask = keys_.size() - 1;
    for (std::size_t i = mix(key) & mask;; i = (i + 1) & mask) {
      if (keys_[i] == key) {
        ++counts_[i];
        return false;
      }
      if (keys_[i] == kEmpty) {
        keys_[i] = key;
        counts_[i] = 1;
        ++size_;
        return true;
      }
    }
  }
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (keys_[i] != kEmpty) fn(keys_[i], counts_[i]);
    }
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  static std::uint64_t mix(std::uint64_t k) {
    k *= 0x9E3779B97F4A7C15ull;
    return k ^ (k >> 31);
  }
  void grow() {
    std::vector<std::uint64_t> keys(keys_.empty() ? 1024 : 2 * keys_.size(), kEmpty);
    std::vector<std::uint32_t> counts(keys.size());
    const std::size_t mask = keys.size() - 1;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (keys_[i] == kEmpty) continue;
      std::size_t j = mix(keys_[i]) & mask;
      while (keys[j] != kEmpty) j = (j + 1) & mask;
      keys[j] = keys_[i];
      counts[j] = counts_[i];
    }
    keys_.swap(keys);
    counts_.swap(counts);
  }

  std::vector<std::uint64_t> keys_;
  std::vector<std::uint32_t> counts_;
  std::size_t size_ = 0;
};

}  // namespace

BuiltVocabulary build_vocabulary(pool::ThreadPool& pool, std::span<const std::string_view> texts,
                                 std::span<const std::uint32_t> labels, std::uint32_t class_count,
                                 const FeatureSpec& spec, const PruningRule& rule, bool with_probes) {
  TokenTable provisional;
  std::vector<std::uint32_t> document_frequency;
  std::vector<std::uint32_t> class_spread;   // classes each feature occurs in
  std::vector<std::uint32_t> last_document;  // 1 + the last document that had the feature
  PairCounts pairs;
  // The class spread decides only when a feature can occur in more classes than max_classes and the
  // coverage test can fail; otherwise the (feature, class) pairs, a random access each, are not kept.
  const bool spread_matters = class_count > rule.max_classes && rule.coverage > 0.0;
  IdBatch raw;  // each document's distinct provisional ids
  // With log_tf, each entry of raw counts its feature's occurrences in the document (the raw words
  // of one stem added up), and the documents present it round(1 + ln(count)) times, as transform
  // would make them: no second tokenizing pass.
  const bool counted = spec.log_tf;
  std::vector<std::uint32_t> raw_counts;
  std::vector<std::uint64_t> entry_of;  // with log_tf: per provisional id, its entry in raw for last_document
  // Word features are gathered as raw words (see WordMap), whose targets are provisional ids
  // until the vocabulary is pruned.
  const bool raw_words = spec.maps_raw_words();
  WordMap word_map;
  word_map.word_rule_digest = spec.word_rule_digest;
  std::string stem_scratch;

  // Distinct features per byte of text in the parts so far, in 1/1024ths: a part's table is made
  // that large at once (up to kReservedFeatures) instead of growing from nothing (character n-grams:
  // a rehash or two per part).
  std::atomic<std::uint64_t> density{0};
  // Featurizes the block of texts from `block` on: its parts, in text order.
  const auto featurize_block = [&](std::size_t block) {
    const std::size_t block_end = std::min(texts.size(), block + kBlockTexts);
    std::mutex parts_mutex;
    std::vector<FeaturePart> parts;
    pool::for_each_range(pool, block_end - block, [&](std::uint64_t begin, std::uint64_t end) {
      FeaturePart part{begin, {}, {}, {}, {}};
      part.per_text.reserve(end - begin);
      std::uint64_t bytes = 0;
      for (std::uint64_t i = begin; i < end; ++i) bytes += texts[block + i].size();
      const std::uint64_t expected = bytes * density.load(std::memory_order_relaxed) / 1024;
      part.features.reserve(std::min(expected, kReservedFeatures));
      FeatureExtractor extractor(spec);
      DistinctIds distinct;
      std::vector<std::uint64_t> entry;  // with log_tf: per local id, its entry in the current text
      const auto keep = [&](std::string_view feature) {
        const std::uint32_t local = part.features.insert(feature);
        if (distinct.first(local)) {
          if (counted) {
            if (local >= entry.size()) entry.resize(local + 1);
            entry[local] = part.ids.size();
            part.counts.push_back(1);
          }
          part.ids.push_back(local);
        } else if (counted) {
          ++part.counts[entry[local]];
        }
      };
      for (std::uint64_t i = begin; i < end; ++i) {
        const std::size_t before = part.ids.size();
        distinct.next_text();
        if (raw_words) {
          for_each_raw_word(texts[block + i], spec, keep);
        } else {
          extractor.run(texts[block + i], keep);
        }
        part.per_text.push_back(static_cast<std::uint32_t>(part.ids.size() - before));
      }
      if (bytes > 0) density.store(1024 * part.features.size() / bytes, std::memory_order_relaxed);
      const std::lock_guard<std::mutex> lock(parts_mutex);
      parts.push_back(std::move(part));
    });
    std::sort(parts.begin(), parts.end(),
              [](const FeaturePart& a, const FeaturePart& b) { return a.begin < b.begin; });
    return parts;
  };

  // Counts a featurized block into the provisional table, on one thread (the counts and the
  // provisional ids must follow the texts' order).
  std::vector<std::uint32_t> provisional_of;  // per local id of the part
  const auto count_block = [&](std::size_t block, const std::vector<FeaturePart>& parts) {
    for (const FeaturePart& part : parts) {
      // A part's local ids first appear in its texts in increasing order, so giving them their
      // provisional ids in that order keeps the ids in order of first appearance. Walked that way,
      // the look-ups (mostly misses in a large table) are known ahead and prefetched.
      const auto locals = static_cast<std::uint32_t>(part.features.size());
      provisional_of.resize(locals);
      const TokenTable& looked_up = raw_words ? word_map.raw : provisional;
      std::array<ByteKey, kAhead> ahead;
      const auto look_ahead = [&](std::uint32_t local) {
        ahead[local % kAhead] = byte_key(part.features.token(local));
        looked_up.prefetch(ahead[local % kAhead]);
      };
      for (std::uint32_t local = 0; local < std::min<std::uint32_t>(kAhead, locals); ++local) {
        look_ahead(local);
      }
      for (std::uint32_t local = 0; local < locals; ++local) {
        const ByteKey key = ahead[local % kAhead];
        if (local + kAhead < locals) look_ahead(local + kAhead);
        const std::string_view bytes = part.features.token(local);
        if (raw_words) {
          // A raw word: its stop-word test and stem are worked out once per distinct word.
          const std::uint32_t raw_id = word_map.raw.insert(bytes, key);
          if (raw_id == word_map.target.size()) {
            std::string_view word;
            word_map.target.push_back(
                finish_word(bytes, spec, stem_scratch, word) ? provisional.insert(word) : WordMap::kDrop);
          }
          provisional_of[local] = word_map.target[raw_id];
        } else {
          provisional_of[local] = provisional.insert(bytes, key);
        }
      }
      if (provisional.size() > document_frequency.size()) {
        document_frequency.resize(provisional.size(), 0);
        class_spread.resize(provisional.size(), 0);
        last_document.resize(provisional.size(), 0);
        if (counted) entry_of.resize(provisional.size(), 0);
      }
      std::size_t feature = 0;
      for (std::size_t t = 0; t < part.per_text.size(); ++t) {
        const std::size_t document = block + part.begin + t;
        const std::uint32_t label = labels[document];
        const auto stamp = static_cast<std::uint32_t>(document + 1);
        for (std::uint32_t k = 0; k < part.per_text[t]; ++k, ++feature) {
          const std::uint32_t id = provisional_of[part.ids[feature]];
          if (id == WordMap::kDrop) continue;
          if (last_document[id] == stamp) {  // two raw words with one stem
            if (counted) raw_counts[entry_of[id]] += part.counts[feature];
            continue;
          }
          last_document[id] = stamp;
          ++document_frequency[id];
          if (spread_matters && pairs.add(std::uint64_t{id} * class_count + label)) ++class_spread[id];
          if (counted) {
            entry_of[id] = raw.ids.size();
            raw_counts.push_back(part.counts[feature]);
          }
          raw.ids.push_back(id);
        }
        raw.offsets.push_back(raw.ids.size());
      }
    }
  };

  // Each block is counted while the pool featurizes the next one: counting is about as much work
  // as featurizing, and would otherwise leave all but one thread idle.
  std::vector<FeaturePart> current;
  if (!texts.empty()) current = featurize_block(0);
  for (std::size_t block = 0; block < texts.size(); block += kBlockTexts) {
    std::vector<FeaturePart> next;
    if (block + kBlockTexts < texts.size()) {
      pool.join([&](bool) { count_block(block, current); },
                [&](bool) { next = featurize_block(block + kBlockTexts); });
    } else {
      count_block(block, current);
    }
    current = std::move(next);
  }
  last_document = {};
  entry_of = {};

  // The features spread over more than max_classes classes keep their class counts for the
  // coverage test, gathered per feature (compressed rows over those features only).
  const std::size_t n = document_frequency.size();
  std::vector<bool> keep(n);
  std::vector<std::uint64_t> row(n + 1, 0);
  for (std::size_t id = 0; id < n; ++id) {
    const bool frequent = document_frequency[id] >= rule.min_df;
    const bool spread = class_spread[id] > rule.max_classes;
    keep[id] = frequent && !spread;
    row[id + 1] = row[id] + (frequent && spread ? class_spread[id] : 0);
  }
  if (row[n] > 0) {
    std::vector<std::uint32_t> counts(row[n]);
    std::vector<std::uint64_t> fill(row.begin(), row.end() - 1);
    pairs.for_each([&](std::uint64_t key, std::uint32_t count) {
      const std::uint64_t id = key / class_count;
      if (row[id + 1] > row[id]) counts[fill[id]++] = count;
    });
    for (std::size_t id = 0; id < n; ++id) {
      if (row[id + 1] == row[id]) continue;
      auto* first = counts.data() + row[id];
      auto* last = counts.data() + row[id + 1];
      std::nth_element(first, first + rule.max_classes, last, std::greater<>());
      std::uint64_t top = 0;
      for (auto* p = first; p < first + rule.max_classes; ++p) top += *p;
      keep[id] = static_cast<double>(top) >= rule.coverage * document_frequency[id];
    }
  }
  pairs = PairCounts();

  BuiltVocabulary out;
  out.distinct_features = n;
  std::vector<std::uint32_t> final_id(n, TokenTable::kNotFound);
  std::size_t kept = 0;
  for (std::size_t id = 0; id < n; ++id) kept += keep[id];
  out.table.reserve(kept);
  for (std::size_t id = 0; id < n; ++id) {
    if (keep[id]) final_id[id] = out.table.insert(provisional.token(static_cast<std::uint32_t>(id)));
  }
  provisional = TokenTable();
  if (raw_words) {
    for (std::uint32_t& target : word_map.target) {
      if (target != WordMap::kDrop)
        target = final_id[target] == TokenTable::kNotFound ? WordMap::kDrop : final_id[target];
    }
    word_map.raw.set_values(word_map.target);
    out.words = std::move(word_map);
    out.has_words = true;
  }

  IdBatch& documents = out.documents;
  documents.ids.reserve(raw.ids.size() + (with_probes ? texts.size() : 0));
  documents.offsets.reserve(texts.size() + 1);
  const auto probe_base = static_cast<std::uint32_t>(kept);
  for (std::size_t d = 0; d < raw.size(); ++d) {
    for (std::uint64_t k = raw.offsets[d]; k < raw.offsets[d + 1]; ++k) {
      const std::uint32_t id = final_id[raw.ids[k]];
      if (id == TokenTable::kNotFound) continue;
      if (counted) {
        documents.ids.insert(documents.ids.end(), log_tf_presentations(raw_counts[k]), id);
      } else {
        documents.ids.push_back(id);
      }
    }
    if (with_probes) documents.ids.push_back(probe_base + labels[d]);
    documents.offsets.push_back(documents.ids.size());
  }
  return out;
}

}  // namespace ombrel::textpipe
