// The input and output of every learner: labelled texts as token ids, and a dense linear model.
//
// Texts arrive the way the text pipeline makes them: all token ids in one flat array, text i being
// ids[offsets[i], offsets[i + 1]). Each id present in a text counts as one occurrence of that
// feature (the pipeline keeps each distinct id once per text, so features are binary, unless it
// counts terms, when it repeats an id; a repeated id counts twice). Ids at or above feature_count are skipped, as the field skips sensory ids beyond
// its records: a batch made for prediction, with trailing bias or probe ids, can be trained on as it
// is.
//
// An occurrence of id f in text i carries the value feature_scale[f] * row_scale[i] (1 for a scale
// left empty): TF-IDF rows are an idf per feature times one over the text's norm, so the learners
// train on them without a float per token ever being stored.
//
// A text's sample weight (1 for sample_weight left empty) scales what it teaches, not what it reads:
// its counts (naive Bayes), its gradient (SGD) and its updates (the perceptron, the refit of a cut
// model), as if the text appeared that many times. A weight of 0 teaches nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ombrel::learners {

struct LabelledRows {
  std::span<const std::uint32_t> ids;
  std::span<const std::uint64_t> offsets;  // size() + 1 entries
  std::span<const std::uint32_t> labels;   // one class per text
  std::uint32_t feature_count = 0;
  std::uint32_t class_count = 0;
  std::span<const float> feature_scale = {};  // empty, or feature_count entries
  std::span<const float> row_scale = {};      // empty, or size() entries
  std::span<const float> sample_weight = {};  // empty, or size() entries

  std::size_t size() const { return labels.size(); }
  std::span<const std::uint32_t> row(std::size_t i) const {
    return ids.subspan(offsets[i], offsets[i + 1] - offsets[i]);
  }
  bool weighted() const { return !feature_scale.empty() || !row_scale.empty(); }
  // The factors of a value, 1 where a scale is empty. REQUIRES: f < feature_count, i < size().
  float feature_value(std::uint32_t f) const { return feature_scale.empty() ? 1.0f : feature_scale[f]; }
  float row_value(std::size_t i) const { return row_scale.empty() ? 1.0f : row_scale[i]; }
  float sample_value(std::size_t i) const { return sample_weight.empty() ? 1.0f : sample_weight[i]; }
};

// Throws std::invalid_argument naming the first problem: offsets that do not have one entry more
// than there are labels, do not start at 0, decrease, or do not end at ids.size(); a label at or
// above class_count; class_count 0; a scale of the wrong length, or holding a negative value, an
// infinity or a NaN; a sample_weight of the wrong length or holding such a value.
void check_rows(const LabelledRows& rows);

// Throws std::invalid_argument unless class_weights is empty or holds one positive, finite weight per
// class.
void check_class_weights(std::span<const double> class_weights, std::uint32_t class_count);

// Scores of class c for a text: bias[c] + the sum of weights[f * class_count + c] over its ids f.
// Feature-major, so one text's scores read one contiguous row per token.
struct LinearModel {
  std::uint32_t feature_count = 0;
  std::uint32_t class_count = 0;
  std::vector<float> weights;  // feature_count * class_count
  std::vector<float> bias;     // class_count

  LinearModel() = default;
  LinearModel(std::uint32_t features, std::uint32_t classes)
      : feature_count(features),
        class_count(classes),
        weights(std::size_t{features} * classes, 0.0f),
        bias(classes, 0.0f) {}

  std::span<float> row(std::uint32_t feature) {
    return std::span<float>(weights).subspan(std::size_t{feature} * class_count, class_count);
  }
  std::span<const float> row(std::uint32_t feature) const {
    return std::span<const float>(weights).subspan(std::size_t{feature} * class_count, class_count);
  }
};

// The class with the highest score for each text (the first one on ties, as the field answers).
// REQUIRES: offsets well formed (check_rows without the labels); ids >= feature_count are skipped.
std::vector<std::uint32_t> predict(const LinearModel& model, std::span<const std::uint32_t> ids,
                                   std::span<const std::uint64_t> offsets);

// Per feature below feature_count, the texts that hold it: a run of one id in a text (a counted
// token's repeats, one after another) counts once; ids >= feature_count are skipped.
std::vector<std::uint32_t> document_frequency(std::span<const std::uint32_t> ids,
                                              std::span<const std::uint64_t> offsets,
                                              std::uint32_t feature_count);

// Each text's L2 norm when id f is worth scale[f]: sqrt(extra^2 + the sum over its runs of one id
// of (n * scale[f])^2), summed in double in the order of the ids, a run's value as n additions;
// ids >= scale.size() are worth 0.
std::vector<float> row_norms(std::span<const std::uint32_t> ids, std::span<const std::uint64_t> offsets,
                             std::span<const float> scale, double extra);

// The texts `rows` (indices into offsets' texts) of ids, in that order, each id f written as
// renumber[f], or left out where that is kDroppedId; renumber empty: the ids as they are. Appends to
// out_ids and out_offsets (which should start as {} and {0}). Throws std::invalid_argument for a
// row past the texts or an id past renumber.
inline constexpr std::uint32_t kDroppedId = 0xFFFFFFFFu;
void gather_rows(std::span<const std::uint32_t> ids, std::span<const std::uint64_t> offsets,
                 std::span<const std::uint64_t> rows, std::span<const std::uint32_t> renumber,
                 std::vector<std::uint32_t>& out_ids, std::vector<std::uint64_t>& out_offsets);

// Each text's per-class scores, text after text (texts x class_count): the sum of its ids' rows, in
// the order of the ids, in double, then the bias. Same requirements as predict.
std::vector<double> decision_scores(const LinearModel& model, std::span<const std::uint32_t> ids,
                                    std::span<const std::uint64_t> offsets);

}  // namespace ombrel::learners
