// Batches on the process-wide worker pool.
//
// The index range of a batch is divided over the pool (for_each_range); each undivided part
// processes its items in ascending order on the thread that runs it. Predict items read records
// without their locks and sum into private scratch arrays; train items run the ordinary training
// step, whose per-record try-lock is the only synchronisation between them.
#include <memory>

#include "ombrel/field.h"
#include "ombrel/worker_pool.h"
#include "pool/thread_pool.h"

namespace ombrel {

std::vector<uint32_t> ThreadBoundedNeuronField::predict_batch(const TokenBatch& batch) const {
  return predict_batch(batch, worker_pool());  // created on the first batch, also an empty one
}

std::vector<uint32_t> ThreadBoundedNeuronField::predict_batch(const TokenBatch& batch,
                                                              pool::ThreadPool& workers) const {
  const uint64_t n = batch.size();
  // Reserved once at its final length; each entry is written once, by the thread of its stream.
  std::vector<uint32_t> winners(n);
  pool::for_each_range(workers, n, [&](uint64_t begin, uint64_t end) {
    // One scratch array per part, cleared for each stream: the same private sums as one fresh
    // array per stream, without an allocation per stream.
    const uint32_t* part_end = batch.tokens.data() + batch.offsets[end];
    std::unique_ptr<int32_t[]> scratch(new int32_t[motor_count_ == 0 ? 1 : motor_count_]);
    for (uint64_t i = begin; i < end; ++i) {
      winners[i] = predict_isolated(batch.stream(i), scratch.get(), part_end);
    }
  });
  return winners;
}

void ThreadBoundedNeuronField::train_batch(const TokenBatch& batch, int16_t amplify, int16_t suppress) {
  train_batch(batch, amplify, suppress, worker_pool());
}

void ThreadBoundedNeuronField::train_batch(const TokenBatch& batch, int16_t amplify, int16_t suppress,
                                           pool::ThreadPool& workers) {
  pool::for_each_range(workers, batch.size(), [&](uint64_t begin, uint64_t end) {
    const uint32_t* part_end = batch.tokens.data() + batch.offsets[end];
    for (uint64_t i = begin; i < end; ++i) {
      train_tokens(batch.stream(i), batch.correct[i], amplify, suppress, part_end);
    }
  });
}

}  // namespace ombrel
