// Batches on the worker pool: order, equivalence with single-stream work, faults, concurrency.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "field_test_peer.h"
#include "ombrel/field.h"
#include "ombrel/record_access.h"
#include "pool/thread_pool.h"

namespace ombrel {
namespace {

TokenBatch random_batch(std::mt19937& rng, uint64_t items, uint32_t max_len, uint32_t sensory,
                        uint32_t motors) {
  TokenBatch batch;
  for (uint64_t i = 0; i < items; ++i) {
    const uint32_t len = rng() % (max_len + 1);
    for (uint32_t k = 0; k < len; ++k) batch.tokens.push_back(rng() % (sensory + 2));
    batch.offsets.push_back(batch.tokens.size());
    batch.correct.push_back(rng() % (motors + 1));
  }
  return batch;
}

TEST(Batch, PredictMatchesSingleStreamsInInputOrder) {
  std::mt19937 rng(7);
  auto field = ThreadBoundedNeuronField::create(500, 9);
  const TokenBatch training = random_batch(rng, 3000, 12, 500, 9);
  for (uint64_t i = 0; i < training.size(); ++i) {
    field.train_stream(training.stream(i), training.correct[i], static_cast<int16_t>(rng() % 50), 2);
  }
  const TokenBatch queries = random_batch(rng, 10000, 20, 500, 9);
  pool::ThreadPool workers(4);
  field.reset_potentials();
  const std::vector<uint32_t> winners = field.predict_batch(queries, workers);
  ASSERT_EQ(winners.size(), queries.size());
  EXPECT_EQ(field.get_potentials(), std::vector<int32_t>(9, 0));  // never touched
  for (uint64_t i = 0; i < queries.size(); ++i) {
    field.reset_potentials();
    ASSERT_EQ(winners[i], field.predict(queries.stream(i))) << i;
  }
}

TEST(Batch, EdgeShapes) {
  auto field = ThreadBoundedNeuronField::create(4, 3);
  pool::ThreadPool workers(2);
  EXPECT_TRUE(field.predict_batch(TokenBatch{}, workers).empty());
  TokenBatch empties;
  empties.offsets = {0, 0, 0};
  EXPECT_EQ(field.predict_batch(empties, workers), (std::vector<uint32_t>{0, 0}));
  // Negative sums on motor 1 lose to motor 0's zero.
  field.train_stream(std::vector<uint32_t>{1}, 1, -5, 0);
  TokenBatch one;
  one.tokens = {1};
  one.offsets = {0, 1};
  EXPECT_EQ(field.predict_batch(one, workers), std::vector<uint32_t>{0});
  auto no_motors = ThreadBoundedNeuronField::create(4, 0);
  EXPECT_EQ(no_motors.predict_batch(one, workers), std::vector<uint32_t>{0});
}

TEST(Batch, OneWorkerTrainingEqualsStreamTraining) {
  std::mt19937 rng(11);
  const TokenBatch batch = random_batch(rng, 5000, 15, 300, 7);
  auto batched = ThreadBoundedNeuronField::create(300, 7);
  auto streamed = ThreadBoundedNeuronField::create(300, 7);
  pool::ThreadPool one(1);
  batched.train_batch(batch, 9, 2, one);
  for (uint64_t i = 0; i < batch.size(); ++i) {
    streamed.train_stream(batch.stream(i), batch.correct[i], 9, 2);
  }
  EXPECT_EQ(std::memcmp(FieldTestPeer::records(batched), FieldTestPeer::records(streamed),
                        300 * sizeof(SensoryNeuron)),
            0);
}

TEST(Batch, FaultInOneItemReachesTheCallerAndOtherPartsFinish) {
  auto field = ThreadBoundedNeuronField::create(64, 4);
  for (uint32_t m = 0; m < 8; ++m) field.train_stream(std::vector<uint32_t>{5}, m, 1, 0);
  store_word(FieldTestPeer::records(field)[5].synapse_count, 9u);
  TokenBatch batch;
  for (uint32_t i = 0; i < 1000; ++i) {
    batch.tokens.push_back(i == 500 ? 5 : 10 + i % 50);
    batch.offsets.push_back(batch.tokens.size());
    batch.correct.push_back(1);
  }
  pool::ThreadPool workers(2);
  try {
    field.predict_batch(batch, workers);
    FAIL() << "no fault";
  } catch (const InternalFault& f) {
    EXPECT_STREQ(f.what(), "index out of bounds: the len is 8 but the index is 8");
  }
  try {
    field.train_batch(batch, 3, 1, workers);
    FAIL() << "no fault";
  } catch (const InternalFault& f) {
    EXPECT_STREQ(f.what(), "index out of bounds: the len is 8 but the index is 8");
  }
  EXPECT_EQ(load_word(FieldTestPeer::records(field)[5].lock), 0);
  // Items in the other half of the batch were trained.
  EXPECT_FALSE(field.get_neuron_synapses(10 + 999 % 50).empty());
  // The pool still works.
  batch.tokens[500] = 11;
  EXPECT_EQ(field.predict_batch(batch, workers).size(), 1000u);
}

TEST(Batch, ConcurrentCallersShareOnePool) {
  auto field = ThreadBoundedNeuronField::create(200, 5);
  std::mt19937 rng(3);
  const TokenBatch training = random_batch(rng, 2000, 10, 200, 5);
  field.train_batch(training, 5, 1);
  const TokenBatch queries = random_batch(rng, 3000, 10, 200, 5);
  const std::vector<uint32_t> expected = field.predict_batch(queries);
  std::vector<std::thread> callers;
  std::vector<int> mismatches(4, 0);
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&, c] {
      for (int r = 0; r < 5; ++r) mismatches[c] += field.predict_batch(queries) != expected;
    });
  }
  std::thread trainer([&] {
    auto other = ThreadBoundedNeuronField::create(200, 5);
    for (int r = 0; r < 5; ++r) other.train_batch(training, 3, 1);
  });
  for (auto& t : callers) t.join();
  trainer.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace ombrel
