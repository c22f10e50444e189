// Sleep: where idle workers wait for something to happen, as an event count.
//
// Protocol, for a worker that finds nothing to do:
//     const auto ticket = sleep.ticket();   // 1. take a ticket
//     ... look for work / check the flag waited for ...   // 2. look again
//     sleep.wait(ticket);                    // 3. sleep unless something happened since 1
// and for a thread that makes work or a flag visible (push to a queue, set a done flag):
//     ... publish ...; sleep.notify_one() or notify_all();
// Every notify bumps the epoch under the mutex. Either the sleeper's ticket already includes the
// bump (then the acquire in ticket() makes the published work visible to step 2), or the bump comes
// later and wait() either sees it under the mutex or is woken by it. So no wake-up is lost, and a
// sleeper that has blocked stays blocked on the condition variable until the epoch moves.
//
// notify_one suffices where any woken worker can act on the event (new work in a deque, which every
// worker looks at); notify_all is for events only one particular thread cares about (a done flag,
// an injected job that joining workers do not take), since notify_one might wake the wrong thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace ombrel::pool {

class Sleep final {
 public:
  Sleep() = default;
  Sleep(const Sleep&) = delete;
  Sleep& operator=(const Sleep&) = delete;

  // Acquire: pairs with the release bump in notify_*, so whatever was published before a bump that
  // this ticket includes is visible to the caller.
  std::uint64_t ticket() const noexcept { return epoch_.load(std::memory_order_acquire); }

  // Blocks until some notify_* has run after `ticket` was taken; returns at once if one already
  // has.
  void wait(std::uint64_t ticket) noexcept;

  // Watches the epoch for a short while before a worker goes to sleep; true as soon as it moves.
  // Waking a sleeping thread costs tens of microseconds on a virtual machine (the wake-up, then
  // the scheduler), more than a small batch takes to run; a caller that submits batch after batch
  // from a loop finds its workers still awake. Between looks the thread yields its processor, so a
  // runnable thread (the caller, say) is not kept from it.
  bool spin_while_unchanged(std::uint64_t ticket) const noexcept;

  void notify_one() noexcept;
  void notify_all() noexcept;

 private:
  bool ticket_changed(std::uint64_t ticket) const noexcept {
    return epoch_.load(std::memory_order_acquire) != ticket;
  }

  void bump(bool all) noexcept;

  std::mutex mutex_;
  std::condition_variable wake_cv_;
  // Changed only under mutex_; read without it by ticket().
  std::atomic<std::uint64_t> epoch_{0};
  std::size_t sleepers_ = 0;  // guarded by mutex_
};

}  // namespace ombrel::pool
