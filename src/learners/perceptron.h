// The averaged multiclass perceptron.
//
// For each text in a shuffled order: score every class, and when the best-scoring class (the first
// on ties) is not the text's class, add 1 to the text's features' weights and bias for its class and
// subtract 1 for the predicted one. The model returned is the average of the weights that scored
// each text of every pass, which generalises far better than the last weights (Freund and
// Schapire's voted perceptron, in Collins' averaged form).
//
// The average is kept without touching every weight at every step: with s counting the texts seen
// (from 1), an update d made at step s also adds s * d to an accumulator u; after the last step S
// the average of the weights before each step is w - u / S, since update s is part of S - s of them.
#pragma once

#include <cstdint>

#include "learners/labelled_rows.h"

namespace ombrel::learners {

struct PerceptronOptions {
  std::uint32_t epochs = 5;
  std::uint64_t seed = 0;
  bool average = true;
  // Weights to start from (same shape as the result), for iterative parameter mixing: every
  // partition starts a pass from the average of the previous pass's models. Null for zeros.
  const LinearModel* initial = nullptr;
};

// REQUIRES: check_rows(rows) passed. Throws std::invalid_argument when initial has another shape.
LinearModel fit_perceptron(const LabelledRows& rows, const PerceptronOptions& options);

}  // namespace ombrel::learners
