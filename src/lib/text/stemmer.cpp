#include "text/stemmer.h"

namespace ombrel::text {

std::string_view stem_token(std::string_view token, std::string& scratch) {
  const std::size_t n = token.size();
  if (n < 5) return token;
  const auto without = [token, n](std::size_t bytes) { return token.substr(0, n - bytes); };
  if (token.ends_with("tion") || token.ends_with("sion") || token.ends_with("ment") ||
      token.ends_with("ness")) {
    return without(4);
  }
  if (token.ends_with("ing")) {
    if (n >= 6) return without(3);
    return token;  // none of the later rules matches a token ending in 'g'
  }
  if (token.ends_with("ies")) {
    scratch.assign(token.data(), n - 3);
    scratch.push_back('y');
    return scratch;
  }
  if (token.ends_with("ly") || token.ends_with("ed") || token.ends_with("es")) return without(2);
  if (token.ends_with('s') && !token.ends_with("ss")) return without(1);
  return token;
}

}  // namespace ombrel::text
