// The tokenizer's suffix-stripping stemmer.

#ifndef OMBREL_TEXT_STEMMER_H_
#define OMBREL_TEXT_STEMMER_H_

#include <string>
#include <string_view>

namespace ombrel::text {

// Applies the first of ten suffix rules that matches the token (tion, sion, ment, ness,
// ing with at least six bytes, ies -> y, ly, ed, es, s but not ss) and returns the result.
// Tokens under five bytes come back unchanged. Only the last four bytes are examined.
//
// The result is a prefix of token, except for the "ies" -> "y" rule, whose result is
// written into scratch; either way it stays valid as long as token's bytes and scratch do.
std::string_view stem_token(std::string_view token, std::string& scratch);

}  // namespace ombrel::text

#endif  // OMBREL_TEXT_STEMMER_H_
