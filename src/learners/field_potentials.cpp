// Batch potentials from the field's weight records (see field_potentials.h).
#include "learners/field_potentials.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "pool/for_each_range.h"

namespace ombrel::learners {
namespace {

// Word offsets in a record: synapse_count, targets[8], weights[8] (the id and lock words are not read).
constexpr std::size_t kCountAt = 4;
constexpr std::size_t kTargetsAt = 8;
constexpr std::size_t kWeightsAt = 40;
// How far ahead of the current id a record is asked for (as the field's batch prediction does).
constexpr std::size_t kPrefetchDistance = 32;

// The records may be a mapping that training writes meanwhile: each word is read once, whole, and
// used as read (a text may see a record part-way through a training step, as the field's own
// prediction may).
template <class T>
inline T word_at(const unsigned char* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline std::int32_t wrap_add(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

[[noreturn]] void refuse_record(std::uint64_t id, std::uint32_t count) {
  throw std::invalid_argument("record " + std::to_string(id) + " holds " + std::to_string(count) +
                              " synapses (at most 8): the weights are damaged");
}

class Summer {
 public:
  explicit Summer(const FieldPotentialsInput& input)
      : records_(input.records.data()),
        record_count_(input.records.size() / kRecordBytes),
        classes_(input.class_count) {}

  // Adds the records of ids [first, last) into sums; `limit` ends the readable ids (for prefetching
  // into the next texts of the same part).
  void add(const std::uint32_t* first, const std::uint32_t* last, const std::uint32_t* limit,
           std::int32_t* sums) const {
    for (const std::uint32_t* p = first; p != last; ++p) {
      if (limit - p > static_cast<std::ptrdiff_t>(kPrefetchDistance)) {
        const std::uint32_t ahead = p[kPrefetchDistance];
        if (ahead < record_count_) __builtin_prefetch(records_ + ahead * kRecordBytes);
      }
      const std::uint32_t id = *p;
      if (id >= record_count_) continue;
      add_record(id, sums);
    }
  }

 private:
  void add_record(std::uint64_t id, std::int32_t* sums) const {
    const unsigned char* rec = records_ + id * kRecordBytes;
    const std::uint32_t n = word_at<std::uint32_t>(rec + kCountAt);
    if (n > kRecordSlots) refuse_record(id, n);
    for (std::uint32_t k = 0; k < n; ++k) {
      const std::uint32_t m = word_at<std::uint32_t>(rec + kTargetsAt + 4 * k);
      if (m < classes_) sums[m] = wrap_add(sums[m], word_at<std::int16_t>(rec + kWeightsAt + 2 * k));
    }
  }

  const unsigned char* records_;
  std::uint64_t record_count_;
  std::uint32_t classes_;
};

}  // namespace

void check_potentials_input(const FieldPotentialsInput& input) {
  if (input.records.size() % kRecordBytes != 0) {
    throw std::invalid_argument("the weight records hold " + std::to_string(input.records.size()) +
                                " bytes, not a whole number of 64-byte records");
  }
  const auto& offsets = input.offsets;
  if (offsets.empty() || offsets.front() != 0) {
    throw std::invalid_argument("offsets must start at 0 and have one entry more than there are texts");
  }
  for (std::size_t i = 1; i < offsets.size(); ++i) {
    if (offsets[i] < offsets[i - 1]) throw std::invalid_argument("offsets must not decrease");
  }
  if (offsets.back() != input.tokens.size()) {
    throw std::invalid_argument("the last offset must be the number of token ids (" +
                                std::to_string(input.tokens.size()) + "), not " + std::to_string(offsets.back()));
  }
}

void field_potentials(const FieldPotentialsInput& input, std::span<std::int32_t> out, pool::ThreadPool* pool) {
  const std::uint64_t texts = input.offsets.size() - 1;
  const std::uint32_t classes = input.class_count;
  if (texts == 0 || classes == 0) return;
  const Summer summer(input);
  // The suffix is the same for every text and addition modulo 2^32 does not depend on order: its
  // sums are made once and every text starts from them.
  std::vector<std::int32_t> base(classes, 0);
  const std::uint32_t* suffix = input.suffix.data();
  summer.add(suffix, suffix + input.suffix.size(), suffix + input.suffix.size(), base.data());
  const std::uint32_t* tokens = input.tokens.data();
  auto body = [&](std::uint64_t begin, std::uint64_t end) {
    const std::uint32_t* limit = tokens + input.offsets[end];
    for (std::uint64_t i = begin; i < end; ++i) {
      std::int32_t* row = out.data() + i * classes;
      std::copy(base.begin(), base.end(), row);
      summer.add(tokens + input.offsets[i], tokens + input.offsets[i + 1], limit, row);
    }
  };
  if (pool == nullptr) {
    body(0, texts);
  } else {
    pool::for_each_range(*pool, texts, body);
  }
}

}  // namespace ombrel::learners
