// libFuzzer target: ombrel_learn's text pipeline (src/textpipe) on arbitrary bytes.
//
// The input is split into the settings (stemming, words, minimum length, n-gram lengths, a few stop
// words, hash buckets, the pruning rule and the labels), a few tokens for a token table, and a few
// texts (any bytes, so malformed UTF-8 too). Besides running clean under AddressSanitizer,
// UndefinedBehaviorSanitizer and LeakSanitizer, every run checks properties that hold for any input,
// against plain references written with the standard containers:
//   - the token table gives dense ids in order of insertion, finds exactly its own tokens (also
//     after many rehashes), hands back their bytes, and its keys hold the zero-padded first 16
//     bytes; a hash does not depend on where the bytes lie;
//   - features are the tokenizer's filtered words (cut at combining marks or not), then the pairs of
//     consecutive words, or the character n-grams of the padded word text, lengths
//     ngram_min..ngram_max, worked out here from the code points;
//   - texts_to_ids gives each text's distinct known ids (or hash buckets) in order of first
//     appearance, then its trailing id, the same for the whole batch as for each text alone; with
//     log_tf, each of those ids round(1 + ln(count)) times in a row;
//   - a word map with any targets (as a vocabulary file may hold them) gives only ids in range;
//   - build_vocabulary keeps exactly the features with enough documents and a narrow enough class
//     spread, in order of first appearance; its training documents are what texts_to_ids makes of
//     the same texts with the new table, with and without the word map it returns.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lib/text/stop_word_set.h"
#include "lib/text/tokenizer.h"
#include "lib/text/utf8.h"
#include "pool/thread_pool.h"
#include "textpipe/byte_hash.h"
#include "textpipe/feature_extractor.h"
#include "textpipe/text_to_ids.h"
#include "textpipe/token_table.h"
#include "textpipe/vocabulary_builder.h"

namespace {

using ombrel::textpipe::FeatureSpec;
using ombrel::textpipe::IdBatch;
using ombrel::textpipe::IdMapping;
using ombrel::textpipe::TokenTable;
using ombrel::textpipe::WordMap;
using Strings = std::vector<std::string>;
using IdLists = std::vector<std::vector<std::uint32_t>>;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "text pipeline property broken: %s\n", what);
  std::abort();
}

void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

// One worker: the batch paths (parts joined in order) run, and the fuzzer keeps to one core.
ombrel::pool::ThreadPool& pool() {
  static auto* p = new ombrel::pool::ThreadPool(1);
  return *p;
}

// The features by the rules, from the tokenizer's own words (tokenizer_fuzzer checks those).
Strings reference_features(std::string_view text, const FeatureSpec& spec,
                           const std::vector<std::string>& stop_words) {
  ombrel::text::StopWordSet stop;
  for (const std::string& w : stop_words) stop.insert(w);
  const Strings words = ombrel::text::tokenize(text, stop, spec.apply_stemming, spec.min_length, spec.marks);
  Strings out;
  if (spec.words) out = words;
  if (spec.bigrams) {
    for (std::size_t i = 0; i + 1 < words.size(); ++i) out.push_back(words[i] + " " + words[i + 1]);
    return out;
  }
  if (!(spec.ngram_min > 0 && spec.ngram_max > 0 && spec.ngram_min <= spec.ngram_max)) return out;
  std::string padded = " ";
  for (const std::string& w : words) padded += w + " ";
  if (words.empty()) padded += " ";
  Strings chars;
  const auto* p = reinterpret_cast<const unsigned char*>(padded.data());
  const auto* end = p + padded.size();
  while (p < end) {
    std::size_t length = 1;
    if (*p >= 0x80) {
      const auto decoded = ombrel::text::utf8::decode(p, end);
      check(decoded.length != 0, "words are well-formed UTF-8");
      length = decoded.length;
    }
    chars.emplace_back(reinterpret_cast<const char*>(p), length);
    p += length;
  }
  for (std::size_t n = spec.ngram_min; n <= spec.ngram_max; ++n) {
    for (std::size_t i = 0; i + n <= chars.size(); ++i) {
      std::string gram;
      for (std::size_t k = 0; k < n; ++k) gram += chars[i + k];
      out.push_back(std::move(gram));
    }
  }
  return out;
}

Strings features_of(const FeatureSpec& spec, std::string_view text) {
  Strings out;
  ombrel::textpipe::FeatureExtractor extractor(spec);
  extractor.run(text, [&](std::string_view f) { out.emplace_back(f); });
  return out;
}

IdLists lists_of(const IdBatch& batch) {
  check(!batch.offsets.empty() && batch.offsets.front() == 0, "offsets start at 0");
  check(batch.offsets.back() == batch.ids.size(), "offsets end at the id count");
  IdLists out;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    check(batch.offsets[i] <= batch.offsets[i + 1], "offsets never decrease");
    out.emplace_back(batch.ids.begin() + static_cast<std::ptrdiff_t>(batch.offsets[i]),
                     batch.ids.begin() + static_cast<std::ptrdiff_t>(batch.offsets[i + 1]));
  }
  return out;
}

IdBatch run_ids(const std::vector<std::string_view>& texts, const FeatureSpec& spec, IdMapping mapping,
                const std::vector<std::uint32_t>& trailing) {
  IdBatch batch;
  ombrel::textpipe::texts_to_ids(pool(), texts, spec, mapping, trailing, {}, batch);
  check(batch.size() == texts.size(), "one id list per text");
  return batch;
}

// How often sublinear tf presents a token met `count` times: round(1 + ln(count)), counted up
// through the thresholds e^0.5, e^1.5, e^2.5, ...
std::uint32_t presentations(std::uint32_t count) {
  std::uint32_t n = 1;
  for (double threshold = std::exp(0.5); count >= threshold; threshold *= std::exp(1.0)) ++n;
  return n;
}

// Each text's distinct ids of its features (id_of: kNotFound drops a feature), each once or, when
// counted, presentations(its count) times, then its trailing id.
template <class IdOf>
IdLists reference_ids(const std::vector<Strings>& features, IdOf&& id_of,
                      const std::vector<std::uint32_t>& trailing, bool counted = false) {
  IdLists out;
  for (std::size_t i = 0; i < features.size(); ++i) {
    std::vector<std::uint32_t> ids;
    std::vector<std::uint32_t> order;
    std::map<std::uint32_t, std::uint32_t> count;
    for (const std::string& f : features[i]) {
      const std::uint32_t id = id_of(f);
      if (id != TokenTable::kNotFound && count[id]++ == 0) order.push_back(id);
    }
    for (const std::uint32_t id : order) ids.insert(ids.end(), counted ? presentations(count[id]) : 1, id);
    if (!trailing.empty()) ids.push_back(trailing[i]);
    out.push_back(std::move(ids));
  }
  return out;
}

void check_table(const TokenTable& table, const Strings& tokens,
                 const std::unordered_map<std::string, std::uint32_t>& ids, const Strings& probes) {
  check(table.size() == tokens.size(), "the table counts its distinct tokens");
  for (std::uint32_t id = 0; id < tokens.size(); ++id) {
    check(table.token(id) == tokens[id], "token(id) gives the bytes inserted under id");
    check(table.find(tokens[id]) == id, "a token is found under its id");
  }
  for (const std::string& probe : probes) {
    const auto it = ids.find(probe);
    check(table.find(probe) == (it == ids.end() ? TokenTable::kNotFound : it->second),
          "find agrees with a map on any string");
  }
}

void check_key(std::string_view s) {
  const auto key = ombrel::textpipe::byte_key(s);
  unsigned char head[16] = {};
  std::memcpy(head, s.data(), std::min<std::size_t>(s.size(), 16));
  for (int w = 0; w < 2; ++w) {
    std::uint64_t v = 0;
    for (int b = 7; b >= 0; --b) v = v << 8 | head[8 * w + b];
    check(key.head[w] == v, "a key holds the first 16 bytes, little-endian and zero-padded");
  }
  // The same bytes at another address (and alignment) hash the same.
  const std::string moved = "x" + std::string(s);
  check(ombrel::textpipe::hash_bytes(std::string_view(moved).substr(1)) == key.hash,
        "the hash depends on the bytes only");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);

  // Settings.
  FeatureSpec spec;
  spec.apply_stemming = input.ConsumeBool();
  spec.words = input.ConsumeBool();
  const int length_choice = input.ConsumeIntegralInRange<int>(0, 5);
  spec.min_length = length_choice == 5 ? input.ConsumeIntegral<std::uint64_t>() : length_choice;
  spec.ngram_min = input.ConsumeIntegralInRange<unsigned>(0, 5);
  spec.ngram_max = input.ConsumeIntegralInRange<unsigned>(0, input.ConsumeBool() ? 16 : 5);
  std::vector<std::string> stop_words(input.ConsumeIntegralInRange<int>(0, 3));
  for (std::string& w : stop_words) {
    w = input.ConsumeRandomLengthString(20);
    spec.stop_words.insert(w);
  }
  spec.word_rule_digest = input.ConsumeIntegral<std::uint8_t>();
  // Marks kept inside words, and word pairs (which never go with n-grams).
  const std::uint8_t options = input.ConsumeIntegral<std::uint8_t>();
  spec.marks = (options & 1) != 0 ? ombrel::text::Marks::kJoin : ombrel::text::Marks::kSeparate;
  spec.bigrams = (options & 2) != 0 && !spec.has_ngrams();
  std::uint32_t buckets = 0;
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 1: buckets = input.ConsumeIntegralInRange<std::uint32_t>(1, 64); break;
    case 2: buckets = input.ConsumeIntegral<std::uint32_t>() | 1; break;  // above the stamp limit, mostly
    default: break;
  }
  const std::uint32_t class_count = input.ConsumeIntegralInRange<std::uint32_t>(1, 12);
  ombrel::textpipe::PruningRule rule;
  rule.min_df = input.ConsumeIntegralInRange<std::uint32_t>(0, 3);
  rule.max_classes = input.ConsumeIntegralInRange<std::uint32_t>(1, 8);
  rule.coverage = input.ConsumeIntegralInRange<int>(0, 4) / 4.0;
  const bool with_probes = input.ConsumeBool();
  const std::uint8_t table_picks = input.ConsumeIntegral<std::uint8_t>();

  // Tokens of a table, and texts.
  Strings tokens_in(input.ConsumeIntegralInRange<int>(0, 8));
  for (std::string& t : tokens_in) t = input.ConsumeRandomLengthString(40);
  Strings texts(input.ConsumeIntegralInRange<int>(1, 5));
  std::vector<std::uint32_t> labels(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    labels[i] = input.ConsumeIntegralInRange<std::uint32_t>(0, class_count - 1);
    texts[i] =
        i + 1 < texts.size() ? input.ConsumeRandomLengthString(200) : input.ConsumeRemainingBytesAsString();
  }
  const std::vector<std::string_view> views(texts.begin(), texts.end());

  // Features against the reference.
  std::vector<Strings> features;
  for (const std::string& text : texts) {
    features.push_back(features_of(spec, text));
    check(features.back() == reference_features(text, spec, stop_words),
          "features are the words, then the n-grams of the padded word text");
  }

  // A token table: the given tokens and some of the texts' features, with a map beside it.
  Strings tokens;
  std::unordered_map<std::string, std::uint32_t> ids;
  TokenTable table;
  const auto add = [&](const std::string& t) {
    const auto [it, fresh] = ids.emplace(t, static_cast<std::uint32_t>(tokens.size()));
    if (fresh) tokens.push_back(t);
    check(table.insert(t) == it->second, "insert gives a new token the next id, a known one its id");
  };
  for (const std::string& t : tokens_in) add(t);
  std::size_t pick = 0;
  for (const Strings& fs : features) {
    for (const std::string& f : fs) {
      if ((table_picks >> (pick++ % 8)) & 1) add(f);
    }
  }
  Strings probes = tokens_in;
  for (const Strings& fs : features) probes.insert(probes.end(), fs.begin(), fs.end());
  for (const std::string& t : tokens_in) {
    probes.push_back(t + "x");
    if (!t.empty()) probes.push_back(t.substr(0, t.size() - 1));
  }
  check_table(table, tokens, ids, probes);
  for (const std::string& p : probes) check_key(p);
  // Values: any numbers, found beside the ids.
  std::vector<std::uint32_t> values(tokens.size());
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint32_t>(i * 2654435761u);
  TokenTable valued = table;
  valued.set_values(values);
  for (std::uint32_t id = 0; id < tokens.size(); ++id) {
    check(valued.find_value(tokens[id]) == values[id] && valued.find(tokens[id]) == id,
          "set_values gives each token its value and keeps its id");
  }

  std::vector<std::uint32_t> trailing;
  if (with_probes) {
    for (std::uint32_t label : labels) trailing.push_back(0xFFFF0000u + label);
  }

  // Texts to ids: the table, then hash buckets.
  IdMapping by_table{&table, 0, nullptr};
  const auto find = [&](const std::string& f) {
    const auto it = ids.find(f);
    return it == ids.end() ? TokenTable::kNotFound : it->second;
  };
  const IdLists from_table = lists_of(run_ids(views, spec, by_table, trailing));
  check(from_table == reference_ids(features, find, trailing),
        "texts_to_ids gives each text's distinct known ids in first-seen order");
  FeatureSpec counted = spec;
  counted.log_tf = true;
  check(lists_of(run_ids(views, counted, by_table, trailing)) ==
            reference_ids(features, find, trailing, true),
        "with log_tf, each known id round(1 + ln(count)) times in a row");
  if (views.size() > 1) {
    for (std::size_t i = 0; i < views.size(); ++i) {
      const IdLists alone = lists_of(run_ids({views[i]}, spec, by_table, {}));
      std::vector<std::uint32_t> want = from_table[i];
      if (with_probes) want.pop_back();
      check(alone.size() == 1 && alone[0] == want, "a text alone gets the ids it gets in a batch");
    }
  }
  if (buckets > 0) {
    const auto bucket = [&](const std::string& f) {
      return static_cast<std::uint32_t>(ombrel::textpipe::hash_bytes(f) % buckets);
    };
    check(lists_of(run_ids(views, spec, IdMapping{nullptr, buckets, nullptr}, trailing)) ==
              reference_ids(features, bucket, trailing),
          "hashing gives each text's distinct buckets in first-seen order");
    check(lists_of(run_ids(views, counted, IdMapping{nullptr, buckets, nullptr}, trailing)) ==
              reference_ids(features, bucket, trailing, true),
          "with log_tf, each bucket round(1 + ln(count)) times in a row");
  }

  // A word map with any targets a vocabulary file may hold: ids stay in range.
  {
    WordMap words;
    words.word_rule_digest = spec.word_rule_digest;
    for (std::size_t i = 0; i < probes.size() && i < 24; ++i) {
      if (words.raw.insert(probes[i]) != words.target.size()) continue;
      const std::uint32_t choice =
          static_cast<std::uint32_t>(ombrel::textpipe::hash_bytes(probes[i]) % (tokens.size() + 1));
      words.target.push_back(choice == tokens.size() ? WordMap::kDrop : choice);
    }
    words.raw.set_values(words.target);
    const IdLists mapped = lists_of(run_ids(views, spec, IdMapping{&table, 0, &words}, {}));
    for (const auto& list : mapped) {
      for (std::uint32_t id : list) check(id < table.size(), "a word map gives only ids in the table");
      check(std::set<std::uint32_t>(list.begin(), list.end()).size() == list.size(),
            "a word map gives each id once per text");
    }
  }

  // Building a vocabulary from the texts.
  const auto built =
      ombrel::textpipe::build_vocabulary(pool(), views, labels, class_count, spec, rule, with_probes);
  {
    std::vector<std::string> order;
    std::map<std::string, std::pair<std::uint32_t, std::map<std::uint32_t, std::uint32_t>>> stats;
    for (std::size_t d = 0; d < texts.size(); ++d) {
      std::set<std::string> seen;
      for (const std::string& f : features[d]) {
        if (!seen.insert(f).second) continue;
        auto [it, fresh] = stats.try_emplace(f);
        if (fresh) order.push_back(f);
        ++it->second.first;
        ++it->second.second[labels[d]];
      }
    }
    check(built.distinct_features == order.size(), "distinct_features counts every distinct feature");
    Strings kept;
    for (const std::string& f : order) {
      const auto& [df, per_class] = stats[f];
      bool keep = df >= rule.min_df;
      if (keep && per_class.size() > rule.max_classes) {
        std::vector<std::uint32_t> counts;
        for (const auto& [c, n] : per_class) counts.push_back(n);
        std::sort(counts.rbegin(), counts.rend());
        std::uint64_t top = 0;
        for (std::size_t k = 0; k < rule.max_classes; ++k) top += counts[k];
        keep = static_cast<double>(top) >= rule.coverage * df;
      }
      if (keep) kept.push_back(f);
    }
    check(built.table.size() == kept.size(), "the vocabulary keeps the features the rule keeps");
    for (std::uint32_t id = 0; id < kept.size(); ++id) {
      check(built.table.token(id) == kept[id], "kept features are numbered in order of first appearance");
    }
    std::vector<std::uint32_t> probe_ids;
    if (with_probes) {
      for (std::uint32_t label : labels) probe_ids.push_back(static_cast<std::uint32_t>(kept.size()) + label);
    }
    const IdLists documents = lists_of(built.documents);
    check(documents.size() == texts.size(), "one document per training text");
    check(documents == lists_of(run_ids(views, spec, IdMapping{&built.table, 0, nullptr}, probe_ids)),
          "the training documents are texts_to_ids of the texts with the new table");
    check(built.has_words == spec.maps_raw_words(), "a word map comes with filtered or stemmed words");
    if (built.has_words) {
      check(built.words.target.size() == built.words.raw.size(), "one target per raw word");
      check(documents == lists_of(run_ids(views, spec, IdMapping{&built.table, 0, &built.words}, probe_ids)),
            "the word map gives the ids of the full path");
      for (const std::string& t : tokens_in) {
        // Unseen words take the full path; the map must agree on them too.
        const std::vector<std::string_view> one{t};
        check(lists_of(run_ids(one, spec, IdMapping{&built.table, 0, &built.words}, {})) ==
                  lists_of(run_ids(one, spec, IdMapping{&built.table, 0, nullptr}, {})),
              "the word map agrees with the full path on unseen texts");
      }
    }
  }
  return 0;
}
