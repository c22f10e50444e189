// libFuzzer target: arbitrary bytes as a weight file under a field.
//
// The input chooses the field's counts (the sensory count is taken from the file's length, give or
// take a record or two, so that too-short files are tried as well), some token streams, the deltas,
// and the file's bytes. The file lives in a memfd and is loaded through /proc/self/fd, so nothing
// touches the disk. Then every operation runs on the mapped records: introspection, prediction,
// batch prediction and training on small pools, decay, saving (to another file and, refused, onto
// the mapped file itself) and loading again.
//
// Expected outcomes: results, the I/O error for a too-short file, and the one internal fault that a
// record with more than eight synapses causes. Anything else aborts: a different fault, a wrong
// answer, or a sanitizer report. Answers are checked against the rules worked out on the raw bytes:
//   - introspection lists exactly the record's slots, or faults when it counts more than eight;
//   - every batch prediction equals a single prediction from reset potentials and the plain sum;
//   - a batch trained on a one-worker pool leaves the same bytes as training the items in order;
//   - a save writes exactly the mapped records, and a reload sees them unchanged.
// Lock words are cleared unless the input asks to keep them: a held lock word (any non-zero value,
// so nearly every random record) makes a save wait out its budget for held records (see
// persistence.cpp), far too slow for fuzzing; inputs that keep them skip the save.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "field_test_peer.h"  // tests/cpp
#include "ombrel/field.h"
#include "pool/thread_pool.h"

namespace {

using ombrel::FieldTestPeer;
using ombrel::InternalFault;
using ombrel::ThreadBoundedNeuronField;
using ombrel::TokenBatch;

constexpr const char* kTooManySynapses = "index out of bounds: the len is 8 but the index is 8";

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "weight file property broken: %s\n", what);
  std::abort();
}

void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

// Runs op(); true if it faulted with the too-many-synapses fault. Any other fault is a finding.
template <class Op>
bool faults(Op&& op) {
  try {
    op();
    return false;
  } catch (const InternalFault& fault) {
    if (fault.message() != kTooManySynapses) {
      std::fprintf(stderr, "unexpected internal fault: %s\n", fault.what());
      std::abort();
    }
    return true;
  }
}

// An anonymous in-memory file, reachable by path as /proc/self/fd/N.
class MemFile final {
 public:
  explicit MemFile(std::span<const uint8_t> bytes) : fd_(::memfd_create("weights", MFD_CLOEXEC)) {
    check(fd_ >= 0, "memfd_create works");
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      check(n > 0, "writing a memfd works");
      done += static_cast<std::size_t>(n);
    }
  }
  ~MemFile() { ::close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }
  std::vector<uint8_t> contents() const {
    std::vector<uint8_t> out(static_cast<std::size_t>(::lseek(fd_, 0, SEEK_END)));
    check(::pread(fd_, out.data(), out.size(), 0) == static_cast<ssize_t>(out.size()), "pread works");
    return out;
  }

 private:
  int fd_;
};

uint32_t u32_at(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

int16_t i16_at(const uint8_t* p) {
  int16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

std::vector<uint8_t> records_of(const ThreadBoundedNeuronField& field) {
  const auto* base = reinterpret_cast<const uint8_t*>(FieldTestPeer::records(field));
  return std::vector<uint8_t>(base, base + field.sensory_count() * ombrel::kRecordBytes);
}

// The winner of one stream by the rules, read from raw record bytes; nullopt when it must fault.
std::optional<uint32_t> reference_predict(const std::vector<uint8_t>& records, uint64_t sensory,
                                          uint64_t motors, std::span<const uint32_t> stream) {
  std::vector<uint32_t> sums(motors, 0);  // unsigned: wrapping addition
  for (const uint32_t t : stream) {
    if (t >= sensory) continue;
    const uint8_t* rec = records.data() + uint64_t{t} * 64;
    const uint32_t n = u32_at(rec + 4);
    for (uint32_t k = 0; k < std::min<uint32_t>(n, 8); ++k) {
      const uint32_t target = u32_at(rec + 8 + 4 * k);
      if (target < motors) sums[target] += static_cast<uint32_t>(int32_t{i16_at(rec + 40 + 2 * k)});
    }
    if (n > 8) return std::nullopt;
  }
  int32_t best = std::numeric_limits<int32_t>::min();
  uint32_t winner = 0;
  for (uint64_t m = 0; m < motors; ++m) {
    if (static_cast<int32_t>(sums[m]) > best) {
      best = static_cast<int32_t>(sums[m]);
      winner = static_cast<uint32_t>(m);
    }
  }
  return winner;
}

void check_introspection(const ThreadBoundedNeuronField& field, const std::vector<uint8_t>& records) {
  const uint64_t sensory = field.sensory_count();
  for (uint64_t t = 0; t < sensory; ++t) {
    const uint8_t* rec = records.data() + t * 64;
    const uint32_t n = u32_at(rec + 4);
    std::vector<ombrel::Synapse> got;
    const bool faulted = faults([&] { got = field.get_neuron_synapses(static_cast<uint32_t>(t)); });
    check(faulted == (n > 8), "introspection faults exactly on a record counting more than 8");
    if (faulted) continue;
    check(got.size() == n, "introspection lists synapse_count pairs");
    for (uint32_t k = 0; k < n; ++k) {
      check(got[k].first == u32_at(rec + 8 + 4 * k) && got[k].second == i16_at(rec + 40 + 2 * k),
            "introspection lists the record's slots in order");
    }
  }
  if (sensory <= UINT32_MAX) {
    check(field.get_neuron_synapses(static_cast<uint32_t>(sensory)).empty(),
          "an id at sensory_count has no synapses");
  }
  check(field.get_neuron_synapses(UINT32_MAX).empty(), "the largest id has no synapses");
}

ombrel::pool::ThreadPool& one_worker() {
  static ombrel::pool::ThreadPool pool(1);
  return pool;
}

ombrel::pool::ThreadPool& two_workers() {
  static ombrel::pool::ThreadPool pool(2);
  return pool;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool keep_locks = input.ConsumeBool();
  const uint64_t motors = input.ConsumeIntegralInRange<uint64_t>(0, 80);
  const int sensory_delta = input.ConsumeIntegralInRange<int>(-1, 1);
  const int16_t amplify = input.ConsumeIntegral<int16_t>();
  const int16_t suppress = input.ConsumeIntegral<int16_t>();
  const float decay = input.ConsumeFloatingPoint<float>();
  const std::size_t stream_count = input.ConsumeIntegralInRange<std::size_t>(0, 6);
  // Streams are drawn before the file, so their ids are bounded by a guess of the record count.
  const uint32_t id_bound = input.ConsumeIntegralInRange<uint32_t>(0, 70);
  TokenBatch batch;
  for (std::size_t i = 0; i < stream_count; ++i) {
    const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, 10);
    for (std::size_t k = 0; k < length; ++k) {
      batch.tokens.push_back(input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>()
                                                 : input.ConsumeIntegralInRange<uint32_t>(0, id_bound));
    }
    batch.offsets.push_back(batch.tokens.size());
    batch.correct.push_back(input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>()
                                                : input.ConsumeIntegralInRange<uint32_t>(0, 8));
  }
  std::vector<uint8_t> bytes = input.ConsumeRemainingBytes<uint8_t>();
  const uint64_t file_records = bytes.size() / 64;
  const uint64_t sensory =
      sensory_delta < 0 && file_records == 0 ? 0 : file_records + static_cast<uint64_t>(sensory_delta);
  bool held_locks = false;
  for (uint64_t r = 0; r < file_records; ++r) {
    if (!keep_locks) std::memset(&bytes[r * 64 + 56], 0, 4);
    held_locks = held_locks || u32_at(&bytes[r * 64 + 56]) != 0;
  }

  MemFile file(bytes);
  ThreadBoundedNeuronField field = ThreadBoundedNeuronField::create(sensory, motors);
  const auto loaded = field.load_weights(file.path());
  if (sensory * 64 > bytes.size()) {
    check(loaded.has_value() && loaded->kind == ombrel::platform::IoErrorKind::kInvalidData,
          "a file shorter than the field is refused as invalid data");
    check(!field.is_mapped() && field.get_neuron_synapses(0).empty(), "a refused load changes nothing");
    return 0;
  }
  check(!loaded.has_value(), "a long enough file loads");
  check(field.is_mapped() && FieldTestPeer::record_count(field) == sensory,
        "a loaded field maps sensory_count records");

  std::vector<uint8_t> records = records_of(field);
  check(std::equal(records.begin(), records.end(), bytes.begin()), "the mapped records are the file's bytes");
  check_introspection(field, records);

  // Predictions: batch, single from reset potentials, and the plain rules must agree.
  std::vector<uint32_t> winners;
  const bool batch_faulted = faults([&] { winners = field.predict_batch(batch, one_worker()); });
  bool any_faulted = false;
  for (uint64_t i = 0; i < batch.size(); ++i) {
    const auto expected = reference_predict(records, sensory, motors, batch.stream(i));
    field.reset_potentials();
    uint32_t single = 0;
    const bool faulted = faults([&] { single = field.predict(batch.stream(i)); });
    check(faulted == !expected.has_value(), "prediction faults exactly on a record counting more than 8");
    any_faulted = any_faulted || faulted;
    if (!faulted) {
      check(single == *expected, "prediction answers the first maximum of the sums");
      if (!batch_faulted) check(winners[i] == single, "a batch predicts each stream like a single call");
    }
  }
  check(batch_faulted == any_faulted, "a batch faults exactly when one of its streams does");
  check(records_of(field) == records, "prediction writes no record");
  field.tick_decay(decay);
  check(field.get_potentials().size() == motors, "there is one potential per motor");

  // Training: a one-worker batch against the same items trained in order on a copy of the file.
  MemFile copy(records);
  ThreadBoundedNeuronField twin = ThreadBoundedNeuronField::create(sensory, motors);
  check(!twin.load_weights(copy.path()).has_value(), "the copy loads");
  bool sequential_faulted = false;
  for (uint64_t i = 0; i < batch.size() && !sequential_faulted; ++i) {
    sequential_faulted =
        faults([&] { twin.train_stream(batch.stream(i), batch.correct[i], amplify, suppress); });
  }
  const bool trained_faulted = faults([&] { field.train_batch(batch, amplify, suppress, one_worker()); });
  check(trained_faulted == sequential_faulted,
        "a one-worker batch faults exactly when training in order does");
  if (!trained_faulted) {
    check(records_of(field) == records_of(twin), "a one-worker batch trains like the items in order");
  }
  if (!held_locks) {
    for (uint64_t r = 0; r < sensory; ++r) {
      check(FieldTestPeer::records(field)[r].lock == 0,
            "training gives every lock back, also when it faults");
    }
  }
  faults([&] { field.train_batch(batch, amplify, suppress, two_workers()); });
  check_introspection(field, records_of(field));

  if (held_locks) return 0;
  // Saving: onto the mapped file it is refused (an empty file has no view, so nothing protects it
  // and nothing needs protecting), elsewhere it writes exactly the records.
  records = records_of(field);
  const std::vector<uint8_t> mapped_before = file.contents();
  if (!mapped_before.empty()) {
    check(field.save_weights(file.path()).has_value(), "saving over the field's own mapped file is refused");
    check(file.contents() == mapped_before, "a refused save leaves the mapped file as it was");
  }
  MemFile saved({});
  check(!field.save_weights(saved.path()).has_value(), "saving to a fresh file works");
  check(saved.contents() == records, "a save writes exactly the records");

  // Loading again: the saved file under the twin, and the field's own file under itself.
  check(!twin.load_weights(saved.path()).has_value(), "a saved file loads");
  check(records_of(twin) == records, "a reload sees the saved records");
  check(!field.load_weights(file.path()).has_value(), "a field may load the file it maps already");
  check(records_of(field) == records, "reloading the same file keeps the records");
  return 0;
}
