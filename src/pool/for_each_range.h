// for_each_range: runs a body over the index range [0, n) on a pool, divided into contiguous parts.
//
// Division rule. Every range carries a split budget, which starts at the pool's thread count T.
//   - A range of n >= 2 items that runs on the thread that divided it ("not migrated") is cut when
//     its budget is above 0: at n / 2, both halves carrying budget / 2.
//   - A range of n >= 2 that runs on another thread than the one that divided it ("migrated": an
//     idle worker stole it, or it was handed in from outside the pool) is always cut, and its
//     halves carry max(budget / 2, T). Stolen work is thus divided again, so that idle workers can
//     take part of it.
//   - A range that is not cut is one part: body(begin, end) on the thread that runs it.
// Each cut is a ThreadPool::join: the dividing thread runs the left half itself and queues the
// right half, which an idle worker may steal; if it is still queued once the left half is done, the
// same thread runs it. The first cut is made on the calling thread; from outside the pool the pair
// then goes to the pool as one job and the caller sleeps until it is done, processing no item
// itself.
//
// Part counts, for large n and no stealing: a non-migrated range with budget b >= 1 ends in
// 2^(floor(log2 b) + 1) parts, at most 2b. A call from inside a worker therefore makes at most 2T
// parts. From outside the pool both halves of the first cut were divided on the caller and run on a
// worker, so both count as migrated and each is cut into two ranges of budget T again: up to 8T
// parts in all. Every steal resets the stolen range's budget to at least T and adds parts.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "pool/thread_pool.h"

namespace ombrel::pool {

// The split budget of one range, carried by value into both halves of a cut.
class SplitBudget final {
 public:
  SplitBudget(std::size_t budget, std::size_t num_threads) noexcept
      : budget_(budget), num_threads_(num_threads) {}

  // Decides whether a range of n items is cut and, if so, updates the budget its halves carry.
  bool try_split(std::uint64_t n, bool migrated) noexcept {
    if (n < 2) return false;
    if (migrated) {
      budget_ = std::max(budget_ / 2, num_threads_);
      return true;
    }
    if (budget_ == 0) return false;
    budget_ /= 2;
    return true;
  }

 private:
  std::size_t budget_;
  std::size_t num_threads_;
};

namespace detail {

template <class Body>
void divide_range(ThreadPool& pool, std::uint64_t begin, std::uint64_t end, SplitBudget budget, bool migrated,
                  Body& body) {
  if (!budget.try_split(end - begin, migrated)) {
    body(begin, end);
    return;
  }
  const std::uint64_t middle = begin + (end - begin) / 2;
  pool.join([&](bool left_migrated) { divide_range(pool, begin, middle, budget, left_migrated, body); },
            [&](bool right_migrated) { divide_range(pool, middle, end, budget, right_migrated, body); });
}

}  // namespace detail

// Calls body(begin, end) for contiguous parts [begin, end) that together cover [0, n) exactly once,
// divided as described at the top of this file. The body processes its part's items in ascending
// order; it runs on pool workers, concurrently with itself, so it must be safe to call that way. n
// < 2 is not divided: body(0, n) runs on the calling thread (for n == 0, once, with an empty
// range). Works from outside the pool (the caller sleeps until every part is done) and from inside
// a worker (nested use: the cuts are joins on that worker). Exceptions: an exception from the body
// ends its own part; every other part still runs to the end, then the exception of the leftmost
// failing part is rethrown here (at each cut, the left half's exception wins over the right
// half's).
template <class Body>
void for_each_range(ThreadPool& pool, std::uint64_t n, Body&& body) {
  if (n < 2) {
    body(std::uint64_t{0}, n);
    return;
  }
  const std::size_t threads = pool.num_threads();
  detail::divide_range(pool, 0, n, SplitBudget(threads, threads), /*migrated=*/false, body);
}

}  // namespace ombrel::pool
