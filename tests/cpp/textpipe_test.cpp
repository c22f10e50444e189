// The text pipeline of ombrel_learn: token table, features, texts to ids, vocabulary building.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "pool/thread_pool.h"
#include "textpipe/byte_hash.h"
#include "textpipe/feature_extractor.h"
#include "textpipe/term_counts.h"
#include "textpipe/text_to_ids.h"
#include "textpipe/token_table.h"
#include "textpipe/vocabulary_builder.h"

namespace ombrel::textpipe {
namespace {

std::vector<std::string> features_of(const FeatureSpec& spec, std::string_view text) {
  std::vector<std::string> out;
  FeatureExtractor extractor(spec);
  extractor.run(text, [&](std::string_view f) { out.emplace_back(f); });
  return out;
}

std::vector<std::vector<std::uint32_t>> lists_of(const IdBatch& batch) {
  std::vector<std::vector<std::uint32_t>> out;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    out.emplace_back(batch.ids.begin() + static_cast<std::ptrdiff_t>(batch.offsets[i]),
                     batch.ids.begin() + static_cast<std::ptrdiff_t>(batch.offsets[i + 1]));
  }
  return out;
}

TEST(TokenTable, AgreesWithAMapOverRandomTokensOfEveryLength) {
  // Lengths around the 8- and 16-byte boundaries of the slot's head and the hash's loads, shared
  // prefixes, and bytes of every value, inserted through many rehashes.
  std::mt19937 rng(5);
  std::vector<std::string> tokens = {"", "a", std::string(1, '\0'), std::string(2, '\0')};
  for (int i = 0; i < 20000; ++i) {
    std::string t = i % 3 == 0 ? "sharedprefix" : "";
    const int length = static_cast<int>(rng() % 40);
    for (int k = 0; k < length; ++k) t.push_back(static_cast<char>(rng() % (i % 2 ? 4 : 256)));
    tokens.push_back(t);
  }
  TokenTable table;
  std::unordered_map<std::string, std::uint32_t> expected;
  for (const std::string& t : tokens) {
    const auto [it, fresh] = expected.emplace(t, static_cast<std::uint32_t>(expected.size()));
    EXPECT_EQ(table.insert(t), it->second);
    (void)fresh;
  }
  ASSERT_EQ(table.size(), expected.size());
  for (const auto& [t, id] : expected) {
    EXPECT_EQ(table.find(t), id);
    EXPECT_EQ(table.token(id), t);
  }
  EXPECT_EQ(table.find("sharedprefix-not-there"), TokenTable::kNotFound);
  EXPECT_EQ(table.find(std::string(300, 'x')), TokenTable::kNotFound);
  EXPECT_EQ(TokenTable().find("anything"), TokenTable::kNotFound);
  std::string longest(300, 'y');
  const std::uint32_t id = table.insert(longest);
  longest.back() = 'z';  // same length capped at 255 in the slot, differs after byte 8
  EXPECT_EQ(table.find(longest), TokenTable::kNotFound);
  EXPECT_NE(table.insert(longest), id);
}

TEST(ByteHash, SpreadsShortTokensAndReadsEveryByte) {
  std::set<std::uint64_t> seen;
  for (int i = 0; i < 100000; ++i) seen.insert(hash_bytes(std::to_string(i)));
  EXPECT_EQ(seen.size(), 100000u);
  const std::string a(40, 'q');
  std::string b = a;
  b[30] = 'r';  // beyond the first 16 bytes and before the last 8
  EXPECT_NE(hash_bytes(a), hash_bytes(b));
  EXPECT_NE(hash_bytes(std::string_view("ab\0", 3)), hash_bytes("ab"));
}

TEST(ByteHash, KeyWithSlackIsTheKeyOfTheBytesAlone) {
  std::mt19937 rng(5);
  for (int i = 0; i < 20000; ++i) {
    const std::size_t n = rng() % 41;
    std::string buffer(n + 16, '\0');
    for (char& c : buffer) c = static_cast<char>(rng());  // what follows the string is noise
    const std::string_view s(buffer.data(), n);
    const ByteKey want = byte_key(s);
    const ByteKey got = byte_key_with_slack(s);
    ASSERT_EQ(got.head[0], want.head[0]) << n;
    ASSERT_EQ(got.head[1], want.head[1]) << n;
    ASSERT_EQ(got.hash, want.hash) << n;
  }
}

TEST(Features, NgramsRunOverThePaddedWordText) {
  FeatureSpec spec;
  spec.apply_stemming = false;
  spec.min_length = 1;
  spec.ngram_min = 2;
  spec.ngram_max = 3;
  using V = std::vector<std::string>;
  EXPECT_EQ(features_of(spec, "Ab, c!"),
            (V{"ab", "c", " a", "ab", "b ", " c", "c ", " ab", "ab ", "b c", " c "}));
  // Characters, not bytes: "é" is two bytes and one character.
  EXPECT_EQ(features_of(spec, "É"), (V{"é", " é", "é ", " é "}));
  EXPECT_EQ(features_of(spec, "..."), (V{"  "}));  // no words: the n-grams of two blanks
  spec.words = false;
  spec.ngram_min = 4;
  spec.ngram_max = 4;
  EXPECT_EQ(features_of(spec, "go"), (V{" go "}));
  EXPECT_EQ(features_of(spec, "a"), V{});  // " a " has three characters
  // Stop words and stemming shape the words that the n-grams are made of.
  FeatureSpec words;
  words.stop_words.insert("the");
  words.ngram_min = words.ngram_max = 1;
  words.words = false;
  EXPECT_EQ(features_of(words, "the cats"), (V{" ", "c", "a", "t", "s", " "}));
}

TEST(Features, WordPairsFollowTheKeptWords) {
  FeatureSpec spec;  // stemming on, minimum length 2
  spec.stop_words.insert("the");
  spec.bigrams = true;
  using V = std::vector<std::string>;
  // Stop words and short words go before pairing; pairs are of stemmed words, after all the words.
  EXPECT_EQ(features_of(spec, "Running flies, the x ox"), (V{"runn", "fly", "ox", "runn fly", "fly ox"}));
  EXPECT_EQ(features_of(spec, "the flies"), V{"fly"});
  EXPECT_EQ(features_of(spec, ""), V{});
  spec.words = false;
  EXPECT_EQ(features_of(spec, "Running flies, the x ox"), (V{"runn fly", "fly ox"}));
  // Pairs of words cut by the marks rule.
  spec.words = true;
  spec.stop_words = {};
  spec.apply_stemming = false;
  spec.marks = text::Marks::kJoin;
  EXPECT_EQ(features_of(spec, "\u0130stanbul e\u0301cole"),
            (V{"i\u0307stanbul", "e\u0301cole", "i\u0307stanbul e\u0301cole"}));
}

class TextsToIds : public ::testing::Test {
 protected:
  pool::ThreadPool pool_{2};
};

TEST_F(TextsToIds, WordPairsAreFeaturesLikeWordsOncePerText) {
  FeatureSpec spec;
  spec.apply_stemming = false;
  spec.stop_words.insert("the");
  spec.min_length = 1;
  spec.bigrams = true;
  const std::vector<std::string> texts = {"a b the a b", "b a", "c"};
  std::vector<std::string_view> views(texts.begin(), texts.end());
  const std::vector<std::uint32_t> labels = {0, 1, 0};
  const BuiltVocabulary built =
      build_vocabulary(pool_, views, labels, 2, spec, PruningRule{1, 0.0, 8}, false);
  EXPECT_FALSE(built.has_words);  // a word map cannot give pairs
  ASSERT_EQ(built.table.size(), 5u);
  EXPECT_EQ(built.table.token(2), "a b");
  EXPECT_EQ(built.table.token(3), "b a");
  using L = std::vector<std::vector<std::uint32_t>>;
  EXPECT_EQ(lists_of(built.documents), (L{{0, 1, 2, 3}, {1, 0, 3}, {4}}));
  IdBatch mapped, hashed;
  texts_to_ids(pool_, views, spec, IdMapping{&built.table, 0, nullptr}, {}, {}, mapped);
  EXPECT_EQ(lists_of(mapped), lists_of(built.documents));
  texts_to_ids(pool_, views, spec, IdMapping{nullptr, 1u << 20, nullptr}, {}, {}, hashed);
  EXPECT_EQ(lists_of(hashed)[0],
            (std::vector<std::uint32_t>{static_cast<std::uint32_t>(hash_bytes("a") % (1u << 20)),
                                        static_cast<std::uint32_t>(hash_bytes("b") % (1u << 20)),
                                        static_cast<std::uint32_t>(hash_bytes("a b") % (1u << 20)),
                                        static_cast<std::uint32_t>(hash_bytes("b a") % (1u << 20))}));
}

TEST_F(TextsToIds, DistinctKnownIdsInFirstSeenOrderWhateverTheSplit) {
  FeatureSpec spec;
  spec.apply_stemming = false;
  spec.min_length = 1;
  TokenTable table;
  for (int w = 0; w < 300; ++w) table.insert("w" + std::to_string(w));
  std::mt19937 rng(11);
  std::vector<std::string> texts;
  std::vector<std::vector<std::uint32_t>> expected;
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    std::vector<std::uint32_t> ids;
    const int words = static_cast<int>(rng() % 30);
    for (int k = 0; k < words; ++k) {
      const int w = static_cast<int>(rng() % 400);  // a quarter of them unknown
      text += "w" + std::to_string(w) + " ";
      if (w < 300 && std::find(ids.begin(), ids.end(), static_cast<std::uint32_t>(w)) == ids.end()) {
        ids.push_back(static_cast<std::uint32_t>(w));
      }
    }
    texts.push_back(text);
    expected.push_back(ids);
  }
  std::vector<std::string_view> views(texts.begin(), texts.end());
  std::vector<std::uint32_t> trailing(texts.size());
  for (std::size_t i = 0; i < trailing.size(); ++i) trailing[i] = 1000 + static_cast<std::uint32_t>(i % 3);
  IdBatch batch;
  texts_to_ids(pool_, views, spec, IdMapping{&table, 0}, {}, {}, batch);
  EXPECT_EQ(lists_of(batch), expected);
  IdBatch with_trailing;
  texts_to_ids(pool_, views, spec, IdMapping{&table, 0}, trailing, {}, with_trailing);
  for (std::size_t i = 0; i < texts.size(); ++i) expected[i].push_back(trailing[i]);
  EXPECT_EQ(lists_of(with_trailing), expected);
  // A suffix follows every text's ids, after its trailing id.
  const std::vector<std::uint32_t> suffix{2000, 2001};
  IdBatch with_suffix;
  texts_to_ids(pool_, views, spec, IdMapping{&table, 0}, trailing, suffix, with_suffix);
  for (std::size_t i = 0; i < texts.size(); ++i)
    expected[i].insert(expected[i].end(), suffix.begin(), suffix.end());
  EXPECT_EQ(lists_of(with_suffix), expected);
  for (auto& ids : expected) ids.resize(ids.size() - suffix.size());
  IdBatch one;
  texts_to_ids(pool_, std::span(views).subspan(5, 1), spec, IdMapping{&table, 0}, {}, {}, one);
  EXPECT_EQ(lists_of(one).at(0), std::vector<std::uint32_t>(expected[5].begin(), expected[5].end() - 1));
  IdBatch none;
  texts_to_ids(pool_, {}, spec, IdMapping{&table, 0}, {}, {}, none);
  EXPECT_EQ(none.size(), 0u);
  EXPECT_TRUE(none.ids.empty());
}

// The n-gram path looks n-grams up in blocks and keeps ids by per-thread marks: it must give what
// looking each feature up in turn gives, in a table that fits the caches and in one that does not,
// across texts of one and of many bytes a character, and past the marks' generations wrapping.
TEST_F(TextsToIds, NgramIdsAreThoseOfEachFeatureLookedUpInTurn) {
  FeatureSpec spec;
  spec.apply_stemming = false;
  spec.min_length = 1;
  spec.ngram_min = 1;
  spec.ngram_max = 5;
  std::mt19937 rng(17);
  const std::vector<std::string> pieces{"a", "b", "ab", "\xc3\xa9t\xc3\xa9", "\xe6\x97\xa5", "zz", "q"};
  std::vector<std::string> texts;
  for (int i = 0; i < 2000; ++i) {
    std::string text;
    const int words = static_cast<int>(rng() % 12);
    for (int k = 0; k < words; ++k) {
      for (int c = static_cast<int>(rng() % 4); c >= 0; --c) text += pieces[rng() % pieces.size()];
      text += ' ';
    }
    texts.push_back(text);
  }
  texts.push_back(std::string(3000, 'x') + " " + std::string(200, 'y'));  // more n-grams than one block
  const auto expected_of = [&](const TokenTable& table) {
    std::vector<std::vector<std::uint32_t>> expected;
    FeatureExtractor extractor(spec);
    for (const std::string& text : texts) {
      std::vector<std::uint32_t> ids;
      extractor.run(text, [&](std::string_view f) {
        const std::uint32_t id = table.find(f);
        if (id != TokenTable::kNotFound && std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
      });
      expected.push_back(ids);
    }
    return expected;
  };
  for (const std::size_t filler : {std::size_t{0}, std::size_t{100000}}) {  // 100,000 tokens: 8 MiB of slots
    TokenTable table;
    for (std::size_t f = 0; f < filler; ++f) table.insert("filler" + std::to_string(f));
    FeatureExtractor extractor(spec);
    for (std::size_t t = 0; t < texts.size(); t += 2) {  // every other text's features are known
      extractor.run(texts[t], [&](std::string_view f) {
        if (rng() % 4 != 0) table.insert(f);
      });
    }
    const auto expected = expected_of(table);
    std::vector<std::string_view> views(texts.begin(), texts.end());
    IdBatch batch;
    texts_to_ids(pool_, views, spec, IdMapping{&table, 0}, {}, {}, batch);
    ASSERT_EQ(lists_of(batch), expected) << filler;
    // One text at a time, on this thread, 70,000 times: the 16-bit generations wrap on the way.
    for (std::size_t call = 0; call < 70000; ++call) {
      const std::size_t t = call % 50;
      IdBatch one;
      texts_to_ids(pool_, std::span(views).subspan(t, 1), spec, IdMapping{&table, 0}, {}, {}, one);
      ASSERT_EQ(lists_of(one).at(0), expected[t]) << call;
      if (filler > 0) break;  // the wrap once is enough
    }
  }
}

TEST_F(TextsToIds, HashingKeepsEachIdOnceWhateverTheTextsLengthAndTheIdSpace) {
  FeatureSpec spec;
  spec.min_length = 1;
  spec.apply_stemming = false;
  std::vector<std::string> texts = {"b a b c a d", "", "x", "a a a a a"};
  // A text of 3000 words with 1000 distinct ones, each seen again after the set of the text's ids
  // has grown several times; then short texts again, whose ids the grown set must not remember.
  std::string long_text;
  for (int round = 0; round < 3; ++round) {
    for (int w = 0; w < 1000; ++w) long_text += "w" + std::to_string((w * 7919 + round) % 1000) + " ";
  }
  texts.push_back(long_text);
  texts.push_back("w1 w2 w1");
  texts.push_back("b a b c a d");
  std::vector<std::string_view> views(texts.begin(), texts.end());
  for (std::uint32_t buckets : {7u, 1u << 20, 1u << 24, 0xFFFFFFFFu}) {
    IdBatch batch;
    texts_to_ids(pool_, views, spec, IdMapping{nullptr, buckets}, {}, {}, batch);
    std::vector<std::vector<std::uint32_t>> expected(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      for (const std::string& f : features_of(spec, texts[i])) {
        const auto id = static_cast<std::uint32_t>(hash_bytes(f) % buckets);
        if (std::find(expected[i].begin(), expected[i].end(), id) == expected[i].end())
          expected[i].push_back(id);
      }
    }
    EXPECT_EQ(lists_of(batch), expected) << buckets;
  }
}

TEST_F(TextsToIds, VocabularyKeepsFrequentTokensWithFewClasses) {
  FeatureSpec spec;
  spec.min_length = 1;
  spec.apply_stemming = false;
  std::vector<std::string> texts;
  std::vector<std::uint32_t> labels;
  const auto add = [&](const std::string& text, std::uint32_t label) {
    texts.push_back(text);
    labels.push_back(label);
  };
  // "even" is spread evenly over 10 classes (80% in its top 8: pruned); "mostly" has 19 of its 20
  // documents in class 0 (kept); "rare" occurs once (pruned by min_df 2); "pair" twice (kept).
  for (std::uint32_t c = 0; c < 10; ++c) add("even even", c);
  for (int i = 0; i < 19; ++i) add("mostly", 0);
  add("mostly", 9);
  add("rare pair", 3);
  add("pair", 4);
  std::vector<std::string_view> views(texts.begin(), texts.end());
  const BuiltVocabulary built =
      build_vocabulary(pool_, views, labels, 10, spec, PruningRule{2, 0.9, 8}, true);
  EXPECT_EQ(built.distinct_features, 4u);
  ASSERT_EQ(built.table.size(), 2u);
  EXPECT_EQ(built.table.token(0), "mostly");
  EXPECT_EQ(built.table.token(1), "pair");
  const auto docs = lists_of(built.documents);
  ASSERT_EQ(docs.size(), texts.size());
  EXPECT_EQ(docs[0], (std::vector<std::uint32_t>{2 + 0}));      // "even" pruned; probe of class 0
  EXPECT_EQ(docs[10], (std::vector<std::uint32_t>{0, 2 + 0}));  // "mostly", probe
  EXPECT_EQ(docs[30], (std::vector<std::uint32_t>{1, 2 + 3}));  // "rare" pruned, "pair", probe
  // With coverage 0.8, the eight most frequent classes of "even" hold enough of it.
  const BuiltVocabulary loose =
      build_vocabulary(pool_, views, labels, 10, spec, PruningRule{2, 0.8, 8}, false);
  EXPECT_EQ(loose.table.size(), 3u);
  EXPECT_EQ(lists_of(loose.documents)[1], (std::vector<std::uint32_t>{0}));
  // The spread cannot prune with coverage 0, nor when there are no more classes than max_classes:
  // "even" is kept both ways (and the ids and documents are those of the loose rule).
  for (const PruningRule rule : {PruningRule{2, 0.0, 8}, PruningRule{2, 0.9, 10}}) {
    const BuiltVocabulary kept = build_vocabulary(pool_, views, labels, 10, spec, rule, false);
    ASSERT_EQ(kept.table.size(), 3u);
    EXPECT_EQ(kept.table.token(0), "even");
    EXPECT_EQ(lists_of(kept.documents), lists_of(loose.documents));
  }
}

TEST_F(TextsToIds, VocabularyOverManyBlocksMatchesACountInOnePass) {
  FeatureSpec spec;
  spec.min_length = 1;
  spec.apply_stemming = false;
  std::mt19937 rng(3);
  std::vector<std::string> texts;
  std::vector<std::uint32_t> labels;
  std::map<std::string, std::set<std::size_t>> documents_of;
  for (std::size_t i = 0; i < 20000; ++i) {  // several blocks of the builder
    std::string text;
    const std::uint32_t label = rng() % 3;
    for (int k = 0; k < 6; ++k) {
      const std::string word = "t" + std::to_string(rng() % 5000);
      text += word + " ";
      documents_of[word].insert(i);
    }
    texts.push_back(text);
    labels.push_back(label);
  }
  std::vector<std::string_view> views(texts.begin(), texts.end());
  const BuiltVocabulary built =
      build_vocabulary(pool_, views, labels, 3, spec, PruningRule{3, 0.9, 8}, false);
  std::size_t expected = 0;
  for (const auto& [word, docs] : documents_of) {
    const bool kept = docs.size() >= 3;
    expected += kept;
    EXPECT_EQ(built.table.find(word) != TokenTable::kNotFound, kept) << word;
  }
  EXPECT_EQ(built.table.size(), expected);
  // Each text's ids are its own kept words, and ids are given in order of first appearance (the
  // blocks are counted in order while the next one is featurized).
  ASSERT_EQ(built.documents.size(), texts.size());
  std::uint32_t next_new = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    std::set<std::string> words;
    for (std::uint64_t k = built.documents.offsets[i]; k < built.documents.offsets[i + 1]; ++k) {
      const std::uint32_t id = built.documents.ids[k];
      ASSERT_LE(id, next_new) << "text " << i;
      if (id == next_new) ++next_new;
      const std::string word(built.table.token(id));
      EXPECT_TRUE(documents_of[word].count(i)) << word << " in text " << i;
      words.insert(word);
    }
    std::set<std::string> expected_words;
    std::istringstream in(texts[i]);
    for (std::string word; in >> word;) {
      if (documents_of[word].size() >= 3) expected_words.insert(word);
    }
    EXPECT_EQ(words, expected_words) << "text " << i;
  }
}

TEST_F(TextsToIds, RawWordMapGivesTheIdsOfTheFullPath) {
  FeatureSpec spec;  // stemming on, minimum length 2
  spec.stop_words.insert("the");
  spec.stop_words.insert("running");
  spec.word_rule_digest = 42;
  std::vector<std::string> train = {"The nations running runs", "nation cats the cat", "runs flies",
                                    "internationalizations antidisestablishmentarianism"};
  std::vector<std::uint32_t> labels = {0, 1, 0, 1};
  for (int i = 0; i < 60; ++i) {  // many distinct words, for the long texts below
    train.push_back("seen" + std::to_string(i) + " words" + std::to_string(i) + "thatarelongerthansixteen");
    labels.push_back(i % 2);
  }
  std::vector<std::string_view> views(train.begin(), train.end());
  const BuiltVocabulary built =
      build_vocabulary(pool_, views, labels, 2, spec, PruningRule{1, 0.9, 8}, false);
  ASSERT_TRUE(built.has_words);
  // "running" is a stop word before stemming; "runs" and "run" share no stem ("runs" is 4 bytes).
  EXPECT_EQ(built.words.target[built.words.raw.find("running")], WordMap::kDrop);
  EXPECT_EQ(built.words.target[built.words.raw.find("nations")], built.table.find("nation"));
  const std::vector<std::string> test = {"nations THE flies fly cats running nationality", "", "unseen runs"};
  std::vector<std::string_view> test_views(test.begin(), test.end());
  IdBatch mapped, full;
  texts_to_ids(pool_, test_views, spec, IdMapping{&built.table, 0, &built.words}, {}, {}, mapped);
  texts_to_ids(pool_, test_views, spec, IdMapping{&built.table, 0, nullptr}, {}, {}, full);
  EXPECT_EQ(lists_of(mapped), lists_of(full));
  // Texts of many words, which the map looks up some words behind the tokenizer: words of more than
  // 16 bytes seen and unseen, unseen words whose stem is known ("flying"), stop words, repeats.
  const char* const cycle[] = {"nations",
                               "internationalizations",
                               "THE",
                               "flying",
                               "antidisestablishmentarianism",
                               "unseenwordsthatarelongerthansixteen",
                               "cats",
                               "nationality",
                               "Running",
                               "runs",
                               "x",
                               "zz",
                               "antidisestablishmentarianisms"};
  std::string long_text;
  for (int i = 0; i < 300; ++i) {
    long_text += std::string(cycle[(i * 7 + i / 13) % 13]) + (i % 5 ? " " : ", ");
    const int k = (i * 37) % 90;  // seen below 60, unseen above
    const std::string word = std::to_string(k);
    long_text += (i % 3 ? "seen" + word : "words" + word + "thatarelongerthansixteen") + " ";
  }
  const std::vector<std::string> long_texts = {long_text, long_text.substr(long_text.size() / 3), "runs", "",
                                               long_text.substr(0, 150)};
  const std::vector<std::uint32_t> suffix = {900, 901};
  for (std::size_t i = 0; i < long_texts.size(); ++i) {  // each alone, then all at once
    const std::string_view one = long_texts[i];
    IdBatch one_mapped, one_full;
    texts_to_ids(pool_, {&one, 1}, spec, IdMapping{&built.table, 0, &built.words}, {}, suffix, one_mapped);
    texts_to_ids(pool_, {&one, 1}, spec, IdMapping{&built.table, 0, nullptr}, {}, suffix, one_full);
    EXPECT_EQ(lists_of(one_mapped), lists_of(one_full)) << i;
  }
  std::vector<std::string_view> long_views(long_texts.begin(), long_texts.end());
  texts_to_ids(pool_, long_views, spec, IdMapping{&built.table, 0, &built.words}, {}, suffix, mapped);
  texts_to_ids(pool_, long_views, spec, IdMapping{&built.table, 0, nullptr}, {}, suffix, full);
  EXPECT_EQ(lists_of(mapped), lists_of(full));
  EXPECT_GT(mapped.offsets[1], 60u);  // the first text has many distinct ids
  EXPECT_EQ(lists_of(built.documents), lists_of([&] {
              IdBatch b;
              texts_to_ids(pool_, views, spec, IdMapping{&built.table, 0, nullptr}, {}, {}, b);
              return b;
            }()));
}

// With log_tf a text's ids come in order of first appearance, each round(1 + ln(count)) times in a
// row, through every mapping; counts are of the final id, so raw words that stem alike add up.
TEST_F(TextsToIds, LogTfPresentsEachIdByItsCountThroughEveryMapping) {
  // The thresholds of round(1 + ln(count)): e^0.5, e^1.5, ... rounded up.
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> first_count_of = {
      {1, 1}, {2, 2}, {5, 3}, {13, 4}, {34, 5}, {91, 6}, {245, 7}, {666, 8}, {1809, 9}};
  for (std::size_t j = 0; j < first_count_of.size(); ++j) {
    const auto [count, presented] = first_count_of[j];
    EXPECT_EQ(log_tf_presentations(count), presented) << count;
    if (count > 1) EXPECT_EQ(log_tf_presentations(count - 1), presented - 1) << count;
  }
  FeatureSpec spec;
  spec.stop_words.insert("the");
  spec.word_rule_digest = 7;
  std::mt19937 rng(5);
  std::vector<std::string> texts = {"cats cat the cat dogs", "", "the the"};
  for (int i = 0; i < 40; ++i) {  // some texts of more distinct words than the counts' first slots
    std::string text;
    const int words = static_cast<int>(rng() % (i % 4 == 0 ? 3000 : 60));
    for (int k = 0; k < words; ++k) text += "w" + std::to_string(rng() % (1 + rng() % 900)) + " ";
    texts.push_back(text);
  }
  texts.push_back("connects connect connected connects connecting");  // five words of one stem
  std::vector<std::string_view> views(texts.begin(), texts.end());
  const std::vector<std::uint32_t> labels(texts.size(), 0);
  const BuiltVocabulary built =
      build_vocabulary(pool_, views, labels, 1, spec, PruningRule{1, 0.0, 8}, false);
  ASSERT_TRUE(built.has_words);
  FeatureSpec counted = spec;
  counted.log_tf = true;
  for (std::uint32_t buckets : {0u, 1u << 20}) {
    IdBatch once, mapped, full;
    const IdMapping plain{buckets ? nullptr : &built.table, buckets, nullptr};
    texts_to_ids(pool_, views, spec, plain, {}, {}, once);
    texts_to_ids(pool_, views, counted, IdMapping{plain.table, buckets, buckets ? nullptr : &built.words}, {},
                 {}, mapped);
    texts_to_ids(pool_, views, counted, plain, {}, {}, full);
    EXPECT_EQ(lists_of(mapped), lists_of(full)) << buckets;
    const auto onces = lists_of(once);
    const auto repeated = lists_of(full);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      std::map<std::uint32_t, std::uint32_t> count;
      for (const std::string& f : features_of(spec, texts[i])) {
        ++count[buckets ? static_cast<std::uint32_t>(hash_bytes(f) % buckets) : built.table.find(f)];
      }
      std::vector<std::uint32_t> expected;
      for (const std::uint32_t id : onces[i]) {
        expected.insert(expected.end(), log_tf_presentations(count[id]), id);
      }
      EXPECT_EQ(repeated[i], expected) << i;
    }
    EXPECT_EQ(repeated[0].size(), 4u);  // cats once, cat twice -> 2 presentations, dogs once
  }
  // The builder's own documents under log_tf are those ids, made in its one pass (words that stem
  // alike added up, pruned ones left out), for raw words and for n-grams.
  FeatureSpec grams = counted;
  grams.words = false;
  grams.ngram_min = 2;
  grams.ngram_max = 3;
  for (const FeatureSpec& made_with : {counted, grams}) {
    for (const std::uint32_t min_df : {1u, 3u}) {
      const BuiltVocabulary counted_built =
          build_vocabulary(pool_, views, labels, 1, made_with, PruningRule{min_df, 0.0, 8}, false);
      IdBatch expected;
      texts_to_ids(pool_, views, made_with, IdMapping{&counted_built.table, 0, nullptr}, {}, {}, expected);
      EXPECT_EQ(lists_of(counted_built.documents), lists_of(expected)) << made_with.words << min_df;
    }
  }
  // A text of more distinct ids than a thread keeps counts for between calls, then a short one: one
  // call each, the second on the counts the first left.
  std::string huge;
  for (int w = 0; w < 40000; ++w) huge += "h" + std::to_string(w) + " ";
  for (const std::string& text : {huge + "h1 h1 h1 h1", std::string("h1 h1 h2")}) {
    const std::string_view view = text;
    IdBatch batch;
    texts_to_ids(pool_, {&view, 1}, counted, IdMapping{nullptr, 1u << 24, nullptr}, {}, {}, batch);
    std::map<std::uint32_t, std::uint32_t> count;
    std::vector<std::uint32_t> order;
    for (const std::string& f : features_of(spec, text)) {
      const auto id = static_cast<std::uint32_t>(hash_bytes(f) % (1u << 24));
      if (count[id]++ == 0) order.push_back(id);
    }
    std::vector<std::uint32_t> expected;
    for (const std::uint32_t id : order) expected.insert(expected.end(), log_tf_presentations(count[id]), id);
    EXPECT_EQ(lists_of(batch).at(0), expected);
  }
}

TEST_F(TextsToIds, RawWordMapJoinsMarksLikeTheFullPath) {
  FeatureSpec spec;  // stemming on, minimum length 2
  spec.stop_words.insert("the");
  spec.marks = text::Marks::kJoin;
  spec.word_rule_digest = 7;
  const std::string ecole = "e\u0301cole";
  const std::string kshatriya = "\u0915\u094D\u0937\u0924\u094D\u0930\u093F\u092F";
  const std::vector<std::string> train = {ecole + " the " + kshatriya, kshatriya + " flies", "cole"};
  const std::vector<std::uint32_t> labels = {0, 1, 0};
  std::vector<std::string_view> views(train.begin(), train.end());
  const BuiltVocabulary built =
      build_vocabulary(pool_, views, labels, 2, spec, PruningRule{1, 0.9, 8}, false);
  ASSERT_TRUE(built.has_words);
  EXPECT_NE(built.table.find(ecole), TokenTable::kNotFound);
  EXPECT_NE(built.table.find(kshatriya), TokenTable::kNotFound);
  EXPECT_EQ(built.table.find("\u0937\u0924"), TokenTable::kNotFound);
  const std::vector<std::string> test = {"Flies " + kshatriya + " " + ecole, "\u0915 cole", ""};
  std::vector<std::string_view> test_views(test.begin(), test.end());
  IdBatch mapped, full;
  texts_to_ids(pool_, test_views, spec, IdMapping{&built.table, 0, &built.words}, {}, {}, mapped);
  texts_to_ids(pool_, test_views, spec, IdMapping{&built.table, 0, nullptr}, {}, {}, full);
  EXPECT_EQ(lists_of(mapped), lists_of(full));
  using L = std::vector<std::vector<std::uint32_t>>;
  const TokenTable& t = built.table;
  EXPECT_EQ(lists_of(full), (L{{t.find("fly"), t.find(kshatriya), t.find(ecole)}, {t.find("cole")}, {}}));
}

}  // namespace
}  // namespace ombrel::textpipe
