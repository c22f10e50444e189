// The Python surface of OmbrelField, one declaration per method, in the order of the class's method
// table: its name, its parameters, how it holds the receiver, whether the engine work runs with the
// interpreter lock released, its docstring, and the engine call behind it. method_wrapper.h turns each
// into a method-table entry; the stub (ombrel.pyi) is checked against what they produce (the tests
// compare its names, parameters and docstrings with the module's).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lib/convert.h"
#include "lib/method_wrapper.h"
#include "ombrel/field.h"
#include "platform/io_error.h"

namespace ombrel::lib::field_methods {

using platform::IoError;
using Field = ThreadBoundedNeuronField;

struct Predict {
  static constexpr const char* kName = "predict";
  static constexpr std::array kParams{"sensory_tokens"};
  static constexpr Borrow kBorrow = Borrow::kShared;
  static constexpr Lock kLock = Lock::kReleased;
  static constexpr const char* kDoc =
      "Predict\n"
      "Evaluates the active sensory tokens synchronously on the calling thread,\n"
      "adding their weights directly to the motor potentials.\n"
      "This is extremely fast and perfect for batch evaluation.";
  static uint32_t run(Field& field, const TokenVector& sensory_tokens) {
    return field.predict(sensory_tokens.span());
  }
};

struct PredictBatch {
  static constexpr const char* kName = "predict_batch";
  static constexpr std::array kParams{"batch_tokens"};
  static constexpr Borrow kBorrow = Borrow::kShared;
  static constexpr Lock kLock = Lock::kReleased;
  static constexpr const char* kDoc =
      "Predict Batch\n"
      "Evaluates a batch of sensory token streams in parallel on the worker pool, each on private "
      "potentials, and returns one motor id per stream in input order.";
  static std::vector<uint32_t> run(Field& field, const PredictBatchArgument& batch_tokens) {
    return field.predict_batch(batch_tokens.batch);
  }
};

struct TickDecay {
  static constexpr const char* kName = "tick_decay";
  static constexpr std::array kParams{"decay_factor"};
  static constexpr Borrow kBorrow = Borrow::kShared;
  static constexpr Lock kLock = Lock::kReleased;
  static constexpr const char* kDoc =
      "Tick Decay\n"
      "Exposes your prototype's background metabolic forgetting clock straight to the Python loop.";
  static void run(Field& field, float decay_factor) { field.tick_decay(decay_factor); }
};

struct TrainStream {
  static constexpr const char* kName = "train_stream";
  static constexpr std::array kParams{"sensory_tokens", "correct_motor_id", "amplify_delta",
                                      "suppress_delta"};
  static constexpr Borrow kBorrow = Borrow::kShared;
  static constexpr Lock kLock = Lock::kReleased;
  static constexpr const char* kDoc =
      "Train Stream\n"
      "Trains active sensory tokens to target a specific correct motor neuron ID.";
  static void run(Field& field, const TokenVector& sensory_tokens, uint32_t correct_motor_id,
                  int16_t amplify_delta, int16_t suppress_delta) {
    field.train_stream(sensory_tokens.span(), correct_motor_id, amplify_delta, suppress_delta);
  }
};

struct TrainBatch {
  static constexpr const char* kName = "train_batch";
  static constexpr std::array kParams{"batch", "amplify_delta", "suppress_delta"};
  static constexpr Borrow kBorrow = Borrow::kShared;
  static constexpr Lock kLock = Lock::kReleased;
  static constexpr const char* kDoc =
      "Train Batch\n"
      "Trains a batch of (sensory_tokens, correct_motor_id) in parallel on the worker pool, with the "
      "same amplify and suppress deltas for every item.";
  static void run(Field& field, const TrainBatchArgument& batch, int16_t amplify_delta,
                  int16_t suppress_delta) {
    field.train_batch(batch.batch, amplify_delta, suppress_delta);
  }
};

struct ResetPotentials {
  static constexpr const char* kName = "reset_potentials";
  static constexpr std::array<const char*, 0> kParams{};
  static constexpr Borrow kBorrow = Borrow::kShared;
  static constexpr Lock kLock = Lock::kReleased;
  static constexpr const char* kDoc =
      "Reset Potentials\n"
      "Resets all motor neuron potentials to zero.";
  static void run(Field& field) { field.reset_potentials(); }
};

struct GetPotentials {
  static constexpr const char* kName = "get_potentials";
  static constexpr std::array<const char*, 0> kParams{};
  static constexpr Borrow kBorrow = Borrow::kShared;
  static constexpr Lock kLock = Lock::kReleased;
  static constexpr const char* kDoc =
      "Get Potentials\n"
      "Returns the current potentials of all motor neurons.";
  static std::vector<int32_t> run(Field& field) { return field.get_potentials(); }
};

struct GetNeuronSynapses {
  static constexpr const char* kName = "get_neuron_synapses";
  static constexpr std::array kParams{"token_id"};
  static constexpr Borrow kBorrow = Borrow::kShared;
  // Held: the work is a handful of loads, cheaper than giving the lock up and taking it back.
  static constexpr Lock kLock = Lock::kHeld;
  static constexpr const char* kDoc =
      "Get Neuron Synapses\n"
      "Introspection method to read the explicit synaptic weights of a sensory neuron.\n"
      "Returns a list of (target_motor_id, weight) tuples.";
  static std::vector<Synapse> run(Field& field, uint32_t token_id) {
    return field.get_neuron_synapses(token_id);
  }
};

struct SaveWeights {
  static constexpr const char* kName = "save_weights";
  static constexpr std::array kParams{"path"};
  static constexpr Borrow kBorrow = Borrow::kShared;
  static constexpr Lock kLock = Lock::kReleased;
  static constexpr const char* kDoc =
      "Save Weights\n"
      "Serializes and saves the sensory neurons' raw memory to a binary file.";
  static std::optional<IoError> run(Field& field, const std::string& path) {
    return field.save_weights(path);
  }
};

struct LoadWeights {
  static constexpr const char* kName = "load_weights";
  static constexpr std::array kParams{"path"};
  // Exclusive: the load replaces the records under every other call, so none may be running.
  static constexpr Borrow kBorrow = Borrow::kExclusive;
  static constexpr Lock kLock = Lock::kReleased;
  static constexpr const char* kDoc =
      "Load Weights\n"
      "Loads and memory-maps the sensory neurons' connections from a binary file for zero-copy "
      "access.";
  static std::optional<IoError> run(Field& field, const std::string& path) {
    return field.load_weights(path);
  }
};

// The constructor OmbrelField(sensory_count, motor_count) and the class docstring. Not a method: it
// runs without a receiver and with the interpreter lock held (field_type.cpp).
struct Construct {
  static constexpr const char* kName = "__new__";
  static constexpr std::array kParams{"sensory_count", "motor_count"};
  static constexpr const char* kDoc =
      "OmbrelField\n"
      "The main Neuromorphic Cortex class exposed directly to Python runtimes.";
};

}  // namespace ombrel::lib::field_methods
