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

#include "lib/text/byte_loads.h"
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
  // The buffers an extractor works in; a thread may keep one for its extractors (one at a time), so
  // that a text costs no allocation once they have grown.
  struct Buffers {
    std::string padded;                    // the padded word text of the current text (or its words)
    std::vector<std::uint32_t> starts;     // byte offset of each of its characters, then its size
    std::vector<std::size_t> word_starts;  // with pairs: byte offset of each word in padded, then its size
  };

  explicit FeatureExtractor(const FeatureSpec& spec) : spec_(spec), buffers_(own_) {}
  // Works in `buffers`, which no other extractor may use while this one lives.
  FeatureExtractor(const FeatureSpec& spec, Buffers& buffers) : spec_(spec), buffers_(buffers) {}
  FeatureExtractor(const FeatureExtractor&) = delete;
  FeatureExtractor& operator=(const FeatureExtractor&) = delete;

  // Calls sink(std::string_view feature) for each feature of text, in the order above. The view is
  // valid only during the call.
  template <class Sink>
  void run(std::string_view text, Sink&& sink) {
    run(text, sink, sink);
  }

  // The padded word text of a text with n-grams, as run_padded hands it over: character i is the
  // bytes [start(i), start(i + 1)) of base, and at least kSlack readable bytes follow the last.
  static constexpr std::size_t kSlack = 16;
  struct PaddedText {
    const char* base;
    const std::uint32_t* starts;  // null when every character is one byte (character i is byte i)
    std::size_t chars;

    std::size_t start(std::size_t i) const { return starts != nullptr ? starts[i] : i; }
    // The n-gram of n characters from character i. REQUIRES: i + n <= chars.
    std::string_view ngram(std::size_t i, std::size_t n) const {
      return std::string_view(base + start(i), start(i + n) - start(i));
    }
  };

  // The same, the words (and pairs) given to word_sink and the n-grams to ngram_sink. An n-gram's
  // view is followed by at least kSlack readable bytes (see byte_key_with_slack), and it stays valid
  // until the next text: the n-grams of a text are views into one buffer.
  template <class WordSink, class NgramSink>
  void run(std::string_view text, WordSink&& word_sink, NgramSink&& ngram_sink) {
    run_padded(text, word_sink, [&](const PaddedText& padded) {
      for (std::size_t n = spec_.ngram_min; n <= spec_.ngram_max && n <= padded.chars; ++n) {
        for (std::size_t i = 0; i + n <= padded.chars; ++i) ngram_sink(padded.ngram(i, n));
      }
    });
  }

  // The same, with the n-grams left to padded_sink: it is given the padded word text once (when the
  // FeatureSpec has n-grams), after the words, to make the n-grams of lengths ngram_min to ngram_max in that
  // order itself (valid during the call).
  template <class WordSink, class PaddedSink>
  void run_padded(std::string_view text, WordSink&& word_sink, PaddedSink&& padded_sink) {
    if (!spec_.has_ngrams()) {
      if (spec_.bigrams) {
        run_pairs(text, word_sink);
      } else if (spec_.words) {
        text::for_each_token(text, spec_.stop_words, spec_.apply_stemming, spec_.min_length, spec_.marks,
                             [&](std::string_view word) {
                               word_sink(word);
                               return true;
                             });
      }
      return;
    }
    std::string& padded = buffers_.padded;
    std::vector<std::uint32_t>& char_starts = buffers_.starts;
    padded.clear();
    padded.push_back(' ');
    const bool words = spec_.words;
    text::for_each_token(text, spec_.stop_words, spec_.apply_stemming, spec_.min_length, spec_.marks,
                         [&](std::string_view word) {
                           if (words) word_sink(word);
                           padded.append(word);
                           padded.push_back(' ');
                           return true;
                         });
    if (padded.size() == 1) padded.push_back(' ');  // no words: the padded text is two blanks
    const std::size_t bytes = padded.size();
    padded.append(kSlack, '\0');
    const char* const base = padded.data();
    if (is_ascii(base, bytes)) {  // a character is a byte: no table of where characters start
      padded_sink(PaddedText{base, nullptr, bytes});
      return;
    }
    char_starts.clear();
    for (std::size_t i = 0; i < bytes; ++i) {
      if ((static_cast<unsigned char>(base[i]) & 0xC0) != 0x80) char_starts.push_back(static_cast<std::uint32_t>(i));
    }
    const std::size_t chars = char_starts.size();
    char_starts.push_back(static_cast<std::uint32_t>(bytes));
    padded_sink(PaddedText{base, char_starts.data(), chars});
  }

 private:
  // Whether the n bytes at p are ASCII; the kSlack bytes after them may be read.
  static bool is_ascii(const char* p, std::size_t n) {
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) high |= text::load64_le(p + i);
    if (i < n) high |= text::load64_le(p + i) & ((std::uint64_t{1} << (8 * (n - i))) - 1);
    return (high & 0x8080808080808080ull) == 0;
  }

  // The words (when spec_.words), then the pairs: the words are kept back to back, each followed by
  // a blank, in padded, so a pair is the bytes from one word's start to the next word's end.
  template <class Sink>
  void run_pairs(std::string_view text, Sink& sink) {
    std::string& padded = buffers_.padded;
    std::vector<std::size_t>& word_starts = buffers_.word_starts;
    padded.clear();
    word_starts.clear();
    const bool words = spec_.words;
    text::for_each_token(text, spec_.stop_words, spec_.apply_stemming, spec_.min_length, spec_.marks,
                         [&](std::string_view word) {
                           if (words) sink(word);
                           word_starts.push_back(padded.size());
                           padded.append(word);
                           padded.push_back(' ');
                           return true;
                         });
    word_starts.push_back(padded.size());
    for (std::size_t i = 0; i + 2 < word_starts.size(); ++i) {
      sink(std::string_view(padded.data() + word_starts[i], word_starts[i + 2] - 1 - word_starts[i]));
    }
  }

  const FeatureSpec& spec_;
  Buffers own_;  // unused when the buffers are given
  Buffers& buffers_;
};

}  // namespace ombrel::textpipe
