#include "learners/naive_bayes.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace ombrel::learners {

void NaiveBayesCounts::add(const NaiveBayesCounts& other) {
  if (other.feature_count != feature_count || other.class_count != class_count ||
      other.feature_counts.size() != feature_counts.size() ||
      other.class_texts.size() != class_texts.size()) {
    throw std::invalid_argument("naive Bayes counts of different shapes cannot be added");
  }
  for (std::size_t i = 0; i < feature_counts.size(); ++i) feature_counts[i] += other.feature_counts[i];
  for (std::size_t c = 0; c < class_texts.size(); ++c) class_texts[c] += other.class_texts[c];
}

NaiveBayesCounts count_naive_bayes(const LabelledRows& rows) {
  NaiveBayesCounts counts(rows.feature_count, rows.class_count);
  const std::uint32_t classes = rows.class_count;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::uint32_t label = rows.labels[i];
    const double sample = rows.sample_value(i);
    counts.class_texts[label] += sample;
    // Each occurrence adds its value times the text's weight (without a weight, a product of two
    // floats and so exact in a double).
    const double row_value = rows.row_value(i) * sample;
    for (const std::uint32_t f : rows.row(i)) {
      if (f < rows.feature_count) {
        counts.feature_counts[std::size_t{f} * classes + label] += rows.feature_value(f) * row_value;
      }
    }
  }
  return counts;
}

LinearModel naive_bayes_model(const NaiveBayesCounts& counts, double alpha, bool fit_prior) {
  return naive_bayes_model(counts.feature_count, counts.class_count, counts.feature_counts,
                           counts.class_texts, alpha, fit_prior);
}

LinearModel naive_bayes_model(std::uint32_t features, std::uint32_t classes,
                              std::span<const double> feature_counts, std::span<const double> class_texts,
                              double alpha, bool fit_prior) {
  if (!(alpha > 0.0) || !std::isfinite(alpha)) throw std::invalid_argument("alpha must be a positive number");
  if (classes == 0) throw std::invalid_argument("class_count must be at least 1");
  if (feature_counts.size() != std::size_t{features} * classes || class_texts.size() != classes) {
    throw std::invalid_argument("naive Bayes counts do not match their shape");
  }
  // Row by row (a remainder per cell would cost a division each); each class's total adds its counts
  // in feature order either way.
  std::vector<double> totals(classes, 0.0);
  for (std::size_t row = 0; row < feature_counts.size(); row += classes) {
    const double* n = feature_counts.data() + row;
    for (std::uint32_t c = 0; c < classes; ++c) {
      if (!(n[c] >= 0.0)) throw std::invalid_argument("naive Bayes counts must not be negative");
      totals[c] += n[c];
    }
  }
  double texts = 0.0;
  for (const double n : class_texts) {
    if (!(n >= 0.0)) throw std::invalid_argument("naive Bayes counts must not be negative");
    texts += n;
  }

  LinearModel model(features, classes);
  std::vector<double> log_denominator(classes);
  for (std::uint32_t c = 0; c < classes; ++c) {
    log_denominator[c] = std::log(totals[c] + alpha * features);
  }
  // Most (feature, class) counts are 0, whose weight is the class's own constant: one log per class
  // for them (0 + alpha is alpha exactly, so the weights are those of a log per cell).
  std::vector<float> unseen(classes);
  for (std::uint32_t c = 0; c < classes; ++c) {
    unseen[c] = static_cast<float>(std::log(alpha) - log_denominator[c]);
  }
  for (std::size_t row = 0; row < feature_counts.size(); row += classes) {
    const double* n = feature_counts.data() + row;
    float* w = model.weights.data() + row;
    for (std::uint32_t c = 0; c < classes; ++c) {
      w[c] = n[c] == 0.0 ? unseen[c] : static_cast<float>(std::log(n[c] + alpha) - log_denominator[c]);
    }
  }
  const double uniform = -std::log(static_cast<double>(classes));
  for (std::uint32_t c = 0; c < classes; ++c) {
    double prior = uniform;
    if (fit_prior && texts > 0.0) {
      // An empty class gets a prior below every real one: as if it had a tenth of a text.
      prior = std::log(std::max(class_texts[c], 0.1) / texts);
    }
    model.bias[c] = static_cast<float>(prior);
  }
  return model;
}

}  // namespace ombrel::learners
