// A linear SVM with the squared hinge loss, solved to convergence by dual coordinate descent
// (Hsieh, Chang, Lin, Keerthi and Sundararajan, ICML 2008), one class against the rest.
//
// For each class c, with y_i = +1 for the texts of c and -1 for the others, it minimizes
//   1/2 |w|^2 + 1/2 b^2 + C * sum_i weight_i * max(0, 1 - y_i (w . x_i + b * u_i))^2
// where x_i is the text's feature vector (LabelledRows' values), weight_i its class weight times its
// sample weight and u_i the intercept's input (1, or the text's row_scale with intercept_by_row: a
// constant feature of the row before its scaling). The intercept is penalized like a weight, as a
// constant column is (LIBLINEAR's bias); without fit_intercept it stays 0.
//
// The dual is solved one text's variable at a time in a shuffled order per pass, with shrinking of
// the variables that sit at their bound; a problem stops when the spread of the projected gradient
// over a pass (max - min) is at most tol, or after max_passes passes. Texts of weight 0 take no
// part. Two classes are one problem (class 1 against class 0; class 0's weights stay 0), as SGD.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "learners/labelled_rows.h"
#include "pool/thread_pool.h"

namespace ombrel::learners {

struct SvmOptions {
  double c = 1.0;           // the loss's weight against the penalty
  double tol = 0.1;         // the stopping spread of the projected gradient
  std::uint32_t max_passes = 1000;
  std::uint64_t seed = 0;
  std::span<const double> class_weights;  // empty, or one positive weight per class
  bool fit_intercept = true;
  bool intercept_by_row = false;
};

struct SvmFit {
  LinearModel model;
  // Per problem (one, or one per class), the passes it took; max_passes means it did not converge.
  std::vector<std::uint32_t> passes;
};

// REQUIRES: check_rows(rows) passed. Throws std::invalid_argument for c <= 0, tol <= 0, max_passes 0,
// or class weights of the wrong count or not positive. With a pool, the classes' problems are divided
// among its workers; each problem is solved alone, so the result does not depend on the pool.
SvmFit fit_linear_svm(const LabelledRows& rows, const SvmOptions& options, pool::ThreadPool* pool = nullptr);

}  // namespace ombrel::learners
