// Word-level access to records shared between threads.
//
// Records may be read by prediction, introspection and saving while a training step on another thread
// (or another process, for a mapped file) writes them. Each word is therefore read and written whole,
// through std::atomic_ref. Relaxed order is enough for the data words: readers are allowed to see a
// record part-way through an update, and the training steps on one record are ordered by its `lock`
// word (acquire on take, release on give-back), which publishes the previous holder's writes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ombrel/sensory_neuron.h"

namespace ombrel {

template <class T>
inline T load_word(const T& word) noexcept {
  return std::atomic_ref<T>(const_cast<T&>(word)).load(std::memory_order_relaxed);
}

template <class T>
inline void store_word(T& word, T value) noexcept {
  std::atomic_ref<T>(word).store(value, std::memory_order_relaxed);
}

// Takes the record's training lock if it is free (0 -> 1). Never waits.
// The release fence after taking it orders the lock store before every write the holder then makes
// to the record: a reader that sees any of those writes and then issues an acquire fence sees the
// lock held (or given back). Saving relies on it to read records without taking their locks. On x86
// it costs nothing (a compiler barrier).
inline bool try_lock_record(SensoryNeuron& record) noexcept {
  int32_t expected = 0;
  if (!std::atomic_ref<int32_t>(record.lock)
           .compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
    return false;
  }
  std::atomic_thread_fence(std::memory_order_release);
  return true;
}

// A release store, not an exchange: nobody else writes a held lock word, so the read half of an
// exchange would learn nothing, and on x86 it is a locked instruction that drains the store buffer
// on every training step.
inline void unlock_record(SensoryNeuron& record) noexcept {
  std::atomic_ref<int32_t>(record.lock).store(0, std::memory_order_release);
}

// Token streams hit records all over the block, and a record missing from the cache costs far more
// than the work done on it. Walking a stream, we ask for the record a few tokens ahead so that its
// line arrives while the tokens in between are processed. A prefetch is only a hint: it neither
// reads nor writes the record in the memory model's sense. Batch prediction does less work per
// token than training, so it looks further ahead.
inline constexpr std::size_t kPrefetchDistance = 12;
inline constexpr std::size_t kBatchPredictPrefetchDistance = 32;

// REQUIRES: [tokens, limit) is readable. `limit` may lie beyond the current stream (the rest of a
// batch part), so that the first records of the next stream are on their way too.
template <std::size_t kDistance = kPrefetchDistance>
inline void prefetch_ahead(const SensoryNeuron* records, uint64_t count, const uint32_t* tokens,
                           const uint32_t* limit, std::size_t i) noexcept {
  if (static_cast<std::size_t>(limit - tokens) > i + kDistance) {
    const uint32_t t = tokens[i + kDistance];
    if (t < count) __builtin_prefetch(records + t);
  }
}

}  // namespace ombrel
