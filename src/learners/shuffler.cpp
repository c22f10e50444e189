#include "learners/shuffler.h"

#include <utility>

namespace ombrel::learners {

std::uint64_t Shuffler::next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void Shuffler::shuffle(std::vector<std::uint32_t>& order) {
  for (std::size_t i = order.size(); i > 1; --i) {
    // Multiply-shift maps 64 random bits onto [0, i) with a bias below i / 2^64.
    const auto j = static_cast<std::size_t>((static_cast<unsigned __int128>(next()) * i) >> 64);
    std::swap(order[i - 1], order[j]);
  }
}

}  // namespace ombrel::learners
