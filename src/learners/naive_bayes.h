// Multinomial naive Bayes on token ids.
//
// Fitting is counting: how often each feature occurs in the texts of each class, and how many texts
// each class has. With scaled rows (LabelledRows) each occurrence counts its value instead of 1, as
// MultinomialNB sums TF-IDF values; a class's texts are counted as before. Counts of disjoint parts of a training set add up to the counts of the whole
// (NaiveBayesCounts::add), so a distributed fit counts its partitions where they lie, sums the counts
// once and turns the sum into weights here; the result equals a fit on all the texts in one place.
// Counts are kept as doubles: integers are exact in them up to 2^53, and numpy users get float64.
//
// Weights (additive smoothing alpha > 0):
//   weight[f][c] = log((count[f][c] + alpha) / (total[c] + alpha * feature_count))
//   bias[c]      = log(texts[c] / texts)  with fit_prior, else log(1 / class_count)
// where total[c] is the sum of count[.][c]. A class without any text gets the prior of a tenth of a
// text instead of log 0, which keeps every weight finite (the field has no minus infinity).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "learners/labelled_rows.h"

namespace ombrel::learners {

struct NaiveBayesCounts {
  std::uint32_t feature_count = 0;
  std::uint32_t class_count = 0;
  std::vector<double> feature_counts;  // feature-major, feature_count * class_count
  std::vector<double> class_texts;     // texts per class

  NaiveBayesCounts() = default;
  NaiveBayesCounts(std::uint32_t features, std::uint32_t classes)
      : feature_count(features),
        class_count(classes),
        feature_counts(std::size_t{features} * classes, 0.0),
        class_texts(classes, 0.0) {}

  // Adds another part's counts. Throws std::invalid_argument when the shapes differ.
  void add(const NaiveBayesCounts& other);
};

// REQUIRES: check_rows(rows) passed.
NaiveBayesCounts count_naive_bayes(const LabelledRows& rows);

// Throws std::invalid_argument for alpha <= 0 (or not a number), a negative count, or counts whose
// vectors do not match their shape.
LinearModel naive_bayes_model(const NaiveBayesCounts& counts, double alpha, bool fit_prior);
// The same on counts held elsewhere (feature-major feature_counts, class_texts), without a copy.
LinearModel naive_bayes_model(std::uint32_t feature_count, std::uint32_t class_count,
                              std::span<const double> feature_counts, std::span<const double> class_texts,
                              double alpha, bool fit_prior);

}  // namespace ombrel::learners
