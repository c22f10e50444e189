// FieldTestPeer: what tests (and the weight-file fuzzer) may see of a field's insides.
//
// The field's public surface is what the module uses. Tests also read and plant record words, read
// the potentials directly and compare record addresses across a load; they do it through this peer,
// which the field names as a friend, so that no mutable accessor sits on the field's public surface.
#pragma once

#include <cstdint>

#include "ombrel/field.h"

namespace ombrel {

class FieldTestPeer final {
 public:
  // The record array (the owned block, or the mapped file's view after a load).
  static SensoryNeuron* records(const ThreadBoundedNeuronField& field) { return field.neurons_; }
  // How many records the field reaches through records(): always its sensory_count.
  static uint64_t record_count(const ThreadBoundedNeuronField& field) { return field.sensory_count_; }
  static const MotorPotentials& potentials(const ThreadBoundedNeuronField& field) {
    return field.potentials_;
  }
};

}  // namespace ombrel
