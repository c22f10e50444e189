#include "pool/thread_count.h"

#include <limits>
#include <optional>

namespace ombrel::pool {
namespace {

// One or more ASCII digits and nothing else; nullopt for anything else, including a value beyond
// std::size_t (which therefore counts as "not a number", like a misspelt one).
std::optional<std::size_t> parse_unsigned_decimal(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  std::size_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    const auto digit = static_cast<std::size_t>(*p - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

std::size_t thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::size_t logical_cpus) {
  const std::size_t fallback = logical_cpus == 0 ? 1 : logical_cpus;
  if (const auto requested = parse_unsigned_decimal(rayon_num_threads)) {
    return *requested > 0 ? *requested : fallback;
  }
  if (const auto cpus = parse_unsigned_decimal(rayon_rs_num_cpus); cpus && *cpus > 0) return *cpus;
  return fallback;
}

}  // namespace ombrel::pool
