// Features of a text: its words, exactly as the module's `tokenize` makes them, and character
// n-grams.
//
// Words: the tokenizer core's for_each_token with the FeatureSpec's stop words, stemming and minimum
// length in bytes, so a word feature is byte for byte an element of
// `tokenize(text, stop_words, apply_stemming, min_length)`.
//
// Character n-grams, for n from ngram_min to ngram_max: every run of n consecutive characters (code
// points) of the padded word text, which is the words above joined by one blank, with one blank
// before the first and one after the last: for the words ["ab", "c"] the padded text is " ab c " and
// its 2-grams are " a", "ab", "b ", " c", "c ". N-grams therefore see the same lowercasing, stop
// words and stemming as the words, cross word boundaries only through the blank that marks them, and
// a text without words gives the n-grams of "  ". An n-gram is the bytes of its characters, so an
// n-gram equal to a word is the same feature as that word.
//
// Features come out words first, then n-grams by length and position; duplicates are not removed
// here.
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
  // Identifies the stop words and the stemming choice (the maker of the FeatureSpec computes it from the
  // words): a WordMap made under one rule is used only with specs of the same digest.
  std::uint64_t word_rule_digest = 0;

  bool has_ngrams() const { return ngram_max > 0 && ngram_min > 0 && ngram_min <= ngram_max; }
  // Words only, filtered or stemmed: the features for which a WordMap pays.
  bool maps_raw_words() const { return words && !has_ngrams() && (apply_stemming || !stop_words.empty()); }
};

// The words of a text before the stop-word test and stemming: the tokenizer core's tokens at the
// spec's minimum length, with no stop words and no stemming.
template <class Sink>
void for_each_raw_word(std::string_view text, const FeatureSpec& spec, Sink&& sink) {
  static const text::StopWordSet kNoStopWords;
  text::for_each_token(text, kNoStopWords, false, spec.min_length, [&](std::string_view word) {
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
      if (spec_.words) {
        text::for_each_token(text, spec_.stop_words, spec_.apply_stemming, spec_.min_length,
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
    text::for_each_token(text, spec_.stop_words, spec_.apply_stemming, spec_.min_length,
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
  const FeatureSpec& spec_;
  std::string padded_;                 // the padded word text of the current text
  std::vector<std::uint32_t> starts_;  // byte offset of each of its characters, then its size
};

}  // namespace ombrel::textpipe
