#include "learners/slot_refit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "learners/shuffler.h"

namespace ombrel::learners {

namespace {

// From this many classes on, the passes work on each row's kept entries only (CompactRows).
constexpr std::uint32_t kCompactFromClasses = 32;

// How many tokens ahead of the one being summed a text's rows are prefetched.
constexpr std::size_t kAhead = 8;

// The model's rows as the passes read and move them, with the running sums of the average. Both
// layouts hold the same values and sum and move them in the same order (skipping a row's zeros
// changes no score), so they give the same model to the bit.

// Dense rows: a row's scores are added for every class, which vectorizes; best with few classes.
class DenseRows {
 public:
  explicit DenseRows(const LinearModel& cut) : w_(cut), u_(cut.feature_count, cut.class_count) {
    kept_.resize(w_.weights.size());
    for (std::size_t i = 0; i < kept_.size(); ++i) kept_[i] = w_.weights[i] != 0.0f;
  }
  void prefetch(std::uint32_t f) const {
    const float* row = w_.weights.data() + std::size_t{f} * w_.class_count;
    __builtin_prefetch(row);
    __builtin_prefetch(row + w_.class_count - 1);
  }
  void add_scores(std::uint32_t f, std::vector<double>& scores) const {
    const float* row = w_.row(f).data();
    for (std::uint32_t c = 0; c < w_.class_count; ++c) scores[c] += row[c];
  }
  // Adds delta to class c of row f, in the field's form: to its own entry when kept, else (c is in
  // the dropped group) against every kept entry of the row.
  void move(std::uint32_t f, std::uint32_t c, float delta, float weighted) {
    const std::size_t at = std::size_t{f} * w_.class_count;
    if (kept_[at + c]) {
      w_.weights[at + c] += delta;
      u_.weights[at + c] += weighted;
      return;
    }
    for (std::uint32_t k = 0; k < w_.class_count; ++k) {
      if (!kept_[at + k]) continue;
      w_.weights[at + k] -= delta;
      u_.weights[at + k] -= weighted;
    }
  }
  // Each kept entry's average (w - u * inverse), the dropped ones 0, into out.
  template <class Average>
  void average_into(LinearModel& out, Average&& average) const {
    for (std::size_t k = 0; k < w_.weights.size(); ++k) {
      out.weights[k] = kept_[k] ? average(w_.weights[k], u_.weights[k]) : 0.0f;
    }
  }

 private:
  LinearModel w_;
  LinearModel u_;
  std::vector<std::uint8_t> kept_;
};

// Compressed rows of the kept entries, in class order: a dense row of many classes spans several
// cache lines and a text's rows lie all over the model, while a row's kept entries take one or two
// lines; best with many classes, where the passes wait on memory.
class CompactRows {
 public:
  explicit CompactRows(const LinearModel& cut)
      : classes_(cut.class_count), begin_(std::size_t{cut.feature_count} + 1, 0) {
    for (std::uint32_t f = 0; f < cut.feature_count; ++f) {
      const float* row = cut.row(f).data();
      for (std::uint32_t c = 0; c < classes_; ++c) {
        if (row[c] == 0.0f) continue;
        class_.push_back(c);
        w_.push_back(row[c]);
      }
      begin_[f + 1] = w_.size();
    }
    u_.assign(w_.size(), 0.0f);
  }
  void prefetch(std::uint32_t f) const {
    __builtin_prefetch(begin_.data() + f);
  }
  void add_scores(std::uint32_t f, std::vector<double>& scores) const {
    for (std::uint64_t k = begin_[f]; k < begin_[f + 1]; ++k) scores[class_[k]] += w_[k];
  }
  void move(std::uint32_t f, std::uint32_t c, float delta, float weighted) {
    const std::uint64_t first = begin_[f];
    const std::uint64_t last = begin_[f + 1];
    for (std::uint64_t k = first; k < last; ++k) {
      if (class_[k] == c) {
        w_[k] += delta;
        u_[k] += weighted;
        return;
      }
    }
    for (std::uint64_t k = first; k < last; ++k) {
      w_[k] -= delta;
      u_[k] -= weighted;
    }
  }
  template <class Average>
  void average_into(LinearModel& out, Average&& average) const {
    std::fill(out.weights.begin(), out.weights.end(), 0.0f);
    for (std::size_t f = 0; f + 1 < begin_.size(); ++f) {
      float* row = out.weights.data() + f * classes_;
      for (std::uint64_t k = begin_[f]; k < begin_[f + 1]; ++k) row[class_[k]] = average(w_[k], u_[k]);
    }
  }

 private:
  std::uint32_t classes_;
  std::vector<std::uint64_t> begin_;
  std::vector<std::uint32_t> class_;
  std::vector<float> w_;
  std::vector<float> u_;
};

// The passes of refit_cut over one layout; magnitude is the mean magnitude of the kept weights.
template <class Rows>
LinearModel refit(const LabelledRows& rows, const LinearModel& cut, Rows model, double magnitude,
                  const RefitOptions& options) {
  const std::uint32_t classes = rows.class_count;
  const double margin = options.margin * magnitude;
  // Averaging as in perceptron.cpp: u accumulates step number * update; the average is w - u / S.
  std::vector<float> bias = cut.bias;
  std::vector<float> bias_u(classes, 0.0f);
  const auto step = static_cast<float>(options.step * magnitude);
  double counter = 0.0;

  std::vector<double> scores(classes);
  std::vector<std::uint32_t> order(rows.size());
  std::iota(order.begin(), order.end(), 0u);
  Shuffler shuffler(options.seed);
  for (std::uint32_t epoch = 0; epoch < options.epochs; ++epoch) {
    shuffler.shuffle(order);
    for (const std::uint32_t i : order) {
      counter += 1.0;
      const std::span<const std::uint32_t> text = rows.row(i);
      scores.assign(bias.begin(), bias.end());
      for (std::size_t j = 0; j < text.size(); ++j) {
        // The rows lie all over the model: ask for a later one while this one is summed.
        if (j + kAhead < text.size() && text[j + kAhead] < rows.feature_count) {
          model.prefetch(text[j + kAhead]);
        }
        if (text[j] < rows.feature_count) model.add_scores(text[j], scores);
      }
      const std::uint32_t label = rows.labels[i];
      std::uint32_t rival = label == 0 ? 1 : 0;
      for (std::uint32_t c = 0; c < classes; ++c) {
        if (c != label && scores[c] > scores[rival]) rival = c;
      }
      if (classes < 2 || scores[label] - scores[rival] >= margin) continue;
      const float moved = step * rows.sample_value(i);  // the text's sample weight scales its update
      const auto weighted = static_cast<float>(counter * moved);
      for (const std::uint32_t f : text) {
        if (f >= rows.feature_count) continue;
        model.move(f, label, moved, weighted);
        model.move(f, rival, -moved, static_cast<float>(counter * -moved));
      }
      bias[label] += moved;
      bias[rival] -= moved;
      bias_u[label] += weighted;
      bias_u[rival] -= weighted;
    }
  }
  if (counter == 0.0) return cut;
  const double inverse = 1.0 / counter;
  LinearModel out(rows.feature_count, classes);
  model.average_into(out, [inverse](float w, float u) {
    // A kept weight that averages to exactly 0 would read as dropped: keep it just off zero.
    const auto average = static_cast<float>(w - u * inverse);
    return average == 0.0f ? std::numeric_limits<float>::min() : average;
  });
  for (std::uint32_t c = 0; c < classes; ++c) out.bias[c] = static_cast<float>(bias[c] - bias_u[c] * inverse);
  return out;
}

}  // namespace

LinearModel refit_cut(const LabelledRows& rows, const LinearModel& cut, const RefitOptions& options) {
  const std::uint32_t classes = rows.class_count;
  if (cut.feature_count != rows.feature_count || cut.class_count != classes ||
      cut.weights.size() != std::size_t{rows.feature_count} * classes || cut.bias.size() != classes) {
    throw std::invalid_argument("the cut model must have the shape (feature_count, class_count)");
  }
  if (!(options.step > 0.0) || !std::isfinite(options.step) || !std::isfinite(options.margin)) {
    throw std::invalid_argument("step must be a positive number and margin finite");
  }
  double magnitude = 0.0;
  std::size_t kept_count = 0;
  for (const float weight : cut.weights) {
    if (weight == 0.0f) continue;
    magnitude += std::abs(weight);
    ++kept_count;
  }
  magnitude = kept_count > 0 ? magnitude / static_cast<double>(kept_count) : 1.0;
  if (classes >= kCompactFromClasses) return refit(rows, cut, CompactRows(cut), magnitude, options);
  return refit(rows, cut, DenseRows(cut), magnitude, options);
}

}  // namespace ombrel::learners
