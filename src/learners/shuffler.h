// The order of the texts in each pass of a learner: a Fisher-Yates shuffle driven by splitmix64, so
// that one seed gives the same order on every platform (std::shuffle's sequence is left to the
// library), and so that several threads seeded alike walk the same order without talking.
#pragma once

#include <cstdint>
#include <vector>

namespace ombrel::learners {

class Shuffler final {
 public:
  explicit Shuffler(std::uint64_t seed) : state_(seed) {}
  // Permutes `order` in place; each call continues the sequence.
  void shuffle(std::vector<std::uint32_t>& order);

 private:
  std::uint64_t next();
  std::uint64_t state_;
};

}  // namespace ombrel::learners
