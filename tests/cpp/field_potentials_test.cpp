// Batch potentials read from weight records against the field itself: the same records planted in
// an engine field, each text presented from zero potentials (reset, predict, read).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "field_test_peer.h"
#include "learners/field_potentials.h"
#include "ombrel/field.h"
#include "pool/thread_pool.h"

namespace ombrel::learners {
namespace {

struct Case {
  std::vector<unsigned char> records;
  std::vector<std::uint32_t> tokens;
  std::vector<std::uint64_t> offsets{0};
};

// Random records (counts 0..8, targets partly beyond the classes, weights often at the 16-bit ends)
// planted both in a field and in weight-file bytes.
void plant(ThreadBoundedNeuronField& field, std::uint64_t sensory, std::uint32_t classes, std::mt19937& rng,
           Case& c) {
  SensoryNeuron* recs = FieldTestPeer::records(field);
  std::uniform_int_distribution<int> count(0, 8);
  std::uniform_int_distribution<std::uint32_t> target(0, classes + 2);
  std::uniform_int_distribution<int> weight(-32768, 32767);
  std::uniform_int_distribution<int> pick(0, 3);
  for (std::uint64_t i = 0; i < sensory; ++i) {
    SensoryNeuron& r = recs[i];
    r.synapse_count = static_cast<std::uint32_t>(count(rng));
    for (std::uint32_t k = 0; k < 8; ++k) {  // slots past the count hold garbage, never read
      r.targets[k] = target(rng);
      const int p = pick(rng);
      r.weights[k] = static_cast<std::int16_t>(p == 0 ? 32767 : p == 1 ? -32768 : weight(rng));
    }
  }
  c.records.resize(sensory * sizeof(SensoryNeuron));
  std::memcpy(c.records.data(), recs, c.records.size());
}

std::vector<std::int32_t> fresh_potentials(ThreadBoundedNeuronField& field, std::span<const std::uint32_t> ids) {
  field.reset_potentials();
  field.predict(ids);
  return field.get_potentials();
}

TEST(FieldPotentials, EqualsTheFieldFromZeroForEveryText) {
  std::mt19937 rng(7);
  pool::ThreadPool workers(3);
  for (const std::uint32_t classes : {1u, 2u, 5u, 20u, 70u}) {  // 70: above the field's local-sum limit
    const std::uint64_t sensory = 50;
    auto field = ThreadBoundedNeuronField::create(sensory, classes);
    Case c;
    plant(field, sensory, classes, rng, c);
    // Texts with repeated ids (each occurrence counts; full-weight records overflow and wrap), ids
    // beyond the records, empty texts.
    std::uniform_int_distribution<std::uint32_t> id(0, sensory + 5);
    std::uniform_int_distribution<int> length(0, 300);
    const std::vector<std::uint32_t> suffix{3, 49, 60};
    std::vector<std::vector<std::uint32_t>> texts;
    for (int t = 0; t < 400; ++t) {
      std::vector<std::uint32_t> text(static_cast<std::size_t>(length(rng)));
      for (auto& v : text) v = id(rng);
      if (t % 7 == 0 && !text.empty()) text.assign(text.size(), text[0]);
      c.tokens.insert(c.tokens.end(), text.begin(), text.end());
      c.offsets.push_back(c.tokens.size());
      texts.push_back(std::move(text));
    }
    const FieldPotentialsInput input{c.records, classes, c.tokens, c.offsets, suffix};
    check_potentials_input(input);
    for (pool::ThreadPool* on : {static_cast<pool::ThreadPool*>(nullptr), &workers}) {
      std::vector<std::int32_t> out(texts.size() * classes, 12345);
      field_potentials(input, out, on);
      for (std::size_t t = 0; t < texts.size(); ++t) {
        std::vector<std::uint32_t> with_suffix = texts[t];
        with_suffix.insert(with_suffix.end(), suffix.begin(), suffix.end());
        const std::vector<std::int32_t> expected = fresh_potentials(field, with_suffix);
        const std::vector<std::int32_t> got(out.begin() + t * classes, out.begin() + (t + 1) * classes);
        ASSERT_EQ(got, expected) << "text " << t << ", " << classes << " classes";
      }
    }
  }
}

TEST(FieldPotentials, RefusesDamagedRecordsAndInconsistentShapes) {
  std::vector<unsigned char> records(3 * 64, 0);
  const std::uint32_t nine = 9;
  std::memcpy(records.data() + 64 + 4, &nine, 4);  // record 1 claims nine synapses
  const std::vector<std::uint32_t> tokens{0, 2, 1};
  const std::vector<std::uint64_t> offsets{0, 2, 3};
  FieldPotentialsInput input{records, 2, tokens, offsets, {}};
  check_potentials_input(input);
  std::vector<std::int32_t> out(4);
  EXPECT_THROW(field_potentials(input, out, nullptr), std::invalid_argument);
  const std::vector<std::uint64_t> first_texts_only{0, 2};  // text 1 (record 1) is not asked for
  input.offsets = first_texts_only;
  input.tokens = std::span<const std::uint32_t>(tokens).first(2);
  EXPECT_NO_THROW(field_potentials(input, out, nullptr));

  const std::vector<unsigned char> ragged(65, 0);
  EXPECT_THROW(check_potentials_input({ragged, 2, tokens, offsets, {}}), std::invalid_argument);
  const std::vector<std::uint64_t> short_offsets{0, 2};
  EXPECT_THROW(check_potentials_input({records, 2, tokens, short_offsets, {}}), std::invalid_argument);
  const std::vector<std::uint64_t> decreasing{0, 3, 2, 3};
  EXPECT_THROW(check_potentials_input({records, 2, tokens, decreasing, {}}), std::invalid_argument);
  EXPECT_THROW(check_potentials_input({records, 2, tokens, {}, {}}), std::invalid_argument);
}

}  // namespace
}  // namespace ombrel::learners
