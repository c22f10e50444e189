#include "textpipe/text_to_ids.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
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
thread_local TermCounts tls_term_counts;
thread_local FeatureExtractor::Buffers tls_extractor_buffers;
// Bytes of extractor buffer a thread keeps between calls, at most.
constexpr std::size_t kKeptBufferBytes = std::size_t{1} << 20;
// Slots a thread keeps between calls, at most (512 KiB).
constexpr std::size_t kKeptSlots = std::size_t{1} << 16;
// Ids reserved for a single text's features at most, before they are known.
constexpr std::size_t kGuessedIdsAtMost = std::size_t{1} << 14;

// The raw words of a text mapped through a WordMap. The map holds every raw training word, megabytes
// for a real corpus, so the first probe of a word mostly misses the caches, and probing word after
// word would wait for each miss in turn. Instead a word's key is computed and its first slot
// prefetched when the tokenizer hands the word over, and the words are probed kBurst at a time once
// kBurst newer words are pending, when their lines have arrived or are on their way: the misses of
// many words overlap. Words are still probed in text order, so the ids and their order are those of
// probing each word at once.
//
// The tokenizer's view of a word lasts only for its call, so a pending word keeps its bytes: a word
// of up to 16 bytes (nearly all) is its key's head, from which its bytes are rebuilt; a longer word
// is copied.
class RawWordMapper final {
 public:
  // counts: with log_tf, where the text's ids are counted instead of kept once in out.
  RawWordMapper(const FeatureSpec& spec, const TokenTable& table, const WordMap& words, DistinctIds& distinct,
                TermCounts* counts, std::vector<std::uint32_t>& out)
      : spec_(spec), table_(table), raw_(words.raw), distinct_(distinct), counts_(counts), out_(out) {}

  void map(std::string_view text) {
    for_each_raw_word(text, spec_, [this](std::string_view raw) { add(raw); });
    probe(added_ - probed_);
  }

 private:
  static constexpr std::size_t kBurst = 8;
  static constexpr std::size_t kRing = 2 * kBurst;  // a power of two

  struct Pending {
    ByteKey key;
    std::size_t size;
  };

  void add(std::string_view raw) {
    const std::size_t at = added_ % kRing;
    Pending& pending = ring_[at];
    pending.key = byte_key(raw);
    pending.size = raw.size();
    raw_.prefetch(pending.key);
    if (raw.size() > 16) long_words_[at].assign(raw);
    if (++added_ - probed_ == kRing) probe(kBurst);
  }

  // Probes the n oldest pending words.
  void probe(std::size_t n) {
    for (; n > 0; --n) {
      const std::size_t at = probed_++ % kRing;
      const Pending& pending = ring_[at];
      char short_word[16];
      std::string_view raw;
      if (pending.size <= 16) {
        std::uint64_t head[2] = {pending.key.head[0], pending.key.head[1]};  // little-endian, zero-padded
        if constexpr (std::endian::native == std::endian::big) {
          head[0] = __builtin_bswap64(head[0]);
          head[1] = __builtin_bswap64(head[1]);
        }
        std::memcpy(short_word, head, sizeof short_word);
        raw = std::string_view(short_word, pending.size);
      } else {
        raw = long_words_[at];
      }
      std::uint32_t id = raw_.find_value(raw, pending.key);
      if (id == WordMap::kDrop) continue;
      if (id == TokenTable::kNotFound) {  // a word not seen in training: the full path
        std::string_view word;
        if (!finish_word(raw, spec_, stem_scratch_, word)) continue;
        id = table_.find(word);
        if (id == TokenTable::kNotFound) continue;
      }
      if (counts_ != nullptr) {
        counts_->add(id);
      } else if (distinct_.first(id)) {
        out_.push_back(id);
      }
    }
  }

  const FeatureSpec& spec_;
  const TokenTable& table_;
  const TokenTable& raw_;
  DistinctIds& distinct_;
  TermCounts* counts_;
  std::vector<std::uint32_t>& out_;
  Pending ring_[kRing];            // word k is ring_[k % kRing] while pending
  std::string long_words_[kRing];  // the bytes of pending words longer than 16 bytes, in the same place
  std::size_t added_ = 0;          // words added, in all
  std::size_t probed_ = 0;         // words probed, in all (the older ones)
  std::string stem_scratch_;
};

// Marks of the ids a text has given, one 16-bit generation per id of the id space (and one more for
// TokenTable::kNotFound, so that a look-up's result needs no test before it is marked): an id is new
// to the text when its mark is not the text's generation. Kept by the thread between calls. For id
// spaces up to kMarkedIdsAtMost (1 MiB of marks a thread), where a mark costs one load and no hash,
// and the n-grams' ids can be kept once each without a branch; larger spaces use DistinctIds.
constexpr std::size_t kMarkedIdsAtMost = std::size_t{1} << 19;
struct ThreadIdMarks {
  std::vector<std::uint16_t> marks;
  std::uint16_t generation = 0;
};
thread_local ThreadIdMarks tls_id_marks;

class IdMarks final {
 public:
  static constexpr std::size_t kAhead = 16;

  explicit IdMarks(std::size_t id_space) : owned_(tls_id_marks) {
    if (owned_.marks.size() < id_space + 1) owned_.marks.resize(id_space + 1, 0);
    marks_ = owned_.marks.data();
    not_found_ = id_space;
  }
  void next_text() {
    if (++owned_.generation == 0) {  // wrapped: a mark of generation 0 would look set
      std::fill(owned_.marks.begin(), owned_.marks.end(), 0);
      owned_.generation = 1;
    }
  }
  bool first(std::uint32_t id) {
    std::uint16_t& mark = marks_[id];
    if (mark == owned_.generation) return false;
    mark = owned_.generation;
    return true;
  }
  // Appends the ids of the padded text's n-grams (lengths min to max, as the extractor orders them)
  // that the table holds and that are new to the text, in order. Each n-gram's key is computed as it
  // is reached, never stored as a string; with kPrefetch (a table larger than the caches), the first
  // slot of the n-gram kAhead places on is prefetched, so that many look-ups' misses overlap. Keeping
  // an id is arithmetic, not a branch. Not inlined: in a loop of its own its counters stay in
  // registers (inlined into the extractor's loop they went through the stack, costing a store and a
  // load apiece per n-gram).
  template <bool kPrefetch>
  [[gnu::noinline]] void append_ngrams(const TokenTable& table, const FeatureExtractor::PaddedText& padded,
                                       unsigned min, unsigned max, std::vector<std::uint32_t>& out) {
    std::size_t total = 0;
    for (std::size_t n = min; n <= max && n <= padded.chars; ++n) total += padded.chars - n + 1;
    const std::size_t at = out.size();
    out.resize(at + total);
    std::uint32_t* const dst = out.data() + at;
    std::uint16_t* const marks = marks_;
    const std::uint16_t generation = owned_.generation;
    const std::size_t not_found = not_found_;
    std::size_t kept = 0;
    for (std::size_t n = min; n <= max && n <= padded.chars; ++n) {
      const std::size_t last = padded.chars - n;  // the last n-gram's first character
      // With kPrefetch, the keys of the n-grams i to i + kAhead - 1 wait in ring, their slots on the way.
      ByteKey ring[kAhead];
      if constexpr (kPrefetch) {
        for (std::size_t k = 0; k < kAhead && k <= last; ++k) {
          set_byte_key_with_slack(padded.ngram(k, n), ring[k]);
          table.prefetch(ring[k]);
        }
      }
      for (std::size_t i = 0; i <= last; ++i) {
        const std::string_view ngram = padded.ngram(i, n);
        ByteKey key;
        if constexpr (kPrefetch) {
          key = ring[i % kAhead];
          if (i + kAhead <= last) {
            set_byte_key_with_slack(padded.ngram(i + kAhead, n), ring[i % kAhead]);
            table.prefetch(ring[i % kAhead]);
          }
        } else {
          set_byte_key_with_slack(ngram, key);
        }
        const std::uint32_t id = table.find(ngram, key);
        const std::size_t index = id == TokenTable::kNotFound ? not_found : id;
        dst[kept] = id;
        kept += (marks[index] != generation) & (id != TokenTable::kNotFound);
        marks[index] = generation;
      }
    }
    out.resize(at + kept);
  }

 private:
  ThreadIdMarks& owned_;
  std::uint16_t* marks_;
  std::size_t not_found_;
};

// Tables whose slots take more than this are prefetched.
constexpr std::size_t kPrefetchedTableBytes = std::size_t{1} << 20;

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
  // Maps texts [begin, end) into part.
  const auto map_into = [&](std::uint64_t begin, std::uint64_t end, Part& part) {
    part.lengths.reserve(end - begin);
    // A text of its own (a prediction's) would otherwise grow its ids through many small allocations;
    // the guess (a distinct id per 8 bytes) is capped, as a long text's ids grow as usual.
    if (end - begin == 1) {
      part.ids.reserve(std::min<std::size_t>(texts[begin].size() / 8, kGuessedIdsAtMost) + suffix.size() + 1);
    }
    FeatureExtractor::Buffers& buffers = tls_extractor_buffers;
    FeatureExtractor extractor(spec, buffers);
    DistinctIds distinct;
    // With log_tf, a text's ids are counted first and presented by their counts at its end.
    // The thread's own counts, kept between calls as the slots of DistinctIds are (a call per text is
    // the common case at prediction).
    TermCounts* const counts = spec.log_tf ? &tls_term_counts : nullptr;
    const auto take = [&](std::uint32_t id) {
      if (counts) {
        counts->add(id);
      } else if (distinct.first(id)) {
        part.ids.push_back(id);
      }
    };
    // The n-grams of texts mapped through a table, kept once each, by marks when the id space allows.
    std::optional<IdMarks> marks;
    if (mapping.buckets == 0 && spec.has_ngrams() && counts == nullptr && mapping.id_space() <= kMarkedIdsAtMost) {
      marks.emplace(mapping.id_space());
    }
    std::optional<RawWordMapper> word_mapper;
    if (use_word_map) {
      word_mapper.emplace(spec, *mapping.table, *mapping.words, distinct, counts, part.ids);
    }
    for (std::uint64_t i = begin; i < end; ++i) {
      const std::size_t start = part.ids.size();
      distinct.next_text();
      if (marks) marks->next_text();
      if (counts) counts->next_text();
      if (mapping.buckets > 0) {
        const std::uint32_t buckets = mapping.buckets;
        extractor.run(
            texts[i], [&](std::string_view word) { take(static_cast<std::uint32_t>(hash_bytes(word) % buckets)); },
            [&](std::string_view ngram) {
              take(static_cast<std::uint32_t>(byte_key_with_slack(ngram).hash % buckets));
            });
      } else if (word_mapper) {
        word_mapper->map(texts[i]);
      } else if (!spec.has_ngrams()) {
        const TokenTable& table = *mapping.table;
        extractor.run(texts[i], [&](std::string_view feature) {
          const std::uint32_t id = table.find(feature);
          if (id != TokenTable::kNotFound) take(id);
        });
      } else if (marks) {
        // Words come before every n-gram: each is looked up at once, then the n-grams in order.
        const TokenTable& table = *mapping.table;
        const bool prefetch = table.slot_bytes() > kPrefetchedTableBytes;
        extractor.run_padded(
            texts[i],
            [&](std::string_view word) {
              const std::uint32_t id = table.find(word);
              if (id != TokenTable::kNotFound && marks->first(id)) part.ids.push_back(id);
            },
            [&](const FeatureExtractor::PaddedText& padded) {
              if (prefetch) {
                marks->append_ngrams<true>(table, padded, spec.ngram_min, spec.ngram_max, part.ids);
              } else {
                marks->append_ngrams<false>(table, padded, spec.ngram_min, spec.ngram_max, part.ids);
              }
            });
      } else {
        const TokenTable& table = *mapping.table;
        extractor.run(
            texts[i],
            [&](std::string_view word) {
              const std::uint32_t id = table.find(word);
              if (id != TokenTable::kNotFound) take(id);
            },
            [&](std::string_view ngram) {
              const std::uint32_t id = table.find(ngram, byte_key_with_slack(ngram));
              if (id != TokenTable::kNotFound) take(id);
            });
      }
      if (counts) counts->emit(part.ids);
      if (!trailing.empty()) part.ids.push_back(trailing[i]);
      part.ids.insert(part.ids.end(), suffix.begin(), suffix.end());
      part.lengths.push_back(static_cast<std::uint32_t>(part.ids.size() - start));
    }
    if (counts) counts->trim(kKeptSlots);
    // A huge text grew the buffers: give them back rather than keep megabytes per thread for good.
    if (buffers.padded.capacity() + buffers.starts.capacity() * sizeof(std::uint32_t) > kKeptBufferBytes) {
      buffers = FeatureExtractor::Buffers();
    }
  };
  if (texts.size() == 1) {  // one text (a prediction's): on this thread, with nothing to join
    Part part{0, {}, {}};
    map_into(0, 1, part);
    out.ids = std::move(part.ids);
    out.offsets.assign({0, out.ids.size()});
    return;
  }
  pool::for_each_range(pool, texts.size(), [&](std::uint64_t begin, std::uint64_t end) {
    Part part{begin, {}, {}};
    map_into(begin, end, part);
    const std::lock_guard<std::mutex> lock(parts_mutex);
    parts.push_back(std::move(part));
  });

  std::sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) { return a.begin < b.begin; });
  out.offsets.assign(1, 0);
  out.offsets.reserve(texts.size() + 1);
  if (parts.size() == 1) {  // nothing to join
    out.ids = std::move(parts.front().ids);
  } else {
    std::size_t total = 0;
    for (const Part& part : parts) total += part.ids.size();
    out.ids.resize(total);
    std::size_t at = 0;
    for (const Part& part : parts) {
      if (!part.ids.empty())
        std::memcpy(out.ids.data() + at, part.ids.data(), part.ids.size() * sizeof(std::uint32_t));
      at += part.ids.size();
    }
  }
  for (const Part& part : parts) {
    for (std::uint32_t length : part.lengths) out.offsets.push_back(out.offsets.back() + length);
  }
}

}  // namespace ombrel::textpipe
