// ThreadBoundedNeuronField: the whole state of one classifier.
//
// Sensory records live in `storage_` (owned block or mapped weight file); `potentials_` holds one
// signed 32-bit potential per motor neuron.
//
// Thread-safety: after construction the members change only under exclusive access (load_weights,
// which the module layer guarantees runs alone on an instance). Every other operation may run on
// several threads at once. They share the records and the potentials word by word:
//   - potentials are read and written through std::atomic_ref<int32_t>; prediction adds with
//     fetch_add, reset stores, decay compare-exchanges;
//   - record words are read and written through std::atomic_ref with relaxed order; the per-record
//     `lock` word (acquire on take, release on give-back) orders a training step's writes against the
//     next training step on that record. Readers (prediction, introspection, saving) take no lock and
//     may observe a record part-way through an update, which is allowed.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ombrel/fault.h"
#include "ombrel/sensory_neuron.h"
#include "ombrel/storage.h"
#include "platform/io_error.h"

namespace ombrel {

namespace pool {
class ThreadPool;
}

// The motor potentials: a fixed-length, zero-filled array of 32-bit integers, owned by one field.
// Every access is one atomic operation through std::atomic_ref. Move-only: a move hands the array over
// and leaves the source empty.
class MotorPotentials final {
 public:
  // Throws std::bad_alloc if the array cannot be obtained.
  explicit MotorPotentials(uint64_t count);
  ~MotorPotentials() { std::free(values_); }
  MotorPotentials(const MotorPotentials&) = delete;
  MotorPotentials& operator=(const MotorPotentials&) = delete;
  MotorPotentials(MotorPotentials&& other) noexcept
      : count_(std::exchange(other.count_, 0)), values_(std::exchange(other.values_, nullptr)) {}
  MotorPotentials& operator=(MotorPotentials&& other) noexcept {
    if (this != &other) {
      std::free(values_);
      count_ = std::exchange(other.count_, 0);
      values_ = std::exchange(other.values_, nullptr);
    }
    return *this;
  }

  uint64_t size() const noexcept { return count_; }
  std::atomic_ref<int32_t> operator[](uint64_t i) const noexcept {
    return std::atomic_ref<int32_t>(values_[i]);
  }

 private:
  uint64_t count_;
  int32_t* values_;  // calloc'd, so a failed allocation is reported, never aborted on
};

// An allocator whose resize() leaves new elements uninitialised: a batch's token array is sized
// first and then written in full, so zero-filling it first would be a wasted pass over memory.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// A batch of token streams, flattened: stream i is tokens[offsets[i] .. offsets[i + 1]).
// `correct` is empty for a predict batch and holds one motor id per stream for a train batch.
struct TokenBatch {
  std::vector<uint32_t, UninitialisedAllocator<uint32_t>> tokens;
  std::vector<uint64_t> offsets{0};
  std::vector<uint32_t> correct;

  uint64_t size() const noexcept { return offsets.size() - 1; }
  std::span<const uint32_t> stream(uint64_t i) const noexcept {
    return {tokens.data() + offsets[i], tokens.data() + offsets[i + 1]};
  }
};

using Synapse = std::pair<uint32_t, int16_t>;

class ThreadBoundedNeuronField final {
 public:
  // Builds a fresh field: `motor_count` zero potentials, `sensory_count` zero records with their ids.
  // Throws InternalFault "capacity overflow", "Failed to create memory layout for
  // ThreadBoundedNeuronField: LayoutError" or "Failed to allocate memory for ThreadBoundedNeuronField";
  // std::bad_alloc when the potentials cannot be allocated.
  static ThreadBoundedNeuronField create(uint64_t sensory_count, uint64_t motor_count);

  ThreadBoundedNeuronField(ThreadBoundedNeuronField&&) noexcept = default;
  ThreadBoundedNeuronField& operator=(ThreadBoundedNeuronField&&) noexcept = default;
  ThreadBoundedNeuronField(const ThreadBoundedNeuronField&) = delete;
  ThreadBoundedNeuronField& operator=(const ThreadBoundedNeuronField&) = delete;

  // Adds the active tokens' weights into the shared potentials and answers the first motor id with
  // the highest potential. Throws InternalFault for a record with more than 8 synapses.
  uint32_t predict(std::span<const uint32_t> tokens);
  std::vector<int32_t> get_potentials() const;
  void reset_potentials() noexcept;

  // One training step (see train.cpp). Throws InternalFault for a record with more than 8 synapses.
  void train_stream(std::span<const uint32_t> tokens, uint32_t correct, int16_t amplify, int16_t suppress);

  // Scales every potential by `factor` (float32 arithmetic, saturating conversion back).
  void tick_decay(float factor) noexcept;

  // Isolated prediction of each stream on private sums, on the process-wide worker pool (created
  // by the first batch), or on `workers`.
  std::vector<uint32_t> predict_batch(const TokenBatch& batch) const;
  std::vector<uint32_t> predict_batch(const TokenBatch& batch, pool::ThreadPool& workers) const;
  // The training step for each (stream, correct) pair, on the worker pool.
  void train_batch(const TokenBatch& batch, int16_t amplify, int16_t suppress);
  void train_batch(const TokenBatch& batch, int16_t amplify, int16_t suppress, pool::ThreadPool& workers);

  // The (target, weight) pairs of one record in slot order; empty for ids >= sensory_count.
  std::vector<Synapse> get_neuron_synapses(uint32_t token_id) const;

  // Writes the records to `path` (persistence.cpp). The field is unchanged on failure.
  std::optional<platform::IoError> save_weights(const std::string& path) const;
  // Maps `path` as the field's records (persistence.cpp). The field is unchanged on failure.
  // REQUIRES: no other operation runs on this field meanwhile.
  std::optional<platform::IoError> load_weights(const std::string& path);

  uint64_t sensory_count() const noexcept { return sensory_count_; }
  uint64_t motor_count() const noexcept { return motor_count_; }
  bool is_mapped() const noexcept { return storage_.is_mapped(); }

 private:
  friend class FieldTestPeer;  // tests/cpp/field_test_peer.h

  ThreadBoundedNeuronField(Storage storage, MotorPotentials potentials, uint64_t sensory_count,
                           uint64_t motor_count);

  // Adds the weights of the stream's records (tokens below sensory_count) through add(motor, weight),
  // for synapses towards existing motors. A record whose synapse_count exceeds 8 has its first eight
  // slots added and then raises the synapse-index fault. `prefetch_limit` bounds the tokens that may
  // be looked at ahead of the stream (see prefetch_ahead); the stream's own end when nothing follows.
  template <std::size_t kPrefetchDistance, class Add>
  void accumulate(std::span<const uint32_t> tokens, const uint32_t* prefetch_limit, Add&& add) const;
  uint32_t predict_isolated(std::span<const uint32_t> tokens, int32_t* scratch,
                            const uint32_t* prefetch_limit) const;
  void train_tokens(std::span<const uint32_t> tokens, uint32_t correct, int16_t amplify, int16_t suppress,
                    const uint32_t* prefetch_limit);

  Storage storage_;
  SensoryNeuron* neurons_ = nullptr;  // storage_.records(): sensory_count_ records
  MotorPotentials potentials_;
  uint64_t sensory_count_ = 0;
  uint64_t motor_count_ = 0;
};

}  // namespace ombrel
