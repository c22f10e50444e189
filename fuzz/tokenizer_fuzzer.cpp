// libFuzzer target: the tokenizer core on arbitrary bytes.
//
// The input is split into a few stop words, the stemming flag, a minimum length and the text (any
// bytes, so malformed UTF-8 too). Besides running clean under AddressSanitizer and
// UndefinedBehaviorSanitizer, every run checks properties that hold for any input:
//   - each token is well-formed UTF-8 made only of token characters (Alphabetic or a number) with
//     no ASCII capital left, at least min_length bytes long, and not a stop word;
//   - with no filter at all, the lowered text is exactly the tokens joined by one separator
//     character each (k separators give k + 1 tokens);
//   - filtering by stop words and stemming afterwards gives the same list as the tokenizer's own
//     filter and stemmer, the stop words held in a std::unordered_set and the stemmer's ten rules
//     written out plainly;
//   - padding the text with blanks (which shifts the eight-byte ASCII path to every alignment)
//     only adds empty tokens at the ends;
//   - on ASCII text, a byte-at-a-time reference gives the same tokens.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "lib/text/stemmer.h"
#include "lib/text/stop_word_set.h"
#include "lib/text/tokenizer.h"
#include "lib/text/unicode_tables.h"
#include "lib/text/utf8.h"

namespace {

using ombrel::text::StopWordSet;
using Tokens = std::vector<std::string>;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "tokenizer property broken: %s\n", what);
  std::abort();
}

void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

// The length of the character at p: a well-formed sequence, or 1 for a byte that begins none.
std::size_t char_length(const unsigned char* p, const unsigned char* end) {
  if (*p < 0x80) return 1;
  const auto decoded = ombrel::text::utf8::decode(p, end);
  return decoded.length == 0 ? 1 : decoded.length;
}

// Decodes a well-formed character; false for anything else.
bool decode_char(std::string_view s, std::size_t at, char32_t* cp, std::size_t* length) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + at;
  const auto* end = reinterpret_cast<const unsigned char*>(s.data()) + s.size();
  if (*p < 0x80) {
    *cp = *p;
    *length = 1;
    return true;
  }
  const auto decoded = ombrel::text::utf8::decode(p, end);
  if (decoded.length == 0) return false;
  *cp = decoded.code_point;
  *length = decoded.length;
  return true;
}

bool is_token_char(char32_t cp) {
  return (ombrel::text::unicode::record_of(cp).flags & ombrel::text::unicode::kTokenChar) != 0;
}

// The ten suffix rules, in their order, one after another.
std::string reference_stem(std::string_view t) {
  const std::size_t n = t.size();
  auto cut = [&](std::size_t k) { return std::string(t.substr(0, n - k)); };
  if (n < 5) return std::string(t);
  if (t.ends_with("tion") || t.ends_with("sion") || t.ends_with("ment") || t.ends_with("ness")) {
    return cut(4);
  }
  if (t.ends_with("ing") && n >= 6) return cut(3);
  if (t.ends_with("ies")) return cut(3) + "y";
  if (t.ends_with("ly") || t.ends_with("ed") || t.ends_with("es")) return cut(2);
  if (t.ends_with("s") && !t.ends_with("ss")) return cut(1);
  return std::string(t);
}

Tokens run(std::string_view text, const StopWordSet& stop, bool stem, uint64_t min_length) {
  Tokens out;
  const bool completed =
      ombrel::text::for_each_token(text, stop, stem, min_length, [&](std::string_view token, bool ascii) {
        bool all_ascii = true;
        for (const char c : token) all_ascii = all_ascii && static_cast<unsigned char>(c) < 0x80;
        check(ascii == all_ascii, "the ascii flag matches the token's bytes");
        out.emplace_back(token);
        return true;
      });
  check(completed, "a sink that never stops sees every token");
  return out;
}

// Splits ASCII text byte by byte: the plain reading of the rules.
Tokens reference_ascii(std::string_view text) {
  Tokens out(1);
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= '0' && b <= '9') || (b >= 'a' && b <= 'z')) {
      out.back().push_back(c);
    } else if (b >= 'A' && b <= 'Z') {
      out.back().push_back(static_cast<char>(b + ('a' - 'A')));
    } else {
      out.emplace_back();
    }
  }
  return out;
}

void check_token_shape(const std::string& token) {
  for (std::size_t at = 0; at < token.size();) {
    char32_t cp;
    std::size_t length;
    check(decode_char(token, at, &cp, &length), "a token is well-formed UTF-8");
    check(is_token_char(cp), "a token holds only token characters");
    check(!(cp >= 'A' && cp <= 'Z'), "a token holds no ASCII capital");
    at += length;
  }
}

// lowered == t0 s0 t1 s1 ... tk, each s one separator character.
void check_reconstruction(const std::string& lowered, const Tokens& raw) {
  const auto* base = reinterpret_cast<const unsigned char*>(lowered.data());
  const auto* end = base + lowered.size();
  std::size_t at = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    check(lowered.compare(at, raw[i].size(), raw[i]) == 0, "tokens appear in the lowered text in order");
    at += raw[i].size();
    if (i + 1 == raw.size()) break;
    check(at < lowered.size(), "a separator follows every token but the last");
    const std::size_t length = char_length(base + at, end);
    char32_t cp;
    std::size_t decoded_length;
    if (decode_char(lowered, at, &cp, &decoded_length)) {
      check(!is_token_char(cp), "the character between two tokens is a separator");
    }
    at += length;
  }
  check(at == lowered.size(), "the last token ends the lowered text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool stem = input.ConsumeBool();
  const int length_choice = input.ConsumeIntegralInRange<int>(0, 7);
  const uint64_t min_length =
      length_choice == 7 ? input.ConsumeIntegral<uint64_t>() : static_cast<uint64_t>(length_choice);
  const int stop_count = input.ConsumeIntegralInRange<int>(0, 6);
  StopWordSet stop;
  std::unordered_set<std::string> stop_reference;
  for (int i = 0; i < stop_count; ++i) {
    std::string word = input.ConsumeRandomLengthString(40);
    stop.insert(word);
    stop_reference.insert(std::move(word));
  }
  check(stop.size() == stop_reference.size(), "the stop-word set counts distinct words");
  const std::string text = input.ConsumeRemainingBytesAsString();

  const StopWordSet none;
  const Tokens raw = run(text, none, false, 0);
  const std::string lowered = ombrel::text::lowercase(text);
  check_reconstruction(lowered, raw);

  // The tokenizer's filter and stemmer against the plain ones, applied to the unfiltered tokens.
  Tokens expected;
  for (const std::string& token : raw) {
    if (token.size() < min_length) continue;
    if (!stop_reference.empty() && stop_reference.count(token) != 0) continue;
    std::string scratch;
    const std::string_view stemmed = ombrel::text::stem_token(token, scratch);
    check(stemmed == reference_stem(token), "the stemmer applies the first matching rule");
    expected.emplace_back(stem ? std::string(stemmed) : token);
  }
  const Tokens filtered = run(text, stop, stem, min_length);
  check(filtered == expected, "filtering and stemming act on each token as the rules say");
  check(ombrel::text::tokenize(text, stop, stem, min_length) == filtered,
        "tokenize collects what for_each_token hands out");
  if (!stem) {
    for (const std::string& token : filtered) {
      check_token_shape(token);
      check(token.size() >= min_length, "no token is shorter than min_length");
      check(stop_reference.count(token) == 0, "no token is a stop word");
    }
  }

  // Blanks around the text: the same tokens between empty ones, at every alignment.
  const bool keeps_empty = min_length == 0 && (stop_reference.empty() || stop_reference.count("") == 0);
  for (std::size_t before = 1; before <= 8; before += 3) {
    const std::size_t after = 9 - before;
    const std::string padded = std::string(before, ' ') + text + std::string(after, ' ');
    Tokens want;
    if (keeps_empty) want.insert(want.end(), before, std::string());
    want.insert(want.end(), filtered.begin(), filtered.end());
    if (keeps_empty) want.insert(want.end(), after, std::string());
    check(run(padded, stop, stem, min_length) == want, "blanks around the text add only empty tokens");
  }

  bool ascii = true;
  for (const char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) check(raw == reference_ascii(text), "ASCII text splits as the byte-wise reference does");
  return 0;
}
