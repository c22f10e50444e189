// The tokenizer's core: UTF-8 text in, lowercase word tokens out. Plain C++; the Python
// function `tokenize` converts its arguments, calls for_each_token and builds the list.
//
// Tokenizing lowercases the whole text once into one buffer (Unicode default full
// lowercase mapping, Final_Sigma included), cuts the lowered text at every character that
// is neither Alphabetic nor a number (Nd, Nl, No), so that k separators give k + 1 tokens,
// empty ones included, and then, per token in order: drops it if shorter than min_length
// bytes, drops it if it is in the stop-word set (an empty set is not consulted), stems it
// if asked, and hands it to the sink.
//
// Marks::kJoin (never used by `tokenize`) changes only where words are cut: a combining mark
// (general category Mn, Mc or Me) that is not Alphabetic continues the word it follows instead
// of cutting it, so that 'i' + U+0307, 'e' + U+0301 or the virama of 'क्ष' stay inside their
// word. A mark that would begin a word (at the start of the text or right after a separator)
// is still a separator: a stray mark, such as the variation selector after an emoji, makes no
// word of its own. Alphabetic marks (most vowel signs) are word characters either way.
//
// Malformed UTF-8: input from Python is always well-formed, but any bytes are accepted.
// A byte that does not begin a well-formed sequence (see utf8::decode) is one character of
// its own: it is a separator, neither Cased nor Case_Ignorable, and lowercase() copies it
// unchanged. No byte outside the input or the output buffer is ever touched.
//
// Cost: linear in the text's length, including the Final_Sigma context scans. The lowered
// buffer is allocated once at 3/2 of the text's size (the most any character grows when
// lowercased); allocation failure throws std::bad_alloc.

#ifndef OMBREL_TEXT_TOKENIZER_H_
#define OMBREL_TEXT_TOKENIZER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "lib/text/stemmer.h"
#include "lib/text/stop_word_set.h"

namespace ombrel::text {

// The full default lowercase mapping of utf8, Final_Sigma applied over the whole text.
std::string lowercase(std::string_view utf8);

// How combining marks are treated: kSeparate is `tokenize`'s rule, kJoin keeps them inside words.
enum class Marks : bool { kSeparate, kJoin };

namespace detail {
// Returns false to stop tokenizing.
using TokenCallback = bool (*)(void* context, std::string_view token, bool ascii);

bool for_each_token(std::string_view text, const StopWordSet& stop_words, bool apply_stemming,
                    std::uint64_t min_length, TokenCallback callback, void* context);
// The same with Marks::kJoin: a separate function, so that the rule of `tokenize` runs the very
// same code whatever other callers ask for.
bool for_each_token_joining_marks(std::string_view text, const StopWordSet& stop_words, bool apply_stemming,
                                  std::uint64_t min_length, TokenCallback callback, void* context);
}  // namespace detail

// Calls sink(token, ascii) -> bool, or sink(token) -> bool, for each token that passes the
// tests, in text order. `ascii` tells that every byte of the token is below 0x80. The view
// is valid only during the call. Returns false as soon as the sink returns false (nothing
// more is produced), true otherwise.
template <class Sink>
bool for_each_token(std::string_view text, const StopWordSet& stop_words, bool apply_stemming,
                    std::uint64_t min_length, Marks marks, Sink&& sink) {
  using SinkType = std::remove_reference_t<Sink>;
  static_assert(std::is_invocable_r_v<bool, SinkType&, std::string_view, bool> ||
                    std::is_invocable_r_v<bool, SinkType&, std::string_view>,
                "the sink takes (std::string_view token[, bool ascii]) and returns bool");
  const detail::TokenCallback callback = [](void* context, std::string_view token, bool ascii) -> bool {
    SinkType& s = *static_cast<SinkType*>(context);
    if constexpr (std::is_invocable_r_v<bool, SinkType&, std::string_view, bool>) {
      return s(token, ascii);
    } else {
      return s(token);
    }
  };
  void* const context = const_cast<void*>(static_cast<const void*>(std::addressof(sink)));
  if (marks == Marks::kJoin) {
    return detail::for_each_token_joining_marks(text, stop_words, apply_stemming, min_length, callback,
                                                context);
  }
  return detail::for_each_token(text, stop_words, apply_stemming, min_length, callback, context);
}

template <class Sink>
bool for_each_token(std::string_view text, const StopWordSet& stop_words, bool apply_stemming,
                    std::uint64_t min_length, Sink&& sink) {
  return for_each_token(text, stop_words, apply_stemming, min_length, Marks::kSeparate,
                        std::forward<Sink>(sink));
}

// The tokens of text as owned strings.
std::vector<std::string> tokenize(std::string_view text, const StopWordSet& stop_words, bool apply_stemming,
                                  std::uint64_t min_length, Marks marks = Marks::kSeparate);

}  // namespace ombrel::text

#endif  // OMBREL_TEXT_TOKENIZER_H_
