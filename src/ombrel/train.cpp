// Stream training: one step strengthens each active record's synapse towards the correct motor
// neuron and weakens its other synapses, with saturating 16-bit arithmetic.
//
// A record is changed only while its `lock` word is held (try-lock; a held record is skipped, never
// waited for), so two steps never modify one record at once. Readers take no lock and may see a
// record mid-update; every word is therefore written whole through std::atomic_ref.
#include <algorithm>
#include <cstdint>

#include "ombrel/field.h"
#include "ombrel/fixed_texts.h"
#include "ombrel/record_access.h"

namespace ombrel {
namespace {

int16_t sat_add(int16_t w, int16_t d) noexcept {
  return static_cast<int16_t>(std::clamp<int32_t>(int32_t{w} + d, -32768, 32767));
}

int16_t sat_sub(int16_t w, int16_t d) noexcept {
  return static_cast<int16_t>(std::clamp<int32_t>(int32_t{w} - d, -32768, 32767));
}

// |w| as an unsigned 16-bit number: the magnitude of -32768 is 32768, the largest.
uint16_t magnitude(int16_t w) noexcept {
  return static_cast<uint16_t>(w < 0 ? -int32_t{w} : int32_t{w});
}

class RecordLock final {
 public:
  explicit RecordLock(SensoryNeuron& record) noexcept : record_(record) {}
  ~RecordLock() { unlock_record(record_); }  // also while a fault unwinds
  RecordLock(const RecordLock&) = delete;
  RecordLock& operator=(const RecordLock&) = delete;

 private:
  SensoryNeuron& record_;
};

[[noreturn]] void fault_synapse_index() {
  throw InternalFault(fixed_text::kSynapseIndexFault);
}

// REQUIRES: the caller holds rec's lock.
void train_record(SensoryNeuron& rec, uint32_t correct, int16_t amplify, int16_t suppress) {
  uint32_t n = load_word(rec.synapse_count);
  uint32_t found = kMaxSynapses;
  for (uint32_t k = 0; k < n; ++k) {
    if (k >= kMaxSynapses) fault_synapse_index();  // before any change to this record
    if (load_word(rec.targets[k]) == correct) {
      found = k;
      break;
    }
  }

  if (found < kMaxSynapses) {
    store_word(rec.weights[found], sat_add(load_word(rec.weights[found]), amplify));
  } else if (n < kMaxSynapses) {
    store_word(rec.targets[n], correct);
    store_word(rec.weights[n], amplify);
    store_word(rec.synapse_count, n + 1);
    ++n;
  } else {
    uint32_t weakest = 0;
    uint16_t smallest = magnitude(load_word(rec.weights[0]));
    for (uint32_t k = 1; k < kMaxSynapses; ++k) {
      const uint16_t m = magnitude(load_word(rec.weights[k]));
      if (m < smallest) {
        smallest = m;
        weakest = k;
      }
    }
    store_word(rec.targets[weakest], correct);
    store_word(rec.weights[weakest], amplify);
  }

  for (uint32_t k = 0; k < n; ++k) {
    if (k >= kMaxSynapses) fault_synapse_index();  // after the first eight slots were handled
    if (load_word(rec.targets[k]) != correct) {
      store_word(rec.weights[k], sat_sub(load_word(rec.weights[k]), suppress));
    }
  }
}

}  // namespace

void ThreadBoundedNeuronField::train_stream(std::span<const uint32_t> tokens, uint32_t correct,
                                            int16_t amplify, int16_t suppress) {
  train_tokens(tokens, correct, amplify, suppress, tokens.data() + tokens.size());
}

void ThreadBoundedNeuronField::train_tokens(std::span<const uint32_t> tokens, uint32_t correct,
                                            int16_t amplify, int16_t suppress,
                                            const uint32_t* prefetch_limit) {
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    prefetch_ahead(neurons_, sensory_count_, tokens.data(), prefetch_limit, i);
    const uint32_t t = tokens[i];
    if (t >= sensory_count_) continue;
    SensoryNeuron& rec = neurons_[t];
    if (!try_lock_record(rec)) continue;
    RecordLock held(rec);
    train_record(rec, correct, amplify, suppress);
  }
}

}  // namespace ombrel
