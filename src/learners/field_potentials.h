// Every class's potential for a batch of texts, read from the field's weight records.
//
// The sums are the ones the field makes for a text presented from zero potentials (reset, then
// predict): for each id of the text below the record count, the weights of the record's synapse slots
// whose target is a class, added into signed 32-bit sums that wrap on overflow. Ids at or above the
// record count are skipped, as the field skips them. The records are read where they are (a mapped
// file, a memory file, a bytes object): nothing is copied. A record holding more than eight synapses
// (only a damaged file can) is refused, where the field would stop with a fault.
#pragma once

#include <cstdint>
#include <span>

#include "pool/thread_pool.h"

namespace ombrel::learners {

// One record of the field and its weight file: 64 bytes, little-endian (the engine's layout).
inline constexpr std::size_t kRecordBytes = 64;
inline constexpr std::uint32_t kRecordSlots = 8;

struct FieldPotentialsInput {
  std::span<const unsigned char> records;  // weight-file bytes: a whole number of 64-byte records
  std::uint32_t class_count = 0;
  std::span<const std::uint32_t> tokens;   // every text's ids, one after another
  std::span<const std::uint64_t> offsets;  // text i is tokens[offsets[i], offsets[i + 1])
  std::span<const std::uint32_t> suffix;   // ids every text carries after its own (bias neurons)
};

// Checks the input's shapes; std::invalid_argument naming what is wrong.
void check_potentials_input(const FieldPotentialsInput& input);

// Writes text i's potentials to out[i * class_count, (i + 1) * class_count). REQUIRES: the input
// passed check_potentials_input; out holds texts * class_count values. Runs on `pool` (nullptr: on the
// calling thread); std::invalid_argument for a record with more than eight synapses.
void field_potentials(const FieldPotentialsInput& input, std::span<std::int32_t> out, pool::ThreadPool* pool);

}  // namespace ombrel::learners
