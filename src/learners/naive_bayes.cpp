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
    counts.class_texts[label] += 1.0;
    for (const std::uint32_t f : rows.row(i)) {
      if (f < rows.feature_count) counts.feature_counts[std::size_t{f} * classes + label] += 1.0;
    }
  }
  return counts;
}

LinearModel naive_bayes_model(const NaiveBayesCounts& counts, double alpha, bool fit_prior) {
  if (!(alpha > 0.0) || !std::isfinite(alpha)) throw std::invalid_argument("alpha must be a positive number");
  const std::uint32_t features = counts.feature_count;
  const std::uint32_t classes = counts.class_count;
  if (classes == 0) throw std::invalid_argument("class_count must be at least 1");
  if (counts.feature_counts.size() != std::size_t{features} * classes ||
      counts.class_texts.size() != classes) {
    throw std::invalid_argument("naive Bayes counts do not match their shape");
  }
  std::vector<double> totals(classes, 0.0);
  for (std::size_t i = 0; i < counts.feature_counts.size(); ++i) {
    const double n = counts.feature_counts[i];
    if (!(n >= 0.0)) throw std::invalid_argument("naive Bayes counts must not be negative");
    totals[i % classes] += n;
  }
  double texts = 0.0;
  for (const double n : counts.class_texts) {
    if (!(n >= 0.0)) throw std::invalid_argument("naive Bayes counts must not be negative");
    texts += n;
  }

  LinearModel model(features, classes);
  std::vector<double> log_denominator(classes);
  for (std::uint32_t c = 0; c < classes; ++c) {
    log_denominator[c] = std::log(totals[c] + alpha * features);
  }
  for (std::size_t i = 0; i < counts.feature_counts.size(); ++i) {
    model.weights[i] =
        static_cast<float>(std::log(counts.feature_counts[i] + alpha) - log_denominator[i % classes]);
  }
  const double uniform = -std::log(static_cast<double>(classes));
  for (std::uint32_t c = 0; c < classes; ++c) {
    double prior = uniform;
    if (fit_prior && texts > 0.0) {
      // An empty class gets a prior below every real one: as if it had a tenth of a text.
      prior = std::log(std::max(counts.class_texts[c], 0.1) / texts);
    }
    model.bias[c] = static_cast<float>(prior);
  }
  return model;
}

}  // namespace ombrel::learners
