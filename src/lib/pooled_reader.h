// Reading a large batch's plain values on the calling thread and on idle pool workers at once.
//
// The calling thread holds the interpreter lock, so it must never wait for work that is not its own:
// were it to wait for the pool while the pool is busy with another thread's batch, every Python
// thread would stop until that batch was done. So the work is cut into chunks of consecutive streams
// that threads claim from a shared counter; the caller claims chunks itself from the start, helpers
// posted to the pool join in only if a worker gets to them while chunks remain, and at the end the
// caller waits only for chunks already claimed, each a few microseconds of running work. A helper
// that starts late finds the counter spent and returns without touching the batch; the state it
// shares with the caller is reference-counted, so it may outlive the call.
#pragma once

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include "pool/thread_pool.h"

namespace ombrel::lib {

// The unit of the shared work: a run of streams holding about this many tokens.
inline constexpr uint64_t kChunkTokens = uint64_t{1} << 13;

// The shared state of one pooled read. `Fill` is called as fill(begin, end) on streams [begin, end)
// and returns the first stream of the range it could not read, or `end`; it must not throw, and it
// may run on any thread while the caller holds the interpreter lock (so it may read Python objects
// that nothing can change meanwhile, but must not create, free or count references to any).
template <class Fill>
class PooledRead final {
 public:
  PooledRead(Fill fill, uint64_t tokens, Py_ssize_t streams)
      : fill_(std::move(fill)), streams_(streams), first_bad_(streams) {
    const uint64_t chunks = std::max<uint64_t>(1, tokens / kChunkTokens);
    streams_per_chunk_ = std::max<Py_ssize_t>(
        1, static_cast<Py_ssize_t>((static_cast<uint64_t>(streams) + chunks - 1) / chunks));
    chunks_ = static_cast<uint64_t>((streams + streams_per_chunk_ - 1) / streams_per_chunk_);
  }

  uint64_t chunks() const { return chunks_; }

  // Claims and fills chunks until none is left. Safe to call at any time, also after the call that
  // made this state has returned: then the first claim fails and nothing else is touched.
  void work() noexcept {
    for (;;) {
      const uint64_t chunk = next_.fetch_add(1, std::memory_order_relaxed);
      if (chunk >= chunks_) return;
      const Py_ssize_t begin = static_cast<Py_ssize_t>(chunk) * streams_per_chunk_;
      const Py_ssize_t end = std::min(streams_, begin + streams_per_chunk_);
      // A stream that cannot be read ends the prefix; chunks wholly after it need no work.
      if (first_bad_.load(std::memory_order_relaxed) >= begin) {
        const Py_ssize_t bad = fill_(begin, end);
        if (bad != end) lower_first_bad(bad);
      }
      // Release: this chunk's values are visible to the caller once it counts the chunk done.
      finished_.fetch_add(1, std::memory_order_release);
    }
  }

  // The caller's side: works, then waits for the chunks other threads claimed, and returns how many
  // streams were read (the index of the first that could not be).
  Py_ssize_t work_and_finish() noexcept {
    work();
    while (finished_.load(std::memory_order_acquire) != chunks_) std::this_thread::yield();
    return first_bad_.load(std::memory_order_relaxed);
  }

 private:
  void lower_first_bad(Py_ssize_t bad) noexcept {
    Py_ssize_t seen = first_bad_.load(std::memory_order_relaxed);
    while (bad < seen && !first_bad_.compare_exchange_weak(seen, bad, std::memory_order_relaxed)) {
    }
  }

  Fill fill_;
  const Py_ssize_t streams_;
  Py_ssize_t streams_per_chunk_;
  uint64_t chunks_;
  std::atomic<uint64_t> next_{0};
  std::atomic<uint64_t> finished_{0};
  std::atomic<Py_ssize_t> first_bad_;
};

// Reads streams [0, streams), holding `tokens` values in all, with fill (see PooledRead) on this
// thread and on whichever workers of `workers` are free to help. Returns how many streams were read.
template <class Fill>
Py_ssize_t read_pooled(pool::ThreadPool& workers, uint64_t tokens, Py_ssize_t streams, Fill fill) {
  const auto read = std::make_shared<PooledRead<Fill>>(std::move(fill), tokens, streams);
  const uint64_t helpers = std::min<uint64_t>(workers.num_threads(), read->chunks() - 1);
  for (uint64_t h = 0; h < helpers; ++h) {
    try {
      workers.post([read]() noexcept { read->work(); });
    } catch (const std::bad_alloc&) {
      break;  // fewer helpers; this thread does the rest
    }
  }
  return read->work_and_finish();
}

}  // namespace ombrel::lib
