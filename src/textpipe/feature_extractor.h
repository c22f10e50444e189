// Features of a text: its words, exactly as the module's `tokenize` makes them, and character
// n-grams.
//
// Words: the tokenizer core's for_each_token with the spec's stop words, stemming and minimum
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

  bool has_ngrams() const { return ngram_max > 0 && ngram_min > 0 && ngram_min <= ngram_max; }
};

// Holds the scratch buffers of one thread; reuse one per thread to avoid allocating per text.
// Thread-safety: one extractor per thread; the spec is only read.
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
      if ((static_cast<unsigned char>(padded_[i]) & 0xC0) != 0x80) starts_.push_back(static_cast<std::uint32_t>(i));
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
