// Compiling a float linear model into the field's weight-file records.
//
// The field can hold a sparse linear model: a sensory neuron has at most eight synapses (a class and
// a signed 16-bit weight), prediction sums the weights of a text's neurons into signed 32-bit class
// potentials and answers the first class with the highest. A model with scores
// bias[c] + sum over the text's features f of weight[f][c] becomes such a field in three steps.
//
// 1. The cut (cut_to_slots). Adding the same number to every class of one feature changes no argmax,
//    so each feature's row may be shifted freely; a class without a synapse on that feature then
//    stands for the shift. The cut picks a shift and at most `slots` classes per feature, keeps
//    weight - shift on those and drops the rest (they become exactly the shift). A row with no more
//    classes than slots is only shifted, to the middle of its range, which makes its largest
//    magnitude as small as it can be. Longer rows, by the rule of SlotChoice:
//      kSpread:   drop the classes whose weights lie closest together: in sorted order, the run of
//                 class_count - slots neighbours with the least squared spread around its mean, which
//                 becomes the shift. The kept classes are the extremes at both ends, and the dropped
//                 ones are represented with the least squared error any shift and choice allows.
//      kCentered: shift by the row's mean, keep the classes farthest from it.
//      kLargest:  keep the largest weights (the evidence for a class), shift by the mean of the rest.
//    The bias is kept whole (see 3), shifted to the middle of its range.
// 2. Quantization (plan_field). One scale s for the whole field: field weight = round(s * weight).
//    s is as large as the 16-bit range allows for the largest kept magnitude (resolution), unless a
//    text could then overflow a 32-bit potential: with m[f] the largest magnitude of feature f's
//    row, a text of at most L distinct features sums at most s * (the L largest m[f] + the largest
//    bias magnitude) + (L + 1) / 2 of rounding into one class, and s is lowered until that fits in
//    2^31 - 1. L is every feature unless the caller bounds the text length, so by default no text of
//    distinct ids can overflow.
// 3. Bias neurons. The bias rides on extra sensory neurons after the features, which the caller
//    appends to every text at prediction: ceil(class_count / 8) groups, neuron g carrying classes
//    8g .. 8g + 7. When a scaled bias does not fit in 16 bits the groups repeat, each copy carrying
//    a share, and the shares of one class add up exactly to its rounded scaled bias.
// Synapses whose rounded weight is 0 are left out: they would add nothing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "learners/labelled_rows.h"

namespace ombrel::learners {

inline constexpr std::uint32_t kFieldSlots = 8;
inline constexpr std::size_t kFieldRecordBytes = 64;

enum class SlotChoice : std::uint8_t { kSpread, kCentered, kLargest };

struct CompileOptions {
  std::uint32_t slots = kFieldSlots;  // 1 .. 8
  SlotChoice choice = SlotChoice::kSpread;
  std::uint64_t max_text_tokens = 0;  // L above; 0 for every feature
};

// The model as the field will see it before rounding: each row shifted, at most `slots` entries of
// it non-zero. Throws std::invalid_argument for slots outside 1 .. 8, a model whose vectors do not
// match its shape, or a weight that is not finite.
LinearModel cut_to_slots(const LinearModel& model, const CompileOptions& options);

struct FieldPlan {
  std::uint32_t feature_count = 0;
  std::uint32_t class_count = 0;
  double scale = 1.0;  // field weight = round(scale * cut weight)
  std::uint32_t bias_groups = 0;
  std::uint32_t bias_repeats = 1;

  // The bias neurons' ids are feature_count .. feature_count + bias_neurons() - 1.
  std::uint32_t bias_neurons() const { return bias_groups * bias_repeats; }
  std::uint64_t record_count() const { return std::uint64_t{feature_count} + bias_neurons(); }
  std::uint64_t byte_size() const { return record_count() * kFieldRecordBytes; }
};

// REQUIRES: `cut` came from cut_to_slots. Throws std::invalid_argument when the records would need
// ids beyond 32 bits.
FieldPlan plan_field(const LinearModel& cut, const CompileOptions& options);

// Writes the weight file's bytes (little-endian records, record i at byte 64 * i).
// REQUIRES: plan == plan_field(cut, options) and out.size() == plan.byte_size().
void write_field(const LinearModel& cut, const FieldPlan& plan, std::span<unsigned char> out);

// The three steps in one call.
std::vector<unsigned char> compile_field(const LinearModel& model, const CompileOptions& options,
                                         FieldPlan* plan = nullptr);

}  // namespace ombrel::learners
