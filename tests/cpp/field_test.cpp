// Engine tests for construction, prediction, training, decay and introspection.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "field_test_peer.h"
#include "ombrel/field.h"
#include "ombrel/record_access.h"

namespace ombrel {
namespace {

using Tokens = std::vector<uint32_t>;

std::string fault_text(auto&& fn) {
  try {
    fn();
  } catch (const InternalFault& f) {
    return f.message();
  }
  return "<no fault>";
}

TEST(FieldConstruction, FreshRecordsAreZeroExceptIds) {
  auto field = ThreadBoundedNeuronField::create(300, 4);
  ASSERT_EQ(FieldTestPeer::record_count(field), 300u);
  for (uint32_t i = 0; i < 300; ++i) {
    SensoryNeuron expected{};
    expected.id = i;
    ASSERT_EQ(std::memcmp(&FieldTestPeer::records(field)[i], &expected, sizeof expected), 0) << i;
  }
  EXPECT_EQ(reinterpret_cast<uintptr_t>(FieldTestPeer::records(field)) % 64, 0u);
  EXPECT_EQ(field.get_potentials(), std::vector<int32_t>(4, 0));
}

TEST(FieldConstruction, FaultsNameTheFailedStep) {
  EXPECT_NO_THROW(ThreadBoundedNeuronField::create(0, 0));
  EXPECT_EQ(fault_text([] { ThreadBoundedNeuronField::create(1, uint64_t{1} << 62); }), "capacity overflow");
  // The potentials are checked first, so an impossible motor count wins over a bad layout.
  EXPECT_EQ(fault_text([] { ThreadBoundedNeuronField::create(uint64_t{1} << 57, uint64_t{1} << 61); }),
            "capacity overflow");
  EXPECT_EQ(fault_text([] { ThreadBoundedNeuronField::create(uint64_t{1} << 57, 1); }),
            "Failed to create memory layout for ThreadBoundedNeuronField: LayoutError");
  EXPECT_EQ(fault_text([] { ThreadBoundedNeuronField::create((uint64_t{1} << 57) - 1, 1); }),
            "Failed to allocate memory for ThreadBoundedNeuronField");
}

TEST(Prediction, SumsWeightsAndBreaksTiesLow) {
  auto field = ThreadBoundedNeuronField::create(10, 6);
  EXPECT_EQ(field.predict(Tokens{}), 0u);
  EXPECT_EQ(field.predict(Tokens{1, 2, 3}), 0u);  // no synapses yet
  field.train_stream(Tokens{1}, 5, 10, 0);
  field.train_stream(Tokens{2}, 2, 10, 0);
  field.reset_potentials();
  EXPECT_EQ(field.predict(Tokens{1, 2}), 2u);  // 2 and 5 tie at 10
  EXPECT_EQ(field.get_potentials(), (std::vector<int32_t>{0, 0, 10, 0, 0, 10}));
  EXPECT_EQ(field.predict(Tokens{1, 1, 99}), 5u);  // repeats count; 99 is out of range
  EXPECT_EQ(field.get_potentials(), (std::vector<int32_t>{0, 0, 10, 0, 0, 30}));
}

TEST(Prediction, WrapsAndSkipsForeignTargets) {
  auto field = ThreadBoundedNeuronField::create(2, 2);
  field.train_stream(Tokens{0}, 1, 32767, 0);
  field.train_stream(Tokens{0}, 7, 5, 0);  // target beyond motor_count: listed, never counted
  field.reset_potentials();
  // Accumulate up to near INT32_MAX, then one more addition wraps.
  for (int i = 0; i < 65540; ++i) field.predict(Tokens{0});
  const int64_t expected = (int64_t{32767} * 65540) % (int64_t{1} << 32);
  const auto wrapped = static_cast<int32_t>(static_cast<uint32_t>(expected));
  EXPECT_EQ(field.get_potentials()[1], wrapped);
  EXPECT_LT(wrapped, 0);
}

TEST(Prediction, SlotsBeyondTheCountAreIgnored) {
  // A record from a file may carry stale targets and weights past synapse_count.
  auto field = ThreadBoundedNeuronField::create(3, 4);
  SensoryNeuron& rec = FieldTestPeer::records(field)[1];
  for (uint32_t k = 0; k < kMaxSynapses; ++k) {
    store_word(rec.targets[k], k % 4);
    store_word(rec.weights[k], static_cast<int16_t>(100 * (k + 1)));
  }
  store_word(rec.targets[1], 9u);  // names no motor
  store_word(rec.synapse_count, 3u);
  field.reset_potentials();
  EXPECT_EQ(field.predict(Tokens{1, 2}), 2u);
  EXPECT_EQ(field.get_potentials(), (std::vector<int32_t>{100, 0, 300, 0}));
  TokenBatch batch;
  batch.tokens = {1, 1, 2, 1};
  batch.offsets = {0, 2, 3, 4};
  EXPECT_EQ(field.predict_batch(batch), (std::vector<uint32_t>{2, 0, 2}));
  store_word(rec.synapse_count, 0u);
  EXPECT_EQ(field.predict_batch(batch), (std::vector<uint32_t>{0, 0, 0}));
}

TEST(Prediction, BrokenCountFaultsAfterEightSlotsAndKeepsSums) {
  auto field = ThreadBoundedNeuronField::create(2, 3);
  for (uint32_t m = 0; m < 8; ++m) field.train_stream(Tokens{1}, m % 3, 1, 0);
  store_word(FieldTestPeer::records(field)[1].synapse_count, 9u);
  field.train_stream(Tokens{0}, 2, 4, 0);
  field.reset_potentials();
  EXPECT_EQ(fault_text([&] {
              field.predict(Tokens{0, 1});
            }),
            "index out of bounds: the len is 8 but the index is 8");
  // Token 0 and the first eight slots of token 1 have landed.
  auto potentials = field.get_potentials();
  EXPECT_EQ(potentials[0] + potentials[1] + potentials[2], 4 + 8);
}

// Fields of more than 64 motor neurons add each synapse straight into the shared potentials instead
// of summing on the stack first; the answers, the wrapping, the skipped targets, the fault after eight
// slots and the exactness under concurrent callers must be the same as for small fields.
TEST(Prediction, ManyMotorsAddStraightIntoThePotentials) {
  constexpr uint32_t kMotors = 100;
  auto field = ThreadBoundedNeuronField::create(20, kMotors);
  field.train_stream(Tokens{3}, 70, 10, 0);
  field.train_stream(Tokens{3}, 90, 25, 2);  // 70 drops to 8
  field.train_stream(Tokens{4}, 99, 5, 0);
  field.train_stream(Tokens{4}, 150, 7, 0);  // target beyond motor_count: listed, never counted
  field.train_stream(Tokens{5}, 65, 40, 0);
  field.reset_potentials();
  EXPECT_EQ(field.predict(Tokens{3, 4, 3, 1000}), 90u);
  std::vector<int32_t> expected(kMotors, 0);
  expected[70] = 16;
  expected[90] = 50;
  expected[99] = 5;
  EXPECT_EQ(field.get_potentials(), expected);
  // 65 reaches 40, below 90's 50; a second call on 5 ties them at 80 and the lower id wins.
  EXPECT_EQ(field.predict(Tokens{5}), 90u);
  EXPECT_EQ(field.predict(Tokens{5, 3}), 65u);
  EXPECT_EQ(field.get_potentials()[65], 80);
  EXPECT_EQ(field.get_potentials()[90], 75);

  TokenBatch batch;
  batch.tokens = {3, 4, 5, 4, 4};
  batch.offsets = {0, 2, 3, 5};
  EXPECT_EQ(field.predict_batch(batch), (std::vector<uint32_t>{90, 65, 99}));

  // A record with a broken count: token 3's two synapses and token 6's first eight slots land,
  // then the fault ends the call.
  for (uint32_t m = 0; m < 8; ++m) field.train_stream(Tokens{6}, 80 + m, 1, 0);
  store_word(FieldTestPeer::records(field)[6].synapse_count, 9u);
  field.reset_potentials();
  EXPECT_EQ(fault_text([&] {
              field.predict(Tokens{3, 6, 4});
            }),
            "index out of bounds: the len is 8 but the index is 8");
  expected.assign(kMotors, 0);
  expected[70] = 8;
  expected[90] = 25;
  for (uint32_t m = 0; m < 8; ++m) expected[80 + m] = 1;
  EXPECT_EQ(field.get_potentials(), expected);
}

TEST(Concurrency, ManyMotorsConcurrentPredictionsLoseNoAddition) {
  constexpr uint32_t kMotors = 130;
  auto field = ThreadBoundedNeuronField::create(8, kMotors);
  for (uint32_t t = 0; t < 8; ++t) {
    for (uint32_t k = 0; k < kMaxSynapses; ++k) field.train_stream(Tokens{t}, t * 16 + k, 3, 0);
  }
  field.reset_potentials();
  constexpr int kThreads = 4;
  constexpr int kCalls = 2000;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      for (int c = 0; c < kCalls; ++c) field.predict(Tokens{0, 1, 2, 3, 4, 5, 6, 7});
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::vector<int32_t> potentials = field.get_potentials();
  for (uint32_t m = 0; m < kMotors; ++m) {
    EXPECT_EQ(potentials[m], m < 128 && m % 16 < 8 ? 3 * kThreads * kCalls : 0) << "motor " << m;
  }
}

TEST(Training, WorkedExample) {
  auto field = ThreadBoundedNeuronField::create(3, 20);
  // (7, 100), (2, 50) -> (7, 110), (2, 47)
  field.train_stream(Tokens{0}, 7, 100, 0);
  field.train_stream(Tokens{0}, 2, 50, 0);
  field.train_stream(Tokens{0}, 7, 10, 3);
  EXPECT_EQ(field.get_neuron_synapses(0), (std::vector<Synapse>{{7, 110}, {2, 47}}));
  // (2, 50) -> (2, 47), (7, 10): the new synapse is not suppressed in its own step.
  field.train_stream(Tokens{1}, 2, 50, 0);
  field.train_stream(Tokens{1}, 7, 10, 3);
  EXPECT_EQ(field.get_neuron_synapses(1), (std::vector<Synapse>{{2, 47}, {7, 10}}));
  // A full record replaces its first weakest slot.
  const int16_t weights[8] = {5, -4, 9, 4, 30, 30, 30, 30};
  for (uint32_t k = 0; k < 8; ++k) field.train_stream(Tokens{2}, 11 + k, weights[k], 0);
  field.train_stream(Tokens{2}, 7, 10, 3);
  EXPECT_EQ(
      field.get_neuron_synapses(2),
      (std::vector<Synapse>{{11, 2}, {7, 10}, {13, 6}, {14, 1}, {15, 27}, {16, 27}, {17, 27}, {18, 27}}));
}

TEST(Training, SaturatesAndRanksMinus32768AsLargest) {
  auto field = ThreadBoundedNeuronField::create(2, 20);
  field.train_stream(Tokens{0}, 1, 32760, 0);
  field.train_stream(Tokens{0}, 1, 10, 0);
  field.train_stream(Tokens{0}, 2, -32767, 0);
  field.train_stream(Tokens{0}, 1, 0, 3);  // suppress 2 by 3: saturates at -32768
  EXPECT_EQ(field.get_neuron_synapses(0), (std::vector<Synapse>{{1, 32767}, {2, -32768}}));
  // Negative suppress of -32768 lifts every other weight to min(w + 32768, 32767).
  field.train_stream(Tokens{0}, 1, 0, -32768);
  EXPECT_EQ(field.get_neuron_synapses(0), (std::vector<Synapse>{{1, 32767}, {2, 0}}));

  // Seven slots of -32768 and one of 32767: the 32767 slot is the weakest and is replaced.
  for (uint32_t k = 0; k < 7; ++k) field.train_stream(Tokens{1}, k, -32768, 0);
  field.train_stream(Tokens{1}, 7, 32767, 0);
  field.train_stream(Tokens{1}, 9, 1, 0);
  EXPECT_EQ(field.get_neuron_synapses(1)[7], (Synapse{9, 1}));
  // All eight at -32768 (magnitude 32768): slot 0 goes.
  auto all_min = ThreadBoundedNeuronField::create(1, 1);
  for (uint32_t k = 0; k < 8; ++k) all_min.train_stream(Tokens{0}, k, -32768, 0);
  all_min.train_stream(Tokens{0}, 42, 0, 0);
  EXPECT_EQ(all_min.get_neuron_synapses(0)[0], (Synapse{42, 0}));
}

TEST(Training, SkipsHeldAndOutOfRangeRecords) {
  auto field = ThreadBoundedNeuronField::create(3, 4);
  store_word(FieldTestPeer::records(field)[1].lock, 1);
  field.train_stream(Tokens{1, 3, 4000000000u, 2}, 0, 5, 1);
  EXPECT_TRUE(field.get_neuron_synapses(1).empty());
  EXPECT_EQ(field.get_neuron_synapses(2), (std::vector<Synapse>{{0, 5}}));
  EXPECT_EQ(load_word(FieldTestPeer::records(field)[1].lock), 1);  // nothing clears a stuck lock
  EXPECT_EQ(load_word(FieldTestPeer::records(field)[2].lock), 0);
}

TEST(Training, BrokenCountFaultsWithLockGivenBack) {
  auto field = ThreadBoundedNeuronField::create(3, 10);
  for (uint32_t m = 0; m < 8; ++m) field.train_stream(Tokens{1}, m, 10, 0);
  store_word(FieldTestPeer::records(field)[1].synapse_count, 9u);
  // Correct id in the first eight slots: amplified and the others suppressed, then the fault.
  EXPECT_EQ(fault_text([&] {
              field.train_stream(Tokens{0, 1, 2}, 3, 5, 1);
            }),
            "index out of bounds: the len is 8 but the index is 8");
  EXPECT_EQ(load_word(FieldTestPeer::records(field)[1].lock), 0);
  EXPECT_EQ(load_word(FieldTestPeer::records(field)[1].weights[3]), 15);
  EXPECT_EQ(load_word(FieldTestPeer::records(field)[1].weights[0]), 9);
  EXPECT_EQ(field.get_neuron_synapses(0).size(), 1u);  // trained before the fault
  EXPECT_TRUE(field.get_neuron_synapses(2).empty());   // never reached
  // Correct id absent: the record is left untouched.
  EXPECT_EQ(fault_text([&] { field.train_stream(Tokens{1}, 99, 5, 1); }),
            "index out of bounds: the len is 8 but the index is 8");
  EXPECT_EQ(load_word(FieldTestPeer::records(field)[1].weights[0]), 9);
  EXPECT_EQ(fault_text([&] { field.get_neuron_synapses(1); }),
            "index out of bounds: the len is 8 but the index is 8");
}

TEST(Decay, Float32ArithmeticAndSaturation) {
  struct Case {
    int32_t v;
    float factor;
    int32_t expected;
  };
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {
      {1000, 0.5f, 500},
      {-7, 0.5f, -3},
      {3, 0.25f, 0},
      {2000000000, 2.0f, 2147483647},
      {-2000000000, 2.0f, -2147483648},
      {5, nan, 0},
      {5, -1.0f, -5},
      {16777217, 1.0f, 16777216},
      {7, inf, 2147483647},
      {-7, inf, -2147483648},
      {9, -0.0f, 0},
      {-2147483647 - 1, 1.0f, -2147483647 - 1},
      {-2147483647 - 1, -1.0f, 2147483647},
  };
  for (const Case& c : cases) {
    auto field = ThreadBoundedNeuronField::create(0, 2);
    FieldTestPeer::potentials(field)[0].store(c.v);
    FieldTestPeer::potentials(field)[1].store(0);
    field.tick_decay(c.factor);
    EXPECT_EQ(field.get_potentials(), (std::vector<int32_t>{c.expected, 0})) << c.v << " * " << c.factor;
  }
  auto empty = ThreadBoundedNeuronField::create(0, 0);
  empty.tick_decay(0.5f);
  EXPECT_TRUE(empty.get_potentials().empty());
}

// Decay races with predictions on the same potentials: with the compare-exchange update no addition
// is lost. Factor 1 keeps small values unchanged, so the final sum is exact.
TEST(Concurrency, DecayNeverLosesConcurrentAdditions) {
  auto field = ThreadBoundedNeuronField::create(1, 1);
  field.train_stream(Tokens{0}, 0, 1, 0);
  field.reset_potentials();
  constexpr int kPredictions = 20000;
  std::atomic<bool> stop{false};
  std::thread decayer([&] {
    while (!stop.load(std::memory_order_relaxed)) field.tick_decay(1.0f);
  });
  std::vector<std::thread> predictors;
  for (int t = 0; t < 2; ++t) {
    predictors.emplace_back([&] {
      for (int i = 0; i < kPredictions; ++i) field.predict(Tokens{0});
    });
  }
  for (auto& t : predictors) t.join();
  stop = true;
  decayer.join();
  EXPECT_EQ(field.get_potentials()[0], 2 * kPredictions);
}

// Training, prediction, decay and introspection on one field from several threads. Under
// ThreadSanitizer this checks that every shared word is accessed atomically; in any build it checks
// that records stay well formed.
TEST(Concurrency, MixedOperationsKeepRecordsWellFormed) {
  constexpr uint32_t kSensory = 64;
  auto field = ThreadBoundedNeuronField::create(kSensory, 12);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      uint32_t x = 12345 + t;
      for (int i = 0; i < 4000; ++i) {
        Tokens tokens;
        for (int k = 0; k < 6; ++k) {
          x = x * 1103515245 + 12345;
          tokens.push_back((x >> 8) % (kSensory + 4));
        }
        field.train_stream(tokens, (x >> 4) % 14, static_cast<int16_t>(x % 200), 3);
      }
    });
  }
  threads.emplace_back([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      field.predict(Tokens{1, 2, 3, 4, 5, 6, 7, 8});
      field.tick_decay(0.5f);
      for (uint32_t id = 0; id < kSensory; ++id) {
        ASSERT_LE(field.get_neuron_synapses(id).size(), kMaxSynapses);
      }
    }
  });
  for (int t = 0; t < 3; ++t) threads[t].join();
  stop = true;
  threads.back().join();
  for (uint32_t id = 0; id < kSensory; ++id) {
    const SensoryNeuron& rec = FieldTestPeer::records(field)[id];
    EXPECT_LE(load_word(rec.synapse_count), kMaxSynapses);
    EXPECT_EQ(load_word(rec.lock), 0);
    EXPECT_EQ(load_word(rec.id), id);
  }
}

}  // namespace
}  // namespace ombrel
