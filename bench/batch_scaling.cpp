// Engine scaling of both batch kinds with 1 and 2 workers, measured in one run.
//
//   cmake -S . -B build/bench -DOMBREL_BUILD_MODULE=OFF -DOMBREL_BUILD_BENCH=ON
//   cmake --build build/bench -j && build/bench/bench/batch_scaling
//
// Batch: 200,000 streams of 20 tokens on a field of 100,000 sensory and 16 motor neurons, token ids
// drawn from a Zipf-like distribution (as words are), the field pre-trained so that records are full.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "ombrel/field.h"
#include "pool/thread_pool.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kSensory = 100'000;
constexpr uint32_t kMotors = 16;
constexpr uint64_t kStreams = 200'000;
constexpr uint32_t kTokens = 20;

ombrel::TokenBatch make_batch(std::mt19937_64& rng) {
  // Zipf(1) over the vocabulary by inverse transform of the harmonic CDF approximation.
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const double h = std::log(static_cast<double>(kSensory)) + 0.5772;
  ombrel::TokenBatch batch;
  batch.tokens.reserve(kStreams * kTokens);
  for (uint64_t i = 0; i < kStreams; ++i) {
    for (uint32_t k = 0; k < kTokens; ++k) {
      const double r = std::exp(u(rng) * h - 0.5772);
      batch.tokens.push_back(std::min<uint32_t>(kSensory - 1, static_cast<uint32_t>(r)));
    }
    batch.offsets.push_back(batch.tokens.size());
    batch.correct.push_back(static_cast<uint32_t>(rng() % kMotors));
  }
  return batch;
}

template <class F>
double best_seconds(int repeats, F&& f) {
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    const auto start = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main() {
  std::mt19937_64 rng(42);
  const ombrel::TokenBatch batch = make_batch(rng);
  auto field = ombrel::ThreadBoundedNeuronField::create(kSensory, kMotors);
  ombrel::pool::ThreadPool one(1);
  ombrel::pool::ThreadPool two(2);
  field.train_batch(batch, 7, 1, two);  // fill the records

  const double tokens = static_cast<double>(batch.tokens.size());
  double predict[2], train[2];
  ombrel::pool::ThreadPool* pools[2] = {&one, &two};
  for (int p = 0; p < 2; ++p) {
    predict[p] = best_seconds(5, [&] { field.predict_batch(batch, *pools[p]); });
    train[p] = best_seconds(5, [&] { field.train_batch(batch, 7, 1, *pools[p]); });
  }
  std::printf("batch: %llu streams x %u tokens, %u sensory, %u motor neurons\n",
              static_cast<unsigned long long>(kStreams), kTokens, kSensory, kMotors);
  std::printf("%-14s %10s %12s %10s\n", "kind", "workers", "ms", "Mtokens/s");
  for (int p = 0; p < 2; ++p) {
    std::printf("%-14s %10d %12.2f %10.1f\n", "predict_batch", p + 1, predict[p] * 1e3,
                tokens / predict[p] / 1e6);
  }
  for (int p = 0; p < 2; ++p) {
    std::printf("%-14s %10d %12.2f %10.1f\n", "train_batch", p + 1, train[p] * 1e3, tokens / train[p] / 1e6);
  }
  std::printf("speed-up with 2 workers: predict_batch %.2fx, train_batch %.2fx (goal >= 1.7x)\n",
              predict[0] / predict[1], train[0] / train[1]);
  return 0;
}
