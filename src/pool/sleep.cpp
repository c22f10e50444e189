#include "pool/sleep.h"

#include <chrono>
#include <thread>

namespace ombrel::pool {

void Sleep::wait(std::uint64_t ticket) noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  ++sleepers_;
  // Relaxed is enough under the mutex: every bump happens under it too.
  while (epoch_.load(std::memory_order_relaxed) == ticket) wake_cv_.wait(lock);
  --sleepers_;
}

bool Sleep::spin_while_unchanged(std::uint64_t ticket) const noexcept {
  constexpr auto kSpin = std::chrono::microseconds(50);
  const auto deadline = std::chrono::steady_clock::now() + kSpin;
  do {
    if (ticket_changed(ticket)) return true;
    std::this_thread::yield();
  } while (std::chrono::steady_clock::now() < deadline);
  return ticket_changed(ticket);
}

void Sleep::notify_one() noexcept {
  bump(false);
}

void Sleep::notify_all() noexcept {
  bump(true);
}

void Sleep::bump(bool all) noexcept {
  bool anyone_asleep;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Release: publishes what the caller made visible before notifying (see ticket()).
    epoch_.fetch_add(1, std::memory_order_release);
    anyone_asleep = sleepers_ > 0;
  }
  // Outside the lock, so a woken sleeper does not block at once on the mutex. A sleeper that
  // arrives after the unlock sees the new epoch and does not block at all.
  if (!anyone_asleep) return;
  if (all) {
    wake_cv_.notify_all();
  } else {
    wake_cv_.notify_one();
  }
}

}  // namespace ombrel::pool
