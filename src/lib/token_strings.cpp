#include "lib/token_strings.h"

namespace ombrel::lib {
namespace {

TokenStrings* g_token_strings = nullptr;  // never freed: lives as long as the module

}  // namespace

TokenStrings& token_strings() {
  if (g_token_strings == nullptr) g_token_strings = new TokenStrings();
  return *g_token_strings;
}

}  // namespace ombrel::lib
