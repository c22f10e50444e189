// One pass over the text lowercases it into the output buffer and cuts it into tokens.
//
// ASCII is handled eight bytes at a time without decoding: the word is lowercased with
// bit arithmetic, stored, and its separator bytes (anything but a-z and 0-9 after
// lowering) become a bit mask whose set bits close tokens. Other characters go through
// the tables of unicode_tables.h one at a time.
//
// Final_Sigma needs the context of each capital sigma in the original text:
//  - Before it: whether the last character that is not Case_Ignorable is Cased. The pass
//    keeps this as `previous_cased`, valid at `context_start`. The ASCII path does not
//    maintain it; every non-ASCII character first brings it up to date by scanning back
//    over the ASCII run since `context_start` until a non-ignorable byte. Each ASCII byte
//    is scanned back at most once, since context_start then moves past it.
//  - After it: a forward scan over Case_Ignorable characters to the first other one.
//    That scan stops at any following sigma (which is not Case_Ignorable), so the scans
//    of different sigmas cover disjoint stretches of text.
// Both stay linear in the text's length however sigmas and ignorables are arranged.

#include "lib/text/tokenizer.h"

#include <bit>
#include <cstring>

#include "lib/text/unicode_tables.h"
#include "lib/text/utf8.h"

namespace ombrel::text {

namespace {

using unicode::CharRecord;
using unicode::record_of;

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSmallSigma = 0x03C2;

// Room for the lowered text: no character's lowercase mapping takes more than 3/2 of its
// own UTF-8 bytes (the generator refuses tables that break this), plus slack.
std::size_t lowered_capacity(std::size_t text_size) {
  return text_size + text_size / 2 + 8;
}

constexpr bool ascii_is_token(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

constexpr unsigned char ascii_lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

// For a word of ASCII bytes: the high bit of each byte that is >= low.
constexpr std::uint64_t bytes_at_least(std::uint64_t word, unsigned char low) {
  return (word + (0x80u - low) * kOnes) & kHighBits;
}

constexpr std::uint64_t bytes_between(std::uint64_t word, unsigned char low, unsigned char high) {
  return bytes_at_least(word, low) & ~bytes_at_least(word, static_cast<unsigned char>(high + 1));
}

constexpr std::uint64_t lower_ascii_word(std::uint64_t word) {
  return word | (bytes_between(word, 'A', 'Z') >> 2);  // 0x80 >> 2 == 'a' - 'A'
}

constexpr std::uint64_t separator_bytes(std::uint64_t lowered) {
  return ~(bytes_between(lowered, 'a', 'z') | bytes_between(lowered, '0', '9')) & kHighBits;
}

// Whether the text from p on, skipping Case_Ignorable characters, continues with a Cased
// character.
bool followed_by_cased(const unsigned char* p, const unsigned char* end) {
  while (p < end) {
    char32_t cp = *p;
    unsigned length = 1;
    if (cp >= 0x80) {
      const utf8::Decoded decoded = utf8::decode(p, end);
      if (decoded.length == 0) return false;
      cp = decoded.code_point;
      length = decoded.length;
    }
    const CharRecord& record = record_of(cp);
    if ((record.flags & unicode::kCaseIgnorable) == 0) return (record.flags & unicode::kCased) != 0;
    p += length;
  }
  return false;
}

// Lowercases text into out (REQUIRES: lowered_capacity(text.size()) bytes) and calls
// on_token(begin, end, ascii) -> bool for each token, as pointers into out. Returns false
// as soon as on_token does; otherwise stores the lowered text's length in written. With
// kJoinMarks, a mark continues a token that has begun (see Marks::kJoin); no ASCII character
// is a mark, so only the one-character path below differs.
template <bool kJoinMarks = false, class OnToken>
bool lower_and_cut(std::string_view text, char* const out, std::size_t& written, OnToken&& on_token) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = begin + text.size();
  const unsigned char* src = begin;
  char* dst = out;
  char* token_begin = out;
  bool token_ascii = true;
  bool previous_cased = false;
  const unsigned char* context_start = begin;

  // A separator character occupies [separator, separator_end) of out.
  const auto cut = [&](char* separator, char* separator_end) -> bool {
    if (!on_token(token_begin, separator, token_ascii)) return false;
    token_begin = separator_end;
    token_ascii = true;
    return true;
  };
  // Appends one lowered character to out.
  const auto put = [&](char32_t cp, bool is_token) -> bool {
    char* const at = dst;
    dst += utf8::encode(cp, dst);
    if (is_token) {
      token_ascii = token_ascii && cp < 0x80;
      return true;
    }
    return cut(at, dst);
  };
  // Whether a lowered character with these flags belongs to the token: token_flag is
  // kLowercaseIsToken for the flags of the character lowered, kTokenChar for the lowercase's own.
  const auto in_token = [&](std::uint8_t flags, std::uint8_t token_flag) -> bool {
    if constexpr (kJoinMarks) {
      return (flags & token_flag) != 0 || ((flags & unicode::kMark) != 0 && dst != token_begin);
    } else {
      return (flags & token_flag) != 0;
    }
  };

  for (;;) {
    if constexpr (std::endian::native == std::endian::little) {
      while (end - src >= 8) {
        std::uint64_t word;
        std::memcpy(&word, src, sizeof word);
        if (word & kHighBits) break;
        const std::uint64_t lowered = lower_ascii_word(word);
        std::memcpy(dst, &lowered, sizeof lowered);
        for (std::uint64_t separators = separator_bytes(lowered); separators != 0;
             separators &= separators - 1) {
          char* const separator = dst + (std::countr_zero(separators) >> 3);
          if (!cut(separator, separator + 1)) return false;
        }
        src += 8;
        dst += 8;
      }
    }
    // The bytes up to the next non-ASCII byte (at most seven unless near the end).
    for (; src < end && *src < 0x80; ++src, ++dst) {
      *dst = static_cast<char>(ascii_lower(*src));
      if (!ascii_is_token(*src) && !cut(dst, dst + 1)) return false;
    }
    if (src == end) break;

    // One non-ASCII character or malformed byte. First bring previous_cased up to date.
    for (const unsigned char* p = src; p > context_start;) {
      const CharRecord& record = record_of(*--p);
      if ((record.flags & unicode::kCaseIgnorable) == 0) {
        previous_cased = (record.flags & unicode::kCased) != 0;
        break;
      }
    }
    const utf8::Decoded decoded = utf8::decode(src, end);
    if (decoded.length == 0) {
      *dst = static_cast<char>(*src);
      if (!cut(dst, dst + 1)) return false;
      ++dst;
      ++src;
      previous_cased = false;
      context_start = src;
      continue;
    }
    const char32_t cp = decoded.code_point;
    const CharRecord& record = record_of(cp);
    src += decoded.length;
    bool ok;
    if (cp == kCapitalSigma) {
      const bool final = previous_cased && !followed_by_cased(src, end);
      ok = put(final ? kFinalSmallSigma : kSmallSigma, true);
    } else if (record.flags & unicode::kMultiLowercase) {
      const unicode::MultiLowercase& mapping = unicode::multi_lowercase(record);
      ok = true;
      for (unsigned i = 0; ok && i < mapping.size; ++i) {
        ok = put(mapping.chars[i], in_token(record_of(mapping.chars[i]).flags, unicode::kTokenChar));
      }
    } else {
      ok = put(static_cast<char32_t>(static_cast<std::int32_t>(cp) + record.lowercase),
               in_token(record.flags, unicode::kLowercaseIsToken));
    }
    if (!ok) return false;
    if ((record.flags & unicode::kCaseIgnorable) == 0) {
      previous_cased = (record.flags & unicode::kCased) != 0;
    }
    context_start = src;
  }
  if (!on_token(token_begin, dst, token_ascii)) return false;
  written = static_cast<std::size_t>(dst - out);
  return true;
}

}  // namespace

std::string lowercase(std::string_view utf8) {
  const auto buffer = std::make_unique_for_overwrite<char[]>(lowered_capacity(utf8.size()));
  std::size_t written = 0;
  lower_and_cut(utf8, buffer.get(), written, [](const char*, const char*, bool) { return true; });
  return std::string(buffer.get(), written);
}

namespace detail {

namespace {

template <bool kJoinMarks>
bool cut_and_filter(std::string_view text, const StopWordSet& stop_words, bool apply_stemming,
                    std::uint64_t min_length, TokenCallback callback, void* context) {
  const auto buffer = std::make_unique_for_overwrite<char[]>(lowered_capacity(text.size()));
  const bool check_stop_words = !stop_words.empty();
  std::string scratch;
  std::size_t written = 0;
  // Captured by value so that the per-token code keeps them in registers.
  const StopWordSet* const stop = &stop_words;
  std::string* const stem_scratch = &scratch;
  const auto on_token = [=](const char* begin, const char* end, bool ascii) {
    const auto length = static_cast<std::size_t>(end - begin);
    if (length < min_length) return true;
    std::string_view token(begin, length);
    if (check_stop_words && stop->contains(token)) return true;
    if (apply_stemming) token = stem_token(token, *stem_scratch);
    return callback(context, token, ascii);
  };
  return lower_and_cut<kJoinMarks>(text, buffer.get(), written, on_token);
}

}  // namespace

bool for_each_token(std::string_view text, const StopWordSet& stop_words, bool apply_stemming,
                    std::uint64_t min_length, TokenCallback callback, void* context) {
  return cut_and_filter<false>(text, stop_words, apply_stemming, min_length, callback, context);
}

bool for_each_token_joining_marks(std::string_view text, const StopWordSet& stop_words, bool apply_stemming,
                                  std::uint64_t min_length, TokenCallback callback, void* context) {
  return cut_and_filter<true>(text, stop_words, apply_stemming, min_length, callback, context);
}

}  // namespace detail

std::vector<std::string> tokenize(std::string_view text, const StopWordSet& stop_words, bool apply_stemming,
                                  std::uint64_t min_length, Marks marks) {
  std::vector<std::string> tokens;
  for_each_token(text, stop_words, apply_stemming, min_length, marks, [&tokens](std::string_view token) {
    tokens.emplace_back(token);
    return true;
  });
  return tokens;
}

}  // namespace ombrel::text
