// Features of a text: its words, exactly as the module's `tokenize` makes them, word pairs, and
// character n-grams.
//
// Words: the tokenizer core's for_each_token with the FeatureSpec's stop words, stemming and minimum
// length in bytes, so a word feature is byte for byte an element of
// `tokenize(text, stop_words, apply_stemming, min_length)`. With marks == Marks::kJoin the words are
// cut by that rule instead (combining marks stay inside words; see tokenizer.h), which `tokenize`
// never does; everything else applies to the whole word as before.
//
// Word pairs (bigrams, words only: never with n-grams): after the words, each two consecutive words
// of that list, i.e. after the minimum length, the stop words and stemming, as "w1 w2" with one
// blank (a word never holds one). "The flies of the nations" under English stop words and stemming
// gives "fly", "nation", "fly nation".
//
// Character n-grams, for n from ngram_min to ngram_max: every run of n consecutive characters (code
// points) of the padded word text, which is the words above joined by one blank, with one blank
// before the first and one after the last: for the words ["ab", "c"] the padded text is " ab c " and
// its 2-grams are " a", "ab", "b ", " c", "c ". N-grams therefore see the same lowercasing, stop
// words and stemming as the words, cross word boundaries only through the blank that marks them, and
// a text without words gives the n-grams of "  ". An n-gram is the bytes of its characters, so an
// n-gram equal to a word is the same feature as that word.
//
// Features come out words first, then pairs or n-grams by length and position; duplicates are not
// removed here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lib/text/stop_word_set.h"
#include "lib/text/tokenizer.h"

namespace ombrel::textpipe {

struct FeatureSpec {
  text::StopWordSet stop_words;
  bool apply_stemming = true;
  std::uint64_t min_length = 2;
  bool words = true;       // emit the words themselves
  unsigned ngram_min = 0;  // no n-grams when ngram_max is 0
  unsigned ngram_max = 0;
  bool bigrams = false;  // emit word pairs (REQUIRES: !has_ngrams())
  text::Marks marks = text::Marks::kSeparate;
  // Term frequency: texts_to_ids (and the vocabulary builder's documents) present each distinct
  // feature of a text round(1 + ln(count)) times instead of once (see term_counts.h). It changes
  // only how often an id is presented, never which features a text has, so the vocabulary itself
  // and the word rule ignore it.
  bool log_tf = false;
  // Identifies the stop words, the stemming choice and the marks rule (the maker of the FeatureSpec
  // computes it): a WordMap made under one rule is used only with specs of the same digest.
  std::uint64_t word_rule_digest = 0;

  bool has_ngrams() const { return ngram_max > 0 && ngram_min > 0 && ngram_min <= ngram_max; }
  // Words only, filtered or stemmed: the features for which a WordMap pays. Not with pairs, which
  // need every kept word's text (a WordMap does not tell a stop word from a pruned one).
  bool maps_raw_words() const {
    return words && !has_ngrams() && !bigrams && (apply_stemming || !stop_words.empty());
  }
};

// The words of a text before the stop-word test and stemming: the tokenizer core's tokens at the
// FeatureSpec's minimum length, with no stop words and no stemming.
template <class Sink>
void for_each_raw_word(std::string_view text, const FeatureSpec& spec, Sink&& sink) {
  static const text::StopWordSet kNoStopWords;
  text::for_each_token(text, kNoStopWords, false, spec.min_length, spec.marks, [&](std::string_view word) {
    sink(word);
    return true;
  });
}

// What the FeatureSpec makes of a raw word: nothing for a stop word (false), else the word, stemmed if
// asked (valid until the next call with the same scratch).
inline bool finish_word(std::string_view raw, const FeatureSpec& spec, std::string& scratch,
                        std::string_view& out) {
  if (!spec.stop_words.empty() && spec.stop_words.contains(raw)) return false;
  out = spec.apply_stemming ? text::stem_token(raw, scratch) : raw;
  return true;
}

// Holds the scratch buffers of one thread; reuse one per thread to avoid allocating per text.
// Thread-safety: one extractor per thread; the FeatureSpec is only read.
class FeatureExtractor final {
 public:
  explicit FeatureExtractor(const FeatureSpec& spec) : spec_(spec) {}

  // Calls sink(std::string_view feature) for each feature of text, in the order above. The view is
  // valid only during the call.
  template <class Sink>
  void run(std::string_view text, Sink&& sink) {
    if (!spec_.has_ngrams()) {
      if (spec_.bigrams) {
        run_pairs(text, sink);
      } else if (spec_.words) {
        text::for_each_token(text, spec_.stop_words, spec_.apply_stemming, spec_.min_length, spec_.marks,
                             [&](std::string_view word) {
                               sink(word);
                               return true;
                             });
      }
      return;
    }
    padded_.clear();
    padded_.push_back(' ');
    const bool words = spec_.words;
    text::for_each_token(text, spec_.stop_words, spec_.apply_stemming, spec_.min_length, spec_.marks,
                         [&](std::string_view word) {
                           if (words) sink(word);
                           padded_.append(word);
                           padded_.push_back(' ');
                           return true;
                         });
    if (padded_.size() == 1) padded_.push_back(' ');  // no words: the padded text is two blanks
    starts_.clear();
    for (std::size_t i = 0; i < padded_.size(); ++i) {
      if ((static_cast<unsigned char>(padded_[i]) & 0xC0) != 0x80)
        starts_.push_back(static_cast<std::uint32_t>(i));
    }
    const std::size_t chars = starts_.size();
    starts_.push_back(static_cast<std::uint32_t>(padded_.size()));
    for (std::size_t n = spec_.ngram_min; n <= spec_.ngram_max && n <= chars; ++n) {
      for (std::size_t i = 0; i + n <= chars; ++i) {
        sink(std::string_view(padded_.data() + starts_[i], starts_[i + n] - starts_[i]));
      }
    }
  }

 private:
  // The words (when spec_.words), then the pairs: the words are kept back to back, each followed by
  // a blank, in padded_, so a pair is the bytes from one word's start to the next word's end.
  template <class Sink>
  void run_pairs(std::string_view text, Sink& sink) {
    padded_.clear();
    word_starts_.clear();
    const bool words = spec_.words;
    text::for_each_token(text, spec_.stop_words, spec_.apply_stemming, spec_.min_length, spec_.marks,
                         [&](std::string_view word) {
                           if (words) sink(word);
                           word_starts_.push_back(padded_.size());
                           padded_.append(word);
                           padded_.push_back(' ');
                           return true;
                         });
    word_starts_.push_back(padded_.size());
    for (std::size_t i = 0; i + 2 < word_starts_.size(); ++i) {
      sink(std::string_view(padded_.data() + word_starts_[i], word_starts_[i + 2] - 1 - word_starts_[i]));
    }
  }

  const FeatureSpec& spec_;
  std::string padded_;                    // the padded word text of the current text (or its words)
  std::vector<std::uint32_t> starts_;     // byte offset of each of its characters, then its size
  std::vector<std::size_t> word_starts_;  // with pairs: byte offset of each word in padded_, then its size
};

}  // namespace ombrel::textpipe
