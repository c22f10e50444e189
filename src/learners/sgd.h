// A linear model by stochastic gradient descent: one binary classifier per class against the rest,
// as scikit-learn's SGDClassifier does, with the same losses, L2 penalty and learning-rate schedule,
// so that users get the model they know from one call on token ids.
//
// For each text in a shuffled order, at step t (from 0), for every class c with target y = +1 when c
// is the text's class and -1 otherwise, and score p = w_c . x + b_c:
//   g     = class_weight[label] * sample_weight[i] * loss'(p, y)
//   w_c  -= eta * g * x          b_c -= eta * g * kInterceptDecay
//   w    *= 1 - eta * alpha      (all classes: the L2 penalty)
//   eta   = 1 / (alpha * (t0 + t)), t0 = 1 / (alpha * eta0), eta0 = sqrt(1 / sqrt(alpha))
// (Bottou's "optimal" schedule with scikit-learn's choice of t0, valid for the three losses below.)
// x is the text's feature vector: x_f is the value of id f in the text (LabelledRows: 1 for every id
// without scales, feature_scale[f] * row_scale[i] with them). Without an intercept b_c stays at its
// start (0) and the update skips it, as scikit-learn's fit_intercept=False. Two classes are one problem (class 1 against class 0;
// class 0's weights stay 0), as in scikit-learn. The penalty scales every weight at every step, so the
// weights are kept as scale * v and only the scale changes; v is touched only at the text's features.
#pragma once

#include <cstdint>
#include <span>

#include "learners/labelled_rows.h"
#include "pool/thread_pool.h"

namespace ombrel::learners {

enum class Loss : std::uint8_t {
  kHinge,  // a linear SVM: max(0, 1 - y p)
  kLog,    // logistic regression: log(1 + exp(-y p))
  // A quadratically smoothed hinge, robust to outliers: max(0, 1 - y p)^2 for y p >= -1, else -4 y p.
  kModifiedHuber,
};

struct SgdOptions {
  Loss loss = Loss::kHinge;
  double alpha = 1e-4;  // L2 penalty; also sets the learning rate
  std::uint32_t epochs = 5;
  std::uint64_t seed = 0;
  std::span<const double> class_weights;  // empty, or one positive weight per class
  const LinearModel* initial = nullptr;   // weights to start from (see PerceptronOptions)
  // The step count t the schedule starts from: a fit that continues an earlier one (from its
  // weights, `initial`) takes the smaller steps that fit would have reached, not the first ones.
  std::uint64_t first_step = 0;
  // False: no bias is learned (it keeps the initial one, 0 without `initial`). Rows scaled to unit
  // norm then score by direction alone, which a model without per-text scaling can reproduce.
  bool fit_intercept = true;
  // True: the intercept's input is the text's row_scale instead of 1, as if every row held one more
  // feature of value 1 before it was scaled (unpenalized, with the intercept's decayed steps). A
  // model of unit-norm rows then needs no per-text scale to reproduce: multiplied by each row's
  // norm, its scores are the idf-weighted sums plus the bias.
  bool intercept_by_row = false;
};

// scikit-learn shrinks the intercept's steps on sparse data, where every text moves it but each
// feature only rarely; its value, kept for results comparable with it.
inline constexpr double kInterceptDecay = 0.01;

// REQUIRES: check_rows(rows) passed. Throws std::invalid_argument for alpha <= 0, class weights of the
// wrong count or not positive, or initial weights of the wrong shape. With a pool and at least 32
// classes, the classes' problems are divided among its workers (each part makes its own pass over the
// texts); the result is the same to the bit as without one.
LinearModel fit_sgd(const LabelledRows& rows, const SgdOptions& options, pool::ThreadPool* pool = nullptr);

// The derivative of the loss with respect to the score p, for target y = +-1.
double loss_derivative(Loss loss, double p, double y);

}  // namespace ombrel::learners
