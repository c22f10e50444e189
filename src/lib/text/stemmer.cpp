#include "lib/text/stemmer.h"

namespace ombrel::text {

// The rules are grouped by the last letter of their suffix. Groups never overlap, and
// within a group the rules keep their order, so the first rule that matches in the group
// is the first that matches overall.
std::string_view stem_token(std::string_view token, std::string& scratch) {
  const std::size_t n = token.size();
  if (n < 5) return token;
  const std::string_view last_four = token.substr(n - 4);
  const auto without = [token, n](std::size_t bytes) { return token.substr(0, n - bytes); };
  switch (last_four[3]) {
    case 'n':
      if (last_four == "tion" || last_four == "sion") return without(4);
      break;
    case 't':
      if (last_four == "ment") return without(4);
      break;
    case 's':
      if (last_four == "ness") return without(4);
      if (last_four.ends_with("ies")) {
        scratch.assign(token.data(), n - 3);
        scratch.push_back('y');
        return scratch;
      }
      if (last_four.ends_with("es")) return without(2);
      if (last_four[2] != 's') return without(1);
      break;
    case 'g':
      // A five-byte token ending in "ing" stays unchanged: no later rule ends in 'g'.
      if (last_four.ends_with("ing") && n >= 6) return without(3);
      break;
    case 'y':
      if (last_four.ends_with("ly")) return without(2);
      break;
    case 'd':
      if (last_four.ends_with("ed")) return without(2);
      break;
  }
  return token;
}

}  // namespace ombrel::text
