// Construction, prediction, the potentials, decay and introspection of a field.
#include "ombrel/field.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>

#include "ombrel/fixed_texts.h"
#include "ombrel/record_access.h"

namespace ombrel {
namespace {

// The largest potentials array that can be described: motor_count * 4 <= 2^63 - 4.
constexpr uint64_t kMaxMotorCount = (uint64_t{1} << 61) - 1;
// The largest record block: sensory_count * 64 <= 2^63 - 64.
constexpr uint64_t kMaxSensoryCount = (uint64_t{1} << 57) - 1;

// Prediction sums into a stack array first and then publishes one atomic addition per motor, instead
// of one per synapse. Wrapping addition is associative and commutative, so every addition still lands
// exactly once; only the moment at which other threads see it moves to the end of the call.
constexpr uint64_t kLocalSumLimit = 64;

[[noreturn]] void fault_synapse_index() {
  throw InternalFault(fixed_text::kSynapseIndexFault);
}

int32_t wrap_add(int32_t a, int32_t b) noexcept {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// The one accumulation routine: adds a record's synapses towards existing motors (targets below
// `motors`) through add(motor, weight) and returns its synapse_count; at most the first eight slots
// are read. A full record's slots are added without loop control; a shorter one's in a loop over its
// valid slots only. (Always doing eight steps, with the unused slots sent to spare sums, was tried
// and lost: on sparsely trained records the extra work per token leaves fewer record loads in flight
// at once.)
template <class Add>
inline uint32_t accumulate_record(const SensoryNeuron& rec, uint64_t motors, Add& add) noexcept {
  const uint32_t n = load_word(rec.synapse_count);
  auto add_slot = [&](uint32_t k) {
    const uint32_t m = load_word(rec.targets[k]);
    if (m < motors) add(m, load_word(rec.weights[k]));
  };
  if (n >= kMaxSynapses) {
    // Full records, the common case for the frequent tokens of a trained field: no loop control.
    add_slot(0);
    add_slot(1);
    add_slot(2);
    add_slot(3);
    add_slot(4);
    add_slot(5);
    add_slot(6);
    add_slot(7);
  } else {
    for (uint32_t k = 0; k < n; ++k) add_slot(k);
  }
  return n;
}

// The first index of the strictly greatest value; 0 when empty or all values are INT32_MIN.
template <class Read>
uint32_t first_max(uint64_t count, Read&& read) noexcept {
  int32_t best = std::numeric_limits<int32_t>::min();
  uint64_t winner = 0;
  for (uint64_t i = 0; i < count; ++i) {
    // Selects instead of branching: which potential leads changes from stream to stream, and a
    // mispredicted branch per motor is a large part of a short stream's cost.
    const int32_t v = read(i);
    const bool better = v > best;
    best = better ? v : best;
    winner = better ? i : winner;
  }
  return static_cast<uint32_t>(winner);
}

int32_t decayed(int32_t v, float factor) noexcept {
  const float y = static_cast<float>(v) * factor;
  if (std::isnan(y)) return 0;
  if (y >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  if (y <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(y);  // truncation towards zero
}

}  // namespace

MotorPotentials::MotorPotentials(uint64_t count)
    : count_(count),
      values_(count == 0 ? nullptr : static_cast<int32_t*>(std::calloc(count, sizeof(int32_t)))) {
  if (count != 0 && values_ == nullptr) throw std::bad_alloc();
}

ThreadBoundedNeuronField::ThreadBoundedNeuronField(Storage storage, MotorPotentials potentials,
                                                   uint64_t sensory_count, uint64_t motor_count)
    : storage_(std::move(storage)),
      neurons_(storage_.records()),
      potentials_(std::move(potentials)),
      sensory_count_(sensory_count),
      motor_count_(motor_count) {}

ThreadBoundedNeuronField ThreadBoundedNeuronField::create(uint64_t sensory_count, uint64_t motor_count) {
  if (motor_count > kMaxMotorCount) throw InternalFault(fixed_text::kCapacityOverflowFault);
  if (sensory_count > kMaxSensoryCount) {
    throw InternalFault(fixed_text::kLayoutFault);
  }
  // Only now: a field that cannot be laid out must not first allocate and zero its potentials.
  MotorPotentials potentials(motor_count);
  Storage storage = Storage::owned(sensory_count);
  return ThreadBoundedNeuronField(std::move(storage), std::move(potentials), sensory_count, motor_count);
}

template <std::size_t kPrefetchDistance, class Add>
void ThreadBoundedNeuronField::accumulate(std::span<const uint32_t> tokens, const uint32_t* prefetch_limit,
                                          Add&& add) const {
  const uint64_t motors = motor_count_;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    prefetch_ahead<kPrefetchDistance>(neurons_, sensory_count_, tokens.data(), prefetch_limit, i);
    const uint32_t t = tokens[i];
    if (t >= sensory_count_) continue;
    if (accumulate_record(neurons_[t], motors, add) > kMaxSynapses) fault_synapse_index();
  }
}

uint32_t ThreadBoundedNeuronField::predict(std::span<const uint32_t> tokens) {
  const uint32_t* prefetch_limit = tokens.data() + tokens.size();
  const MotorPotentials& potentials = potentials_;
  const uint64_t motors = motor_count_;

  if (motors <= kLocalSumLimit) {
    // Published on every way out, a fault included: the additions made before it stay, as they
    // would with one atomic addition per synapse.
    struct LocalSums {
      const MotorPotentials& potentials;
      uint64_t motors;
      int32_t values[kLocalSumLimit] = {};
      ~LocalSums() {
        for (uint64_t m = 0; m < motors; ++m) {
          if (values[m] != 0) potentials[m].fetch_add(values[m], std::memory_order_relaxed);
        }
      }
    } sums{potentials, motors};
    accumulate<kPrefetchDistance>(
        tokens, prefetch_limit, [&](uint32_t m, int16_t w) { sums.values[m] = wrap_add(sums.values[m], w); });
  } else {
    accumulate<kPrefetchDistance>(tokens, prefetch_limit, [&](uint32_t m, int16_t w) {
      potentials[m].fetch_add(w, std::memory_order_relaxed);
    });
  }
  return first_max(motors, [&](uint64_t i) { return potentials[i].load(std::memory_order_relaxed); });
}

uint32_t ThreadBoundedNeuronField::predict_isolated(std::span<const uint32_t> tokens, int32_t* scratch,
                                                    const uint32_t* prefetch_limit) const {
  const uint64_t motors = motor_count_;
  for (uint64_t m = 0; m < motors; ++m) scratch[m] = 0;
  accumulate<kBatchPredictPrefetchDistance>(
      tokens, prefetch_limit, [&](uint32_t m, int16_t w) { scratch[m] = wrap_add(scratch[m], w); });
  return first_max(motors, [&](uint64_t i) { return scratch[i]; });
}

std::vector<int32_t> ThreadBoundedNeuronField::get_potentials() const {
  const MotorPotentials& potentials = potentials_;
  std::vector<int32_t> out;
  out.reserve(motor_count_);
  for (uint64_t i = 0; i < motor_count_; ++i) {
    out.push_back(potentials[i].load(std::memory_order_relaxed));
  }
  return out;
}

void ThreadBoundedNeuronField::reset_potentials() noexcept {
  const MotorPotentials& potentials = potentials_;
  for (uint64_t i = 0; i < motor_count_; ++i) potentials[i].store(0, std::memory_order_relaxed);
}

void ThreadBoundedNeuronField::tick_decay(float factor) noexcept {
  const MotorPotentials& potentials = potentials_;
  for (uint64_t i = 0; i < motor_count_; ++i) {
    // A compare-exchange instead of a plain store: an addition that a concurrent prediction makes
    // between the load and the store is then never lost; the loop recomputes from the new value.
    int32_t v = potentials[i].load(std::memory_order_relaxed);
    while (v != 0 && !potentials[i].compare_exchange_weak(v, decayed(v, factor), std::memory_order_relaxed,
                                                          std::memory_order_relaxed)) {
    }
  }
}

std::vector<Synapse> ThreadBoundedNeuronField::get_neuron_synapses(uint32_t token_id) const {
  std::vector<Synapse> out;
  if (token_id >= sensory_count_) return out;
  const SensoryNeuron& rec = neurons_[token_id];
  const uint32_t n = load_word(rec.synapse_count);
  for (uint32_t k = 0; k < n; ++k) {
    if (k >= kMaxSynapses) fault_synapse_index();
    out.emplace_back(load_word(rec.targets[k]), load_word(rec.weights[k]));
  }
  return out;
}

}  // namespace ombrel
