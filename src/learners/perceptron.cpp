#include "learners/perceptron.h"

#include <numeric>
#include <stdexcept>

#include "learners/shuffler.h"

namespace ombrel::learners {

namespace {

void check_initial(const LinearModel* initial, const LabelledRows& rows) {
  if (initial == nullptr) return;
  if (initial->feature_count != rows.feature_count || initial->class_count != rows.class_count ||
      initial->weights.size() != std::size_t{rows.feature_count} * rows.class_count ||
      initial->bias.size() != rows.class_count) {
    throw std::invalid_argument("initial weights must have the shape (feature_count, class_count)");
  }
}

// kScaled false: every value is 1, a constant the compiler folds away (binary rows as they were).
template <bool kScaled>
LinearModel fit(const LabelledRows& rows, const PerceptronOptions& options) {
  const std::uint32_t classes = rows.class_count;
  LinearModel w = options.initial != nullptr ? *options.initial : LinearModel(rows.feature_count, classes);
  // Accumulators of step * update, in float to halve the memory: each addition rounds by at most
  // 2^-24 of the sum, so u / S is off by far less than one update while updates * 2^-24 stays small.
  LinearModel u(options.average ? rows.feature_count : 0, options.average ? classes : 0);
  std::vector<float> scores(classes);
  std::vector<std::uint32_t> order(rows.size());
  std::iota(order.begin(), order.end(), 0u);
  Shuffler shuffler(options.seed);
  double step = 0.0;
  for (std::uint32_t epoch = 0; epoch < options.epochs; ++epoch) {
    shuffler.shuffle(order);
    for (const std::uint32_t i : order) {
      step += 1.0;
      const std::span<const std::uint32_t> text = rows.row(i);
      // A value of 1 multiplies exactly: unscaled rows score as sums of weights, to the bit.
      const float row_value = kScaled ? rows.row_value(i) : 1.0f;
      const float intercept_input = kScaled && options.intercept_by_row ? row_value : 1.0f;
      scores.assign(w.bias.begin(), w.bias.end());
      if (intercept_input != 1.0f) {
        for (float& score : scores) score *= intercept_input;
      }
      for (const std::uint32_t f : text) {
        if (f >= rows.feature_count) continue;
        const float* weights = w.row(f).data();
        const float x = kScaled ? rows.feature_value(f) * row_value : 1.0f;
        for (std::uint32_t c = 0; c < classes; ++c) scores[c] += x * weights[c];
      }
      const std::uint32_t label = rows.labels[i];
      std::uint32_t predicted = label == 0 ? 1 : 0;  // the best other class
      for (std::uint32_t c = 0; c < classes; ++c) {
        if (c != label && scores[c] > scores[predicted]) predicted = c;
      }
      if (classes < 2 || scores[label] - scores[predicted] > options.margin) continue;
      const auto weighted = static_cast<float>(step);
      // The text's sample weight scales its update (not its scores): 1 multiplies exactly.
      const float sample = rows.sample_value(i);
      if (options.fit_intercept) {
        w.bias[label] += intercept_input * sample;
        w.bias[predicted] -= intercept_input * sample;
        if (options.average) {
          u.bias[label] += weighted * intercept_input * sample;
          u.bias[predicted] -= weighted * intercept_input * sample;
        }
      }
      for (const std::uint32_t f : text) {
        if (f >= rows.feature_count) continue;
        const std::size_t at = std::size_t{f} * classes;
        const float x = (kScaled ? rows.feature_value(f) * row_value : 1.0f) * sample;
        w.weights[at + label] += x;
        w.weights[at + predicted] -= x;
        if (options.average) {
          const float weighted_x = weighted * x;
          u.weights[at + label] += weighted_x;
          u.weights[at + predicted] -= weighted_x;
        }
      }
    }
  }
  if (options.average && step > 0.0) {
    const double inverse = 1.0 / step;
    for (std::size_t k = 0; k < w.weights.size(); ++k) {
      w.weights[k] = static_cast<float>(w.weights[k] - u.weights[k] * inverse);
    }
    for (std::uint32_t c = 0; c < classes; ++c)
      w.bias[c] = static_cast<float>(w.bias[c] - u.bias[c] * inverse);
  }
  return w;
}

}  // namespace

LinearModel fit_perceptron(const LabelledRows& rows, const PerceptronOptions& options) {
  check_initial(options.initial, rows);
  return rows.weighted() ? fit<true>(rows, options) : fit<false>(rows, options);
}

}  // namespace ombrel::learners
