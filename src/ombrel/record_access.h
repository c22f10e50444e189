// Word-level access to records shared between threads.
//
// Records may be read by prediction, introspection and saving while a training step on another thread
// (or another process, for a mapped file) writes them. Each word is therefore read and written whole,
// through std::atomic_ref. Relaxed order is enough for the data words: readers are allowed to see a
// record part-way through an update, and the training steps on one record are ordered by its `lock`
// word (acquire on take, release on give-back), which publishes the previous holder's writes.
#pragma once

#include <atomic>
#include <cstdint>

#include "sensory_neuron.h"

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
inline bool try_lock_record(SensoryNeuron& record) noexcept {
  int32_t expected = 0;
  return std::atomic_ref<int32_t>(record.lock)
      .compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
}

inline void unlock_record(SensoryNeuron& record) noexcept {
  std::atomic_ref<int32_t>(record.lock).exchange(0, std::memory_order_release);
}

}  // namespace ombrel
