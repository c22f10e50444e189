// Saving a field's records to a weight file, and mapping a weight file back under a field.
//
// A weight file is the record array itself: sensory_count x 64 bytes, no header, the bytes exactly as
// they lie in memory (lock word and padding included).
//
// Saving while other threads train. Training changes a record only while it holds the record's lock
// word, and it never waits for a held lock (it skips the record). A save only reads the field: it
// never takes a lock word, so it cannot leave one behind (a process killed during a save of a mapped
// field leaves its file exactly as it was) and it dirties no page of a mapped file. It copies the
// records into a 64 KiB staging buffer, one chunk at a time, and writes each chunk:
//   1. For each record of the chunk, an optimistic read: see its lock word free (acquire), copy its
//      words, then, kSettledReads - 1 times, see the lock word free again (acquire, after an acquire
//      fence) and read the words again; the copy is kept only when every read equals it and the lock
//      word is still free after the last. The acquire pairs with the release store with which the
//      last training step gave the lock back (unlock_record), so the first copy starts from a state
//      some training step left behind. A step that starts meanwhile makes its lock store visible
//      before any of its record writes (a release fence after taking the lock, record_access.h): a
//      read that saw any of its writes then sees the lock held, or, once the step has given the lock
//      back, the next read sees all its writes and differs. What no reader can tell without the
//      writer's help is a record that later steps return to exactly the same half-way words while it
//      is read again (the same kind of step, from the same state, each time): every read of a kept
//      copy would have to land inside such a step. Training moves weights by +amplify on one synapse
//      and -suppress on the others, so exact returns need amplify = (n - 1) x suppress for a record of
//      n synapses (amplify = suppress on two, say); three agreeing reads make even those vanishingly
//      rare. A kept copy is a state that existed, short of that.
//   2. Records that were held or changing are tried again after the pass: a few rounds with a yield
//      in between, then with short sleeps until the save's waiting deadline. The deadline is set
//      kHeldRecordBudget after the first sleep of the save and is shared by all chunks, so a save
//      waits at most that long in total, however many records stay held.
//   3. A record still held or changing after that is told by what it did while the save waited. One
//      whose words never moved is held by a training step that will never give it back (a process
//      killed while it held the record, in a mapped file: its lock stays 1 forever, since nothing
//      clears it): it is copied as it stands, its lock word kept, as the file it came from had it.
//      One whose words moved is held by live steps: on a loaded machine, a record trained without
//      pause by two threads can stay unsettled for the whole budget. Its lock word is never written
//      (a file that kept it would freeze the record in every process that maps it): the save goes on
//      trying it for up to kLiveRecordBudget more, and if it still never settles, copies its words
//      as they stand with the lock word free, at worst one step torn. Every word is still read whole
//      through std::atomic_ref, so these copies are free of data races. A training step holds a
//      lock for well under a microsecond, so the budget is sized for a loaded machine's scheduling
//      delays; it is paid in full only by saves of fields that carry a lock word of 1 or that train
//      one record without pause.
// The file is never read back and nothing is flushed; close() reports what the system reports.
//
// Saving onto a file that a live field in this process maps would truncate the pages under that field.
// The save refuses instead, before it has changed the file: it checks the live-mapping registry and
// truncates while holding the registry's lock (see platform/live_mappings.h).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "ombrel/field.h"
#include "ombrel/record_access.h"
#include "platform/file_mapping.h"
#include "platform/live_mappings.h"
#include "platform/writable_file.h"

namespace ombrel {
namespace {

using platform::IoError;
using platform::IoErrorKind;

constexpr uint64_t kStagingRecords = (64 * 1024) / kRecordBytes;
constexpr int kHeldRecordYieldRounds = 8;
constexpr auto kHeldRecordSleep = std::chrono::milliseconds(1);
constexpr auto kHeldRecordBudget = std::chrono::milliseconds(200);
constexpr auto kLiveRecordBudget = std::chrono::seconds(2);
constexpr auto kHeldRecordWatch = std::chrono::milliseconds(50);
// Reads of a record that must agree before its copy is kept (step 1 above).
constexpr int kSettledReads = 3;

// When the save stops waiting for held records; starts counting at the first wait.
class WaitDeadline final {
 public:
  explicit WaitDeadline(std::chrono::milliseconds budget = kHeldRecordBudget) : budget_(budget) {}
  bool passed() {
    const auto now = std::chrono::steady_clock::now();
    if (!deadline_) deadline_ = now + budget_;
    return now >= *deadline_;
  }

 private:
  std::chrono::milliseconds budget_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
};

// Copies every word of `source` with relaxed atomic loads: other threads may be reading it (fine with
// any order), and a training step may be writing it.
void copy_words(const SensoryNeuron& source, SensoryNeuron& copy) noexcept {
  copy.id = load_word(source.id);
  copy.synapse_count = load_word(source.synapse_count);
  for (uint32_t k = 0; k < kMaxSynapses; ++k) copy.targets[k] = load_word(source.targets[k]);
  for (uint32_t k = 0; k < kMaxSynapses; ++k) copy.weights[k] = load_word(source.weights[k]);
  copy.lock = load_word(source.lock);
  for (std::size_t i = 0; i < sizeof source.padding; ++i) {
    copy.padding[i] = load_word(source.padding[i]);
  }
}

bool lock_free(const SensoryNeuron& record) noexcept {
  return std::atomic_ref<int32_t>(const_cast<int32_t&>(record.lock)).load(std::memory_order_acquire) == 0;
}

// Copies `source` as some training step left it (step 1 above), without writing to it; false when it
// was held or changed while being read (then `copy` holds nothing useful).
bool copy_settled(const SensoryNeuron& source, SensoryNeuron& copy) noexcept {
  if (!lock_free(source)) return false;
  copy_words(source, copy);
  if (copy.lock != 0) return false;
  for (int read = 1; read < kSettledReads; ++read) {
    std::atomic_thread_fence(std::memory_order_acquire);
    if (!lock_free(source)) return false;
    SensoryNeuron check;
    copy_words(source, check);
    if (std::memcmp(&copy, &check, sizeof copy) != 0) return false;
  }
  std::atomic_thread_fence(std::memory_order_acquire);
  return lock_free(source);
}

// Fills `staging` with copies of `records` (steps 1 to 3 above). `held` is scratch space.
void copy_chunk(const SensoryNeuron* records, uint64_t count, SensoryNeuron* staging,
                std::vector<uint32_t>& held, WaitDeadline& deadline, WaitDeadline& live_deadline) {
  held.clear();
  for (uint64_t i = 0; i < count; ++i) {
    if (!copy_settled(records[i], staging[i])) held.push_back(static_cast<uint32_t>(i));
  }
  if (held.empty()) return;
  // What each unsettled record held when first seen so: a record whose words later differ has a live
  // holder (step 3).
  std::vector<SensoryNeuron> first_seen(count);
  for (const uint32_t i : held) copy_words(records[i], first_seen[i]);
  std::vector<uint8_t> moved(count, 0);

  auto retry_held = [&] {
    std::erase_if(held, [&](uint32_t i) {
      if (copy_settled(records[i], staging[i])) return true;
      if (!moved[i]) {
        SensoryNeuron now;
        copy_words(records[i], now);
        moved[i] = std::memcmp(&now, &first_seen[i], sizeof now) != 0;
      }
      return false;
    });
  };
  for (int round = 0; round < kHeldRecordYieldRounds && !held.empty(); ++round) {
    std::this_thread::yield();
    retry_held();
  }
  // Watched for at least kHeldRecordWatch, even once the save's deadline has passed, before a
  // record's still words say its holder is gone.
  const auto watched_until = std::chrono::steady_clock::now() + kHeldRecordWatch;
  while (!held.empty() && (!deadline.passed() || std::chrono::steady_clock::now() < watched_until)) {
    std::this_thread::sleep_for(kHeldRecordSleep);
    retry_held();
  }
  // Held by a step that never gives it back: as it stands, lock word included.
  std::erase_if(held, [&](uint32_t i) {
    if (moved[i]) return false;
    copy_words(records[i], staging[i]);
    return true;
  });
  while (!held.empty() && !live_deadline.passed()) {
    std::this_thread::sleep_for(kHeldRecordSleep);
    retry_held();
  }
  for (const uint32_t i : held) {  // live holders that never let it settle: never their lock word
    copy_words(records[i], staging[i]);
    staging[i].lock = 0;
  }
}

std::string too_short_message(uint64_t file_bytes, uint64_t sensory_count, uint64_t needed) {
  return "weight file is too short: " + std::to_string(file_bytes) + " bytes, but a field of " +
         std::to_string(sensory_count) + (sensory_count == 1 ? " sensory neuron" : " sensory neurons") +
         " needs " + std::to_string(needed) + " bytes";
}

}  // namespace

std::optional<IoError> ThreadBoundedNeuronField::save_weights(const std::string& path) const {
  auto opened = platform::WritableFile::open_for_save(path);
  if (!opened.ok()) return std::move(opened.error());
  platform::WritableFile& file = opened.value();

  // Every failure below closes the file (ignoring a close error: the first error is the one reported).
  auto fail = [&file](IoError error) {
    file.close();
    return std::optional<IoError>(std::move(error));
  };

  {
    const platform::LiveMappings::Guard live = platform::LiveMappings::lock();
    if (live.contains(file.identity())) {
      return fail(platform::own_error(
          IoErrorKind::kOther, "cannot save over a weight file that is memory-mapped by a live field"));
    }
    if (auto error = file.truncate()) return fail(std::move(*error));
  }

  if (sensory_count_ != 0) {
    const uint64_t chunk_records = std::min(sensory_count_, kStagingRecords);
    const auto staging = std::make_unique<SensoryNeuron[]>(chunk_records);
    std::vector<uint32_t> held;
    held.reserve(chunk_records);
    WaitDeadline deadline;
    WaitDeadline live_deadline(kLiveRecordBudget);

    for (uint64_t begin = 0; begin < sensory_count_; begin += chunk_records) {
      const uint64_t count = std::min(chunk_records, sensory_count_ - begin);
      copy_chunk(neurons_ + begin, count, staging.get(), held, deadline, live_deadline);
      const auto bytes = std::as_bytes(std::span(staging.get(), count));
      if (auto error = file.write_all(bytes)) return fail(std::move(*error));
    }
  }
  return file.close();
}

std::optional<IoError> ThreadBoundedNeuronField::load_weights(const std::string& path) {
  auto opened = platform::FileMapping::open(path);
  if (!opened.ok()) return std::move(opened.error());
  platform::FileMapping& mapping = opened.value();

  // The field reaches records 0 .. sensory_count - 1 through the view; a shorter file would let those
  // accesses run past its end. sensory_count < 2^57, so the product cannot overflow.
  const uint64_t needed = sensory_count_ * kRecordBytes;
  if (mapping.size() < needed) {
    return platform::own_error(IoErrorKind::kInvalidData,
                               too_short_message(mapping.size(), sensory_count_, needed));
  }  // `mapping` unmaps itself here; the field is untouched

  // The move-assignment releases the old storage (freeing the block or unmapping the old view) only
  // after the new one is in place, so a field may load the very file it maps already.
  storage_ = Storage::mapped(std::move(mapping));
  neurons_ = storage_.records();
  return std::nullopt;
}

}  // namespace ombrel
