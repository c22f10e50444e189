// Saving a field to a weight file and mapping a weight file back under a field.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "field_test_peer.h"
#include "file_test_support.h"
#include "ombrel/field.h"
#include "ombrel/record_access.h"

namespace ombrel {
namespace {

// Stops and joins a test's threads however the test leaves it: a failed ASSERT returns at once, and a
// std::thread destroyed while still joinable would abort the whole test binary.
class StopAndJoin final {
 public:
  StopAndJoin(std::atomic<bool>& stop, std::vector<std::thread>& threads) : stop_(stop), threads_(threads) {}
  StopAndJoin(const StopAndJoin&) = delete;
  StopAndJoin& operator=(const StopAndJoin&) = delete;
  ~StopAndJoin() {
    stop_.store(true, std::memory_order_relaxed);
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  std::atomic<bool>& stop_;
  std::vector<std::thread>& threads_;
};

using ombrel::testing::mapping_count;
using ombrel::testing::open_fd_count;
using ombrel::testing::read_bytes;
using ombrel::testing::TempDir;
using ombrel::testing::write_bytes;
using platform::IoErrorKind;

using Bytes = std::vector<uint8_t>;

// The field's records as bytes. REQUIRES: no other thread changes the field meanwhile.
Bytes record_bytes(const ThreadBoundedNeuronField& field) {
  const auto* begin = reinterpret_cast<const uint8_t*>(FieldTestPeer::records(field));
  return Bytes(begin, begin + field.sensory_count() * kRecordBytes);
}

void save_ok(const ThreadBoundedNeuronField& field, const std::string& path) {
  const auto error = field.save_weights(path);
  ASSERT_FALSE(error.has_value()) << error->message;
}

void load_ok(ThreadBoundedNeuronField& field, const std::string& path) {
  const auto error = field.load_weights(path);
  ASSERT_FALSE(error.has_value()) << error->message;
}

// A field trained on a deterministic pseudo-random stream of examples.
ThreadBoundedNeuronField trained_field(uint64_t sensory, uint64_t motors, int steps, uint32_t seed) {
  auto field = ThreadBoundedNeuronField::create(sensory, motors);
  std::mt19937 rng(seed);
  std::vector<uint32_t> tokens;
  for (int i = 0; i < steps; ++i) {
    tokens.clear();
    for (int k = 0; k < 5; ++k) tokens.push_back(rng() % static_cast<uint32_t>(sensory + 2));
    field.train_stream(tokens, rng() % static_cast<uint32_t>(motors + 1), 7, 2);
  }
  return field;
}

struct FieldSnapshot {
  const SensoryNeuron* neurons;
  uint64_t record_count;
  bool mapped;
  Bytes records;
  std::vector<int32_t> potentials;
};

FieldSnapshot snapshot(const ThreadBoundedNeuronField& field) {
  return {FieldTestPeer::records(field), FieldTestPeer::record_count(field), field.is_mapped(),
          record_bytes(field), field.get_potentials()};
}

void expect_unchanged(const ThreadBoundedNeuronField& field, const FieldSnapshot& before) {
  EXPECT_EQ(FieldTestPeer::records(field), before.neurons);
  EXPECT_EQ(FieldTestPeer::record_count(field), before.record_count);
  EXPECT_EQ(field.is_mapped(), before.mapped);
  EXPECT_EQ(record_bytes(field), before.records);
  EXPECT_EQ(field.get_potentials(), before.potentials);
}

TEST(WeightFileFormatTest, FreshFieldSavesOnlyTheIds) {
  TempDir dir;
  const auto field = ThreadBoundedNeuronField::create(2, 3);
  save_ok(field, dir.file("w.bin"));
  Bytes expected(128, 0);
  expected[64] = 1;
  EXPECT_EQ(read_bytes(dir.file("w.bin")), expected);
}

TEST(WeightFileFormatTest, TrainedRecordBytesAreLittleEndianInPlace) {
  TempDir dir;
  auto once = ThreadBoundedNeuronField::create(1, 4);
  const uint32_t zero[] = {0};
  once.train_stream(zero, 3, 5, 1);
  save_ok(once, dir.file("once.bin"));
  Bytes expected(64, 0);
  expected[4] = 1;   // synapse_count
  expected[8] = 3;   // targets[0]
  expected[40] = 5;  // weights[0]
  EXPECT_EQ(read_bytes(dir.file("once.bin")), expected);

  auto field = ThreadBoundedNeuronField::create(1, 4);
  field.train_stream(zero, 7, -2, 0);   // slot 0: (7, -2)
  field.train_stream(zero, 258, 1, 0);  // slot 1: (258, 1); suppress 0 keeps slot 0 at -2
  save_ok(field, dir.file("w.bin"));
  const Bytes file = read_bytes(dir.file("w.bin"));
  ASSERT_EQ(file.size(), 64u);
  EXPECT_EQ(file[4], 2);
  EXPECT_EQ(file[40], 0xFE);
  EXPECT_EQ(file[41], 0xFF);
  EXPECT_EQ(Bytes(file.begin() + 12, file.begin() + 16), (Bytes{0x02, 0x01, 0x00, 0x00}));
  EXPECT_EQ(file[56], 0) << "the lock word the save took must not reach the file";
}

TEST(SaveTest, SavedLengthIsExactlyTheRecordsWhateverWasThere) {
  TempDir dir;
  const std::string path = dir.file("w.bin");
  write_bytes(path, Bytes(1000, 0xEE));
  save_ok(ThreadBoundedNeuronField::create(0, 5), path);
  EXPECT_TRUE(read_bytes(path).empty()) << "an empty field must cut an existing file to 0";

  write_bytes(path, Bytes(1000, 0xEE));
  const auto field = trained_field(3, 4, 20, 1);
  save_ok(field, path);
  EXPECT_EQ(read_bytes(path), record_bytes(field));

  // Many chunks of the staging buffer, with a partial last chunk.
  const auto big = trained_field(2500, 9, 3000, 2);
  save_ok(big, path);
  EXPECT_EQ(read_bytes(path), record_bytes(big));
}

TEST(RoundTripTest, LoadedFieldHoldsTheSameBytesAndPredictsTheSame) {
  TempDir dir;
  const std::string path = dir.file("w.bin");
  auto original = trained_field(50, 6, 400, 4);
  save_ok(original, path);

  auto loaded = ThreadBoundedNeuronField::create(50, 6);
  load_ok(loaded, path);
  EXPECT_TRUE(loaded.is_mapped());
  EXPECT_EQ(FieldTestPeer::record_count(loaded), 50u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(FieldTestPeer::records(loaded)) % 64, 0u);
  EXPECT_EQ(record_bytes(loaded), record_bytes(original));

  std::mt19937 rng(5);
  for (int i = 0; i < 50; ++i) {
    std::vector<uint32_t> tokens(3);
    for (auto& token : tokens) token = static_cast<uint32_t>(rng() % 52);
    original.reset_potentials();
    loaded.reset_potentials();
    EXPECT_EQ(loaded.predict(tokens), original.predict(tokens));
    EXPECT_EQ(loaded.get_potentials(), original.get_potentials());
  }

  save_ok(loaded, dir.file("again.bin"));
  EXPECT_EQ(read_bytes(dir.file("again.bin")), read_bytes(path));
}

TEST(MappedFieldTest, TrainingWritesStraightIntoTheFile) {
  TempDir dir;
  const std::string path = dir.file("w.bin");
  save_ok(ThreadBoundedNeuronField::create(3, 4), path);
  auto field = ThreadBoundedNeuronField::create(3, 4);
  const uint32_t m1[] = {1};
  field.train_stream(m1, 2, 9, 0);
  field.predict(m1);
  const std::vector<int32_t> potentials = field.get_potentials();
  ASSERT_EQ(potentials, (std::vector<int32_t>{0, 0, 9, 0}));

  load_ok(field, path);
  EXPECT_EQ(field.get_potentials(), potentials) << "a load must not touch the potentials";
  EXPECT_TRUE(field.get_neuron_synapses(1).empty()) << "the owned records were discarded";

  field.train_stream(m1, 2, 11, 0);
  Bytes file = read_bytes(path);  // no save: the file is the field's memory
  EXPECT_EQ(file[64 + 4], 1);
  EXPECT_EQ(file[64 + 8], 2);
  EXPECT_EQ(file[64 + 40], 11);

  save_ok(field, dir.file("copy.bin"));
  EXPECT_EQ(read_bytes(dir.file("copy.bin")), read_bytes(path));
}

TEST(MappedFieldTest, LongerFileLoadsAndOnlyItsPrefixIsUsed) {
  TempDir dir;
  const std::string path = dir.file("long.bin");
  const auto source = trained_field(5, 3, 40, 6);
  save_ok(source, path);
  auto field = ThreadBoundedNeuronField::create(2, 3);
  load_ok(field, path);
  EXPECT_EQ(FieldTestPeer::record_count(field), 2u);
  const uint32_t tokens[] = {0, 1, 4};
  field.train_stream(tokens, 1, 3, 1);

  const Bytes file = read_bytes(path);
  ASSERT_EQ(file.size(), 5 * kRecordBytes);
  const Bytes source_bytes = record_bytes(source);
  EXPECT_TRUE(std::equal(file.begin() + 128, file.end(), source_bytes.begin() + 128))
      << "records past sensory_count must stay untouched";
  save_ok(field, dir.file("short.bin"));
  EXPECT_EQ(read_bytes(dir.file("short.bin")), Bytes(file.begin(), file.begin() + 128));
}

TEST(MappedFieldTest, TwoFieldsOnOneFileShareRecordsAndLockWords) {
  TempDir dir;
  const std::string path = dir.file("shared.bin");
  save_ok(ThreadBoundedNeuronField::create(2, 4), path);
  auto a = ThreadBoundedNeuronField::create(2, 4);
  auto b = ThreadBoundedNeuronField::create(2, 4);
  load_ok(a, path);
  load_ok(b, path);
  ASSERT_NE(FieldTestPeer::records(a), FieldTestPeer::records(b));

  const uint32_t zero[] = {0};
  a.train_stream(zero, 3, 6, 0);
  EXPECT_EQ(b.get_neuron_synapses(0), (std::vector<Synapse>{{3, 6}}));
  b.reset_potentials();
  EXPECT_EQ(b.predict(zero), 3u);

  // A lock held through one view is held in the other: b's training passes over the record.
  ASSERT_TRUE(try_lock_record(FieldTestPeer::records(a)[0]));
  b.train_stream(zero, 1, 9, 0);
  EXPECT_EQ(a.get_neuron_synapses(0), (std::vector<Synapse>{{3, 6}}));
  unlock_record(FieldTestPeer::records(a)[0]);
  b.train_stream(zero, 1, 9, 0);
  EXPECT_EQ(a.get_neuron_synapses(0), (std::vector<Synapse>{{3, 6}, {1, 9}}));
}

TEST(MappedFieldTest, LockWordFromTheFileStaysAndIsSavedAsIs) {
  TempDir dir;
  const std::string path = dir.file("locked.bin");
  auto source = ThreadBoundedNeuronField::create(2, 4);
  const uint32_t both[] = {0, 1};
  source.train_stream(both, 2, 4, 0);
  save_ok(source, path);
  Bytes bytes = read_bytes(path);
  bytes[64 + 56] = 1;  // record 1 was saved while a training step held it
  write_bytes(path, bytes);

  auto field = ThreadBoundedNeuronField::create(2, 4);
  load_ok(field, path);
  field.train_stream(both, 2, 10, 0);
  EXPECT_EQ(field.get_neuron_synapses(0), (std::vector<Synapse>{{2, 14}}));
  EXPECT_EQ(field.get_neuron_synapses(1), (std::vector<Synapse>{{2, 4}})) << "a held record is skipped";
  field.reset_potentials();
  EXPECT_EQ(field.predict(both), 2u);
  EXPECT_EQ(field.get_potentials()[2], 18) << "prediction still uses the held record";

  save_ok(field, dir.file("out.bin"));
  const Bytes saved = read_bytes(dir.file("out.bin"));
  EXPECT_EQ(saved, read_bytes(path));
  EXPECT_EQ(saved[64 + 56], 1);
  EXPECT_EQ(saved[56], 0);
}

TEST(LoadTest, FileShorterThanTheFieldIsRefusedAndChangesNothing) {
  TempDir dir;
  write_bytes(dir.file("short.bin"), Bytes(100, 0));
  write_bytes(dir.file("empty.bin"), {});
  auto field = trained_field(2, 3, 20, 7);
  const FieldSnapshot before = snapshot(field);

  auto error = field.load_weights(dir.file("short.bin"));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind, IoErrorKind::kInvalidData);
  EXPECT_EQ(error->message,
            "weight file is too short: 100 bytes, but a field of 2 sensory neurons needs 128 bytes");
  error = field.load_weights(dir.file("empty.bin"));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind, IoErrorKind::kInvalidData);
  EXPECT_EQ(mapping_count(dir.path()), 0);
  expect_unchanged(field, before);

  // The refusal also keeps a mapped field on its current file.
  save_ok(field, dir.file("good.bin"));
  load_ok(field, dir.file("good.bin"));
  const FieldSnapshot mapped = snapshot(field);
  ASSERT_TRUE(field.load_weights(dir.file("short.bin")).has_value());
  expect_unchanged(field, mapped);

  auto empty_field = ThreadBoundedNeuronField::create(0, 2);
  load_ok(empty_field, dir.file("empty.bin"));
  EXPECT_TRUE(empty_field.is_mapped());
  EXPECT_NE(FieldTestPeer::records(empty_field), nullptr);
  save_ok(empty_field, dir.file("empty-out.bin"));
  EXPECT_TRUE(read_bytes(dir.file("empty-out.bin")).empty());
}

// The platform tests pin the texts; here every failure must surface with its kind and leave the field
// exactly as it was.
TEST(FailureTest, FailedSavesAndLoadsLeaveTheFieldAlone) {
  TempDir dir;
  auto field = trained_field(3, 3, 20, 8);
  const FieldSnapshot before = snapshot(field);
  const std::string nul_path = dir.file("a") + std::string(1, '\0') + "b";
  const std::string read_only = ombrel::testing::read_only_file(dir);

  struct Case {
    std::string path;
    IoErrorKind kind;
  };
  std::vector<Case> saves = {{dir.file("missing/w.bin"), IoErrorKind::kNotFound},
                             {dir.path(), IoErrorKind::kOther},
                             {nul_path, IoErrorKind::kInvalidInput}};
  std::vector<Case> loads = {{dir.file("missing.bin"), IoErrorKind::kNotFound},
                             {dir.path(), IoErrorKind::kOther},
                             {nul_path, IoErrorKind::kInvalidInput}};
  if (ombrel::testing::exists("/dev/full")) saves.push_back({"/dev/full", IoErrorKind::kOther});
  if (!read_only.empty()) {
    saves.push_back({read_only, IoErrorKind::kPermissionDenied});
    loads.push_back({read_only, IoErrorKind::kPermissionDenied});
  }

  for (const Case& c : saves) {
    const auto error = field.save_weights(c.path);
    ASSERT_TRUE(error.has_value()) << c.path;
    EXPECT_EQ(error->kind, c.kind) << c.path << ": " << error->message;
  }
  for (const Case& c : loads) {
    const auto error = field.load_weights(c.path);
    ASSERT_TRUE(error.has_value()) << c.path;
    EXPECT_EQ(error->kind, c.kind) << c.path << ": " << error->message;
  }
  EXPECT_FALSE(ombrel::testing::exists(dir.file("a")));
  EXPECT_FALSE(ombrel::testing::exists(dir.file("missing.bin")));
  expect_unchanged(field, before);
}

TEST(LoadTest, LoadingAgainReleasesThePreviousMapping) {
  TempDir dir;
  const std::string a = dir.file("a.bin");
  const std::string b = dir.file("b.bin");
  save_ok(trained_field(20, 4, 100, 9), a);
  save_ok(trained_field(20, 4, 100, 10), b);
  auto field = ThreadBoundedNeuronField::create(20, 4);

  load_ok(field, a);
  EXPECT_EQ(mapping_count(a), 1);
  load_ok(field, a);  // the file it maps already
  EXPECT_EQ(mapping_count(a), 1);
  EXPECT_EQ(record_bytes(field), read_bytes(a));
  load_ok(field, b);
  EXPECT_EQ(mapping_count(a), 0);
  EXPECT_EQ(mapping_count(b), 1);
  EXPECT_EQ(record_bytes(field), read_bytes(b));
  {
    ThreadBoundedNeuronField moved = std::move(field);
    EXPECT_EQ(mapping_count(b), 1);
  }
  EXPECT_EQ(mapping_count(b), 0) << "releasing the field must unmap its file";
}

TEST(SaveOverMappedFileTest, IsRefusedWithTheFileUnchanged) {
  TempDir dir;
  const std::string path = dir.file("live.bin");
  const std::string link = dir.file("live-link.bin");
  save_ok(trained_field(4, 3, 30, 11), path);
  ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
  const Bytes before = read_bytes(path);

  auto mapped = ThreadBoundedNeuronField::create(4, 3);
  load_ok(mapped, path);
  const auto other = ThreadBoundedNeuronField::create(1, 3);
  const ThreadBoundedNeuronField* const savers[] = {&mapped, &other};
  for (const ThreadBoundedNeuronField* saver : savers) {
    for (const std::string& target : {path, link}) {
      const auto error = saver->save_weights(target);
      ASSERT_TRUE(error.has_value()) << target;
      EXPECT_EQ(error->kind, IoErrorKind::kOther);
      EXPECT_EQ(error->message, "cannot save over a weight file that is memory-mapped by a live field");
      EXPECT_EQ(read_bytes(path), before);
    }
  }
  // The mapping still works after the refusals.
  const uint32_t zero[] = {0};
  mapped.train_stream(zero, 0, 1, 0);

  // Once the last view is gone the file may be written again.
  { ThreadBoundedNeuronField released = std::move(mapped); }
  save_ok(other, path);
  EXPECT_EQ(read_bytes(path).size(), kRecordBytes);
}

TEST(ResourceTest, ThousandsOfFailuresLeakNoDescriptorOrMapping) {
  TempDir dir;
  const std::string live = dir.file("live.bin");
  save_ok(ThreadBoundedNeuronField::create(8, 2), live);
  write_bytes(dir.file("short.bin"), Bytes(100, 0));
  auto mapped = ThreadBoundedNeuronField::create(8, 2);
  load_ok(mapped, live);
  auto field = ThreadBoundedNeuronField::create(8, 2);
  const bool have_full = ombrel::testing::exists("/dev/full");

  const int fds = open_fd_count();
  const int maps = mapping_count(dir.path());  // live.bin's view; a leaked view would name its file
  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(field.load_weights(dir.file("short.bin")).has_value());  // mapped, then refused
    ASSERT_TRUE(field.load_weights(dir.file("missing.bin")).has_value());
    ASSERT_TRUE(field.load_weights(dir.path()).has_value());
    ASSERT_TRUE(field.load_weights(dir.file("x") + std::string(1, '\0')).has_value());
    ASSERT_TRUE(field.save_weights(live).has_value());  // opened, then refused
    ASSERT_TRUE(field.save_weights(dir.file("missing/w.bin")).has_value());
    if (have_full) {
      ASSERT_TRUE(field.save_weights("/dev/full").has_value());
    }
  }
  EXPECT_EQ(open_fd_count(), fds);
  EXPECT_EQ(mapping_count(dir.path()), maps);
  EXPECT_EQ(maps, 1);
  EXPECT_FALSE(field.is_mapped());
}

// Saves run while other threads train the same field. Each saved record must be a state that training
// can leave behind: at most 8 synapses with distinct targets, its own id, zero padding, and a free lock
// word, except for record kFileLocked whose lock word came from the file as 1.
TEST(ConcurrentSaveTest, SavesWhileTrainingCopyWellFormedRecords) {
  constexpr uint64_t kSensory = 48;
  constexpr uint32_t kMotors = 24;  // more targets than slots, so full records get replaced
  constexpr uint64_t kFileLocked = 5;
  TempDir dir;
  const std::string weights = dir.file("weights.bin");
  save_ok(ThreadBoundedNeuronField::create(kSensory, kMotors), weights);
  Bytes bytes = read_bytes(weights);
  bytes[kFileLocked * kRecordBytes + 56] = 1;
  write_bytes(weights, bytes);

  auto field = ThreadBoundedNeuronField::create(kSensory, kMotors);
  load_ok(field, weights);

  std::atomic<bool> stop{false};
  std::vector<std::thread> trainers;
  const StopAndJoin joined(stop, trainers);
  for (uint32_t t = 0; t < 2; ++t) {
    trainers.emplace_back([&field, &stop, t] {
      std::mt19937 rng(100 + t);
      std::vector<uint32_t> tokens(6);
      while (!stop.load(std::memory_order_relaxed)) {
        for (auto& token : tokens) token = rng() % kSensory;
        field.train_stream(tokens, rng() % kMotors, static_cast<int16_t>(rng() % 50),
                           static_cast<int16_t>(rng() % 20));
      }
    });
  }

  for (int round = 0; round < 8; ++round) {  // each round waits out the locked record
    const std::string out = dir.file("snapshot-" + std::to_string(round) + ".bin");
    save_ok(field, out);
    const Bytes saved = read_bytes(out);
    ASSERT_EQ(saved.size(), kSensory * kRecordBytes);
    for (uint64_t i = 0; i < kSensory; ++i) {
      SensoryNeuron rec;
      std::memcpy(&rec, saved.data() + i * kRecordBytes, sizeof rec);
      EXPECT_EQ(rec.id, i);
      ASSERT_LE(rec.synapse_count, kMaxSynapses) << "record " << i;
      EXPECT_EQ(rec.lock, i == kFileLocked ? 1 : 0) << "record " << i << " round " << round;
      std::set<uint32_t> targets(rec.targets, rec.targets + rec.synapse_count);
      EXPECT_EQ(targets.size(), rec.synapse_count) << "torn record " << i;
      for (const uint8_t pad : rec.padding) EXPECT_EQ(pad, 0);
    }
  }
  stop.store(true, std::memory_order_relaxed);
  for (auto& trainer : trainers) trainer.join();
}

// A save only reads the field. The mapped records are made read-only for the save: a single write
// to them (a lock word taken, even if given back) would kill the test with SIGSEGV. The source file
// must come out byte for byte as it went in, and the saved copy must equal it.
TEST(SaveIsReadOnlyTest, SavingAMappedFieldNeverWritesItsMemory) {
  TempDir dir;
  const std::string source = dir.file("source.bin");
  const uint64_t sensory = 4 * 4096 / kRecordBytes + 3;  // several pages and a part
  save_ok(trained_field(sensory, 6, 3000, 11), source);
  const Bytes before = read_bytes(source);

  auto field = ThreadBoundedNeuronField::create(sensory, 6);
  load_ok(field, source);
  const std::size_t bytes = sensory * kRecordBytes;
  ASSERT_EQ(mprotect(FieldTestPeer::records(field), bytes, PROT_READ), 0);
  const auto error = field.save_weights(dir.file("copy.bin"));
  ASSERT_EQ(mprotect(FieldTestPeer::records(field), bytes, PROT_READ | PROT_WRITE), 0);
  ASSERT_FALSE(error.has_value()) << error->message;
  EXPECT_EQ(read_bytes(source), before);
  EXPECT_EQ(read_bytes(dir.file("copy.bin")), before);
}

// Every training step here moves one unit of weight from one synapse of a record to the other (amplify
// 1 on the correct motor, suppress 1 on the other), so the two weights of every record always add up
// to the same total. A save that copied a record part-way through a step would show the total off by
// one. Trainers run flat out on a handful of records while the main thread saves again and again.
TEST(ConcurrentSaveTest, SavedRecordsAreNeverCaughtHalfWayThroughAStep) {
  constexpr uint64_t kSensory = 8;
  constexpr int32_t kTotal = 2000;
  TempDir dir;
  auto field = ThreadBoundedNeuronField::create(kSensory, 2);
  std::vector<uint32_t> all(kSensory);
  for (uint32_t t = 0; t < kSensory; ++t) all[t] = t;
  field.train_stream(all, 0, kTotal / 2, 0);
  field.train_stream(all, 1, kTotal / 2, 0);
  const std::string mapped = dir.file("mapped.bin");
  save_ok(field, mapped);
  load_ok(field, mapped);  // mapped, as in the save a killed process once left locked

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> steps{0};
  std::vector<std::thread> trainers;
  StopAndJoin joined(stop, trainers);
  for (uint32_t t = 0; t < 2; ++t) {
    trainers.emplace_back([&, t] {
      std::mt19937 rng(7 + t);
      std::vector<uint32_t> tokens(3);
      uint64_t n = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        for (auto& token : tokens) token = rng() % kSensory;
        field.train_stream(tokens, rng() % 2, 1, 1);
        ++n;
      }
      steps.fetch_add(n);
    });
  }
  const std::string out = dir.file("snapshot.bin");
  for (int round = 0; round < 400; ++round) {
    save_ok(field, out);
    const Bytes saved = read_bytes(out);
    ASSERT_EQ(saved.size(), kSensory * kRecordBytes);
    for (uint64_t i = 0; i < kSensory; ++i) {
      SensoryNeuron rec;
      std::memcpy(&rec, saved.data() + i * kRecordBytes, sizeof rec);
      ASSERT_EQ(rec.synapse_count, 2u) << "record " << i;
      ASSERT_EQ(rec.lock, 0) << "record " << i;
      ASSERT_EQ(int32_t{rec.weights[0]} + rec.weights[1], kTotal)
          << "record " << i << " torn in save " << round;
    }
  }
  stop.store(true, std::memory_order_relaxed);
  for (auto& trainer : trainers) trainer.join();
  EXPECT_GT(steps.load(), 0u);
  // No lock word was left taken in the mapped file.
  const Bytes file = read_bytes(mapped);
  for (uint64_t i = 0; i < kSensory; ++i) EXPECT_EQ(file[i * kRecordBytes + 56], 0) << i;
}

// A record whose holder is alive but never lets it settle (here a holder that keeps the lock word
// and moves a weight without pause, as two threads training one record flat out can look to a save
// on a loaded machine) is saved with its lock word free: a file that kept it would freeze the record
// in every process that maps it. A record whose holder is gone keeps its lock word (see above).
TEST(ConcurrentSaveTest, ARecordThatNeverSettlesIsSavedWithoutItsLiveHoldersLock) {
  constexpr uint64_t kSensory = 4;
  constexpr uint64_t kLive = 1;
  constexpr uint64_t kDead = 2;
  TempDir dir;
  auto field = ThreadBoundedNeuronField::create(kSensory, 2);
  std::vector<uint32_t> all(kSensory);
  for (uint32_t t = 0; t < kSensory; ++t) all[t] = t;
  field.train_stream(all, 0, 100, 0);
  SensoryNeuron* records = FieldTestPeer::records(field);
  std::atomic_ref<int32_t>(records[kDead].lock).store(1, std::memory_order_release);

  std::atomic<bool> stop{false};
  std::atomic<bool> holding{false};
  std::vector<std::thread> holder;
  StopAndJoin joined(stop, holder);
  holder.emplace_back([&] {
    std::atomic_ref<int32_t> lock(records[kLive].lock);
    lock.store(1, std::memory_order_release);
    holding.store(true, std::memory_order_release);
    std::atomic_ref<int16_t> weight(records[kLive].weights[0]);
    while (!stop.load(std::memory_order_relaxed)) {
      weight.store(static_cast<int16_t>(weight.load(std::memory_order_relaxed) ^ 1), std::memory_order_relaxed);
    }
    lock.store(0, std::memory_order_release);
  });
  while (!holding.load(std::memory_order_acquire)) std::this_thread::yield();

  const std::string out = dir.file("live.bin");
  save_ok(field, out);
  const Bytes saved = read_bytes(out);
  ASSERT_EQ(saved.size(), kSensory * kRecordBytes);
  EXPECT_EQ(saved[kLive * kRecordBytes + 56], 0) << "a live holder's lock word was saved";
  EXPECT_EQ(saved[kDead * kRecordBytes + 56], 1) << "a dead holder's lock word was not kept";
  for (const uint64_t i : {uint64_t{0}, uint64_t{3}}) EXPECT_EQ(saved[i * kRecordBytes + 56], 0) << i;
}

}  // namespace
}  // namespace ombrel
