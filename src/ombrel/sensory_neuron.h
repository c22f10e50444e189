// The 64-byte record of one sensory neuron: the same bytes in memory and in a weight file.
//
// Records are shared between threads without a field-wide lock. Every access to a record word goes
// through std::atomic_ref (see record_access.h); the plain struct exists for layout and for code that
// owns a record exclusively (construction, tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace ombrel {

inline constexpr uint32_t kMaxSynapses = 8;
inline constexpr std::size_t kRecordBytes = 64;

struct alignas(64) SensoryNeuron {
  uint32_t id;             // the record's own index, written once at construction; never read
  uint32_t synapse_count;  // valid slots, 0..8 (a loaded file may hold more)
  uint32_t targets[kMaxSynapses];
  int16_t weights[kMaxSynapses];
  int32_t lock;  // training try-lock: 0 free, anything else held
  uint8_t padding[4];
};

static_assert(sizeof(SensoryNeuron) == kRecordBytes);
static_assert(alignof(SensoryNeuron) == 64);
static_assert(std::is_trivially_copyable_v<SensoryNeuron>);
static_assert(std::is_standard_layout_v<SensoryNeuron>);
static_assert(offsetof(SensoryNeuron, id) == 0);
static_assert(offsetof(SensoryNeuron, synapse_count) == 4);
static_assert(offsetof(SensoryNeuron, targets) == 8);
static_assert(offsetof(SensoryNeuron, weights) == 40);
static_assert(offsetof(SensoryNeuron, lock) == 56);
static_assert(offsetof(SensoryNeuron, padding) == 60);

}  // namespace ombrel
