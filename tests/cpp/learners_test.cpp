// The learners on small labelled sets whose answers are known, and the field compiler against a
// decoder of its records and a brute-force search for the best cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "learners/field_compiler.h"
#include "learners/labelled_rows.h"
#include "learners/linear_svm.h"
#include "learners/naive_bayes.h"
#include "learners/perceptron.h"
#include "learners/sgd.h"
#include "learners/shuffler.h"
#include "learners/slot_refit.h"

namespace ombrel::learners {
namespace {

// Texts as lists of ids, flattened the way the text pipeline hands them over.
struct Texts {
  std::vector<std::uint32_t> ids;
  std::vector<std::uint64_t> offsets{0};
  std::vector<std::uint32_t> labels;

  void add(std::vector<std::uint32_t> text, std::uint32_t label) {
    ids.insert(ids.end(), text.begin(), text.end());
    offsets.push_back(ids.size());
    labels.push_back(label);
  }
  LabelledRows rows(std::uint32_t features, std::uint32_t classes) const {
    return LabelledRows{ids, offsets, labels, features, classes};
  }
};

// Each class owns four features (4c .. 4c + 3); every text holds two of its class's features and two
// shared noise features (ids 4 * classes ...).
Texts separable(std::uint32_t classes, std::uint32_t per_class, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Texts t;
  for (std::uint32_t i = 0; i < per_class; ++i) {
    for (std::uint32_t c = 0; c < classes; ++c) {
      const auto a = static_cast<std::uint32_t>(rng() % 4);
      const auto b = static_cast<std::uint32_t>((a + 1 + rng() % 3) % 4);
      const auto noise1 = static_cast<std::uint32_t>(rng() % 3);
      const auto noise2 = static_cast<std::uint32_t>(rng() % 3);
      t.add({4 * c + a, 4 * c + b, 4 * classes + noise1, 4 * classes + 3 + noise2}, c);
    }
  }
  return t;
}
constexpr std::uint32_t separable_features(std::uint32_t classes) {
  return 4 * classes + 6;
}

double accuracy(const LinearModel& model, const Texts& t) {
  const std::vector<std::uint32_t> predicted = predict(model, t.ids, t.offsets);
  std::size_t hits = 0;
  for (std::size_t i = 0; i < predicted.size(); ++i) hits += predicted[i] == t.labels[i];
  return static_cast<double>(hits) / static_cast<double>(predicted.size());
}

TEST(LabelledRows, MalformedInputIsRefusedWithTheProblemNamed) {
  Texts t;
  t.add({0, 1}, 0);
  t.add({2}, 1);
  EXPECT_NO_THROW(check_rows(t.rows(3, 2)));
  EXPECT_THROW(check_rows(t.rows(3, 0)), std::invalid_argument);
  EXPECT_THROW(check_rows(t.rows(3, 1)), std::invalid_argument);  // label 1 is not below 1

  Texts bad = t;
  bad.offsets.back() = 2;  // does not end at ids.size()
  EXPECT_THROW(check_rows(bad.rows(3, 2)), std::invalid_argument);
  bad = t;
  bad.offsets = {0, 3, 2, 3};  // decreasing, and one entry too many
  bad.labels.push_back(0);
  EXPECT_THROW(check_rows(bad.rows(3, 2)), std::invalid_argument);
  bad = t;
  bad.offsets.pop_back();
  EXPECT_THROW(check_rows(bad.rows(3, 2)), std::invalid_argument);
  bad = t;
  bad.offsets[0] = 1;
  EXPECT_THROW(check_rows(bad.rows(3, 2)), std::invalid_argument);
}

TEST(NaiveBayes, CountsAndWeightsFollowTheFormulaAndIdsBeyondTheFeaturesAreSkipped) {
  Texts t;
  t.add({0, 1, 7}, 0);  // 7 >= feature_count: skipped
  t.add({1, 1}, 0);     // a repeated id counts twice
  t.add({2}, 1);
  const NaiveBayesCounts counts = count_naive_bayes(t.rows(3, 2));
  EXPECT_EQ(counts.feature_counts, (std::vector<double>{1, 0, 3, 0, 0, 1}));
  EXPECT_EQ(counts.class_texts, (std::vector<double>{2, 1}));

  const LinearModel model = naive_bayes_model(counts, 0.5, true);
  // class 0: total 4, class 1: total 1; denominators 4 + 1.5 and 1 + 1.5.
  EXPECT_FLOAT_EQ(model.weights[0], std::log(1.5 / 5.5));
  EXPECT_FLOAT_EQ(model.weights[1], std::log(0.5 / 2.5));
  EXPECT_FLOAT_EQ(model.weights[2], std::log(3.5 / 5.5));
  EXPECT_FLOAT_EQ(model.weights[5], std::log(1.5 / 2.5));
  EXPECT_FLOAT_EQ(model.bias[0], std::log(2.0 / 3.0));
  EXPECT_FLOAT_EQ(model.bias[1], std::log(1.0 / 3.0));
  const LinearModel flat = naive_bayes_model(counts, 0.5, false);
  EXPECT_FLOAT_EQ(flat.bias[0], std::log(0.5));
  EXPECT_FLOAT_EQ(flat.bias[1], std::log(0.5));

  EXPECT_THROW(naive_bayes_model(counts, 0.0, true), std::invalid_argument);
  EXPECT_THROW(naive_bayes_model(counts, std::nan(""), true), std::invalid_argument);
  NaiveBayesCounts negative = counts;
  negative.feature_counts[3] = -1;
  EXPECT_THROW(naive_bayes_model(negative, 1.0, true), std::invalid_argument);
  negative.feature_counts[3] = std::nan("");
  EXPECT_THROW(naive_bayes_model(negative, 1.0, true), std::invalid_argument);
  // On counts held elsewhere: the same model, and the shape checked against the spans.
  const LinearModel viewed = naive_bayes_model(counts.feature_count, counts.class_count,
                                               counts.feature_counts, counts.class_texts, 0.5, true);
  EXPECT_EQ(viewed.weights, model.weights);
  EXPECT_EQ(viewed.bias, model.bias);
  EXPECT_THROW(naive_bayes_model(counts.feature_count + 1, counts.class_count, counts.feature_counts,
                                 counts.class_texts, 0.5, true),
               std::invalid_argument);
}

TEST(NaiveBayes, CountsOfPartsAddUpToTheCountsOfTheWhole) {
  const Texts all = separable(5, 40, 3);
  Texts first;
  Texts second;
  for (std::size_t i = 0; i < all.labels.size(); ++i) {
    const std::vector<std::uint32_t> text(all.ids.begin() + static_cast<std::ptrdiff_t>(all.offsets[i]),
                                          all.ids.begin() + static_cast<std::ptrdiff_t>(all.offsets[i + 1]));
    (i % 3 == 0 ? first : second).add(text, all.labels[i]);
  }
  const std::uint32_t features = separable_features(5);
  NaiveBayesCounts sum = count_naive_bayes(first.rows(features, 5));
  sum.add(count_naive_bayes(second.rows(features, 5)));
  const NaiveBayesCounts whole = count_naive_bayes(all.rows(features, 5));
  EXPECT_EQ(sum.feature_counts, whole.feature_counts);
  EXPECT_EQ(sum.class_texts, whole.class_texts);
  EXPECT_THROW(sum.add(NaiveBayesCounts(features, 4)), std::invalid_argument);
  EXPECT_EQ(accuracy(naive_bayes_model(whole, 1.0, true), all), 1.0);
}

TEST(NaiveBayes, AClassWithoutTextsKeepsFiniteWeightsAndNeverWins) {
  Texts t;
  t.add({0}, 0);
  t.add({1}, 2);
  const LinearModel model = naive_bayes_model(count_naive_bayes(t.rows(2, 3)), 1.0, true);
  for (const float w : model.weights) EXPECT_TRUE(std::isfinite(w));
  EXPECT_LT(model.bias[1], model.bias[0]);
  EXPECT_EQ(predict(model, t.ids, t.offsets), (std::vector<std::uint32_t>{0, 2}));
}

TEST(Perceptron, LearnsSeparableClassesAndIsReproducibleFromItsSeed) {
  const Texts train = separable(6, 30, 1);
  const Texts test = separable(6, 10, 2);
  const std::uint32_t features = separable_features(6);
  for (const bool average : {true, false}) {
    PerceptronOptions options;
    options.average = average;
    options.seed = 7;
    const LinearModel a = fit_perceptron(train.rows(features, 6), options);
    EXPECT_EQ(accuracy(a, test), 1.0) << "average " << average;
    const LinearModel b = fit_perceptron(train.rows(features, 6), options);
    EXPECT_EQ(a.weights, b.weights);
    options.seed = 8;
    EXPECT_NE(fit_perceptron(train.rows(features, 6), options).weights, a.weights);
  }
}

TEST(Perceptron, TheAverageIsTheMeanOfTheWeightsThatScoredEachText) {
  // Two texts, one pass each, in an order fixed by the seed: step by step by hand.
  Texts t;
  t.add({0}, 1);
  t.add({1}, 0);
  PerceptronOptions options;
  options.epochs = 3;
  options.margin = 0.5;
  const LinearModel averaged = fit_perceptron(t.rows(2, 2), options);
  options.average = false;
  // Replay the same order without averaging, one step at a time, and average by hand.
  LinearModel running(2, 2);
  LinearModel sum(2, 2);
  std::vector<std::uint32_t> order{0, 1};
  Shuffler shuffler(0);
  for (int epoch = 0; epoch < 3; ++epoch) {
    shuffler.shuffle(order);
    for (const std::uint32_t i : order) {
      for (std::size_t k = 0; k < 4; ++k) sum.weights[k] += running.weights[k];
      for (std::size_t c = 0; c < 2; ++c) sum.bias[c] += running.bias[c];
      const std::uint32_t f = t.ids[i];
      const std::uint32_t label = t.labels[i];
      const float s0 = running.bias[0] + running.weights[2 * f];
      const float s1 = running.bias[1] + running.weights[2 * f + 1];
      const float margin = label == 0 ? s0 - s1 : s1 - s0;
      if (margin > 0.5f) continue;
      const std::uint32_t predicted = 1 - label;
      running.weights[2 * f + label] += 1;
      running.weights[2 * f + predicted] -= 1;
      running.bias[label] += 1;
      running.bias[predicted] -= 1;
    }
  }
  for (std::size_t k = 0; k < 4; ++k) EXPECT_FLOAT_EQ(averaged.weights[k], sum.weights[k] / 6) << k;
  for (std::size_t c = 0; c < 2; ++c) EXPECT_FLOAT_EQ(averaged.bias[c], sum.bias[c] / 6) << c;
  EXPECT_EQ(fit_perceptron(t.rows(2, 2), options).weights, running.weights);
}

TEST(Perceptron, StartsFromInitialWeightsOfTheRightShapeOnly) {
  Texts t;
  t.add({0}, 1);
  LinearModel initial(2, 2);
  initial.weights = {0, 5, 0, 0};  // already right by more than the margin: no update
  initial.bias = {1, 0};
  PerceptronOptions options;
  options.margin = 3.5;
  options.initial = &initial;
  const LinearModel out = fit_perceptron(t.rows(2, 2), options);
  EXPECT_EQ(out.weights, initial.weights);
  EXPECT_EQ(out.bias, initial.bias);
  LinearModel wrong(3, 2);
  options.initial = &wrong;
  EXPECT_THROW(fit_perceptron(t.rows(2, 2), options), std::invalid_argument);
}

TEST(Sgd, LossDerivativesMatchTheirDefinitions) {
  EXPECT_EQ(loss_derivative(Loss::kHinge, 0.5, 1), -1);
  EXPECT_EQ(loss_derivative(Loss::kHinge, 1.5, 1), 0);
  EXPECT_EQ(loss_derivative(Loss::kHinge, 0.5, -1), 1);
  EXPECT_DOUBLE_EQ(loss_derivative(Loss::kLog, 0.0, 1), -0.5);
  EXPECT_NEAR(loss_derivative(Loss::kLog, 2.0, -1), 1 / (std::exp(-2.0) + 1), 1e-15);
  EXPECT_NEAR(loss_derivative(Loss::kLog, 30.0, 1), -std::exp(-30.0), 1e-25);
  EXPECT_EQ(loss_derivative(Loss::kLog, -800.0, 1), -1);
  EXPECT_DOUBLE_EQ(loss_derivative(Loss::kModifiedHuber, 0.5, 1), -1.0);
  EXPECT_DOUBLE_EQ(loss_derivative(Loss::kModifiedHuber, -3.0, 1), -4.0);
  EXPECT_DOUBLE_EQ(loss_derivative(Loss::kModifiedHuber, 1.0, 1), 0.0);
  // The derivative of the log loss against a finite difference.
  const double p = 0.3;
  const double h = 1e-6;
  const auto log_loss = [](double q) { return std::log1p(std::exp(-q)); };
  EXPECT_NEAR(loss_derivative(Loss::kLog, p, 1), (log_loss(p + h) - log_loss(p - h)) / (2 * h), 1e-8);
}

TEST(Sgd, EveryLossLearnsSeparableClassesAndThePenaltyShrinksTheWeights) {
  const Texts train = separable(4, 40, 5);
  const Texts test = separable(4, 10, 6);
  const std::uint32_t features = separable_features(4);
  for (const Loss loss : {Loss::kHinge, Loss::kLog, Loss::kModifiedHuber}) {
    SgdOptions options;
    options.loss = loss;
    const LinearModel model = fit_sgd(train.rows(features, 4), options);
    EXPECT_EQ(accuracy(model, test), 1.0) << static_cast<int>(loss);
    options.alpha = 0.1;
    const LinearModel strong = fit_sgd(train.rows(features, 4), options);
    double norm = 0;
    double strong_norm = 0;
    for (std::size_t k = 0; k < model.weights.size(); ++k) {
      norm += model.weights[k] * model.weights[k];
      strong_norm += strong.weights[k] * strong.weights[k];
    }
    EXPECT_LT(strong_norm, norm) << static_cast<int>(loss);
  }
}

TEST(Sgd, ClassWeightsMoveTheBoundaryAndBadSettingsAreRefused) {
  // Feature 0 appears in both classes equally; a heavy class 1 must win it.
  Texts t;
  for (int i = 0; i < 20; ++i) {
    t.add({0}, 0);
    t.add({0}, 1);
  }
  Texts probe;
  probe.add({0}, 0);
  SgdOptions options;
  const std::vector<double> heavy_one{1.0, 5.0};
  options.class_weights = heavy_one;
  EXPECT_EQ(predict(fit_sgd(t.rows(1, 2), options), probe.ids, probe.offsets)[0], 1u);
  const std::vector<double> heavy_zero{5.0, 1.0};
  options.class_weights = heavy_zero;
  EXPECT_EQ(predict(fit_sgd(t.rows(1, 2), options), probe.ids, probe.offsets)[0], 0u);

  const std::vector<double> three{1, 1, 1};
  options.class_weights = three;
  EXPECT_THROW(fit_sgd(t.rows(1, 2), options), std::invalid_argument);
  const std::vector<double> zero{1, 0};
  options.class_weights = zero;
  EXPECT_THROW(fit_sgd(t.rows(1, 2), options), std::invalid_argument);
  options.class_weights = {};
  options.alpha = 0;
  EXPECT_THROW(fit_sgd(t.rows(1, 2), options), std::invalid_argument);
}

TEST(Sgd, TwoClassesAreOneProblemWhoseWeightsAreClassOnes) {
  const Texts train = separable(2, 40, 8);
  const LinearModel model = fit_sgd(train.rows(separable_features(2), 2), SgdOptions{});
  for (std::uint32_t f = 0; f < model.feature_count; ++f) EXPECT_EQ(model.row(f)[0], 0.0f);
  EXPECT_EQ(model.bias[0], 0.0f);
  EXPECT_GT(model.row(4)[1], 0.0f);  // a feature of class 1
  EXPECT_LT(model.row(0)[1], 0.0f);  // a feature of class 0
  EXPECT_EQ(accuracy(model, separable(2, 10, 9)), 1.0);
  // A starting model counts by its difference: no pass, so the result is that difference.
  LinearModel initial(separable_features(2), 2);
  initial.row(3)[0] = 2.0f;
  initial.row(3)[1] = 0.5f;
  initial.bias = {1.0f, 4.0f};
  SgdOptions options;
  options.epochs = 0;
  options.initial = &initial;
  const LinearModel start = fit_sgd(train.rows(separable_features(2), 2), options);
  EXPECT_EQ(start.row(3)[1], -1.5f);
  EXPECT_EQ(start.bias[1], 3.0f);
}

TEST(Sgd, DividingTheClassesOverAPoolGivesTheSerialResultToTheBit) {
  pool::ThreadPool pool(3);
  for (const std::uint32_t classes : {2u, 20u, 32u, 50u}) {
    const Texts train = separable(classes, 10, classes);
    for (const Loss loss : {Loss::kHinge, Loss::kLog}) {
      SgdOptions options;
      options.loss = loss;
      options.alpha = 1e-3;
      const std::vector<double> weights(classes, 1.5);
      options.class_weights = weights;
      const LinearModel serial = fit_sgd(train.rows(separable_features(classes), classes), options);
      const LinearModel parallel = fit_sgd(train.rows(separable_features(classes), classes), options, &pool);
      EXPECT_EQ(serial.weights, parallel.weights) << classes;
      EXPECT_EQ(serial.bias, parallel.bias) << classes;
    }
  }
}

TEST(LinearSvm, ConvergesToThePrimalOptimumAndThePoolGivesTheSerialResultToTheBit) {
  pool::ThreadPool pool(3);
  for (const std::uint32_t classes : {2u, 5u, 40u}) {
    const Texts train = separable(classes, 6, classes + 7);
    const std::uint32_t features = separable_features(classes);
    SvmOptions options;
    options.c = 0.5;
    options.tol = 1e-7;
    const SvmFit serial = fit_linear_svm(train.rows(features, classes), options);
    const SvmFit parallel = fit_linear_svm(train.rows(features, classes), options, &pool);
    EXPECT_EQ(serial.model.weights, parallel.model.weights) << classes;
    EXPECT_EQ(serial.model.bias, parallel.model.bias) << classes;
    EXPECT_EQ(serial.passes.size(), classes == 2 ? 1u : classes);
    // At the optimum the primal gradient w - 2C sum over margin violators of (1 - m_i) y_i x_i
    // vanishes (the intercept a weight of the constant input 1): solved from the dual, it must.
    const std::uint32_t problems = classes == 2 ? 1 : classes;
    for (std::uint32_t p = 0; p < problems; ++p) {
      const std::uint32_t column = classes == 2 ? 1 : p;
      EXPECT_LT(serial.passes[p], options.max_passes);
      std::vector<double> gradient(features + 1);
      for (std::uint32_t f = 0; f < features; ++f) gradient[f] = serial.model.row(f)[column];
      gradient[features] = serial.model.bias[column];
      for (std::size_t i = 0; i < train.labels.size(); ++i) {
        const double y = train.labels[i] == column ? 1.0 : -1.0;
        double score = serial.model.bias[column];
        for (std::uint64_t j = train.offsets[i]; j < train.offsets[i + 1]; ++j) {
          score += serial.model.row(train.ids[j])[column];
        }
        const double slack = 1.0 - y * score;
        if (slack <= 0.0) continue;
        for (std::uint64_t j = train.offsets[i]; j < train.offsets[i + 1]; ++j) {
          gradient[train.ids[j]] -= 2.0 * options.c * slack * y;
        }
        gradient[features] -= 2.0 * options.c * slack * y;
      }
      for (const double g : gradient) EXPECT_NEAR(g, 0.0, 1e-3) << classes << " " << p;
    }
  }
  SvmOptions bad;
  bad.max_passes = 0;
  const Texts t = separable(3, 2, 1);
  EXPECT_THROW(fit_linear_svm(t.rows(separable_features(3), 3), bad), std::invalid_argument);
}

// ------------------------------------------------------------------------------------------------
// Scaled rows: the value of id f in text i is feature_scale[f] * row_scale[i]

TEST(ScaledRows, ScalesOfTheWrongLengthOrNotFiniteNonNegativeAreRefusedByName) {
  Texts t;
  t.add({0, 1}, 0);
  t.add({2}, 1);
  const std::vector<float> features{1.0f, 0.5f, 2.0f};
  const std::vector<float> rows{0.25f, 0.0f};
  LabelledRows good = t.rows(3, 2);
  good.feature_scale = features;
  good.row_scale = rows;
  EXPECT_NO_THROW(check_rows(good));
  const auto refused = [](const LabelledRows& r, const std::string& name) {
    try {
      check_rows(r);
      ADD_FAILURE() << "accepted a bad " << name;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
    }
  };
  const std::vector<float> two{1.0f, 1.0f};
  const std::vector<float> three{1.0f, 1.0f, 1.0f};
  LabelledRows bad = good;
  bad.feature_scale = two;
  refused(bad, "feature_scale");
  bad = good;
  bad.row_scale = three;
  refused(bad, "row_scale");
  bad = good;
  bad.sample_weight = three;
  refused(bad, "sample_weight");
  for (const float wrong : {-1.0f, std::numeric_limits<float>::infinity(), std::nanf("")}) {
    std::vector<float> weights = two;
    weights[1] = wrong;
    bad = good;
    bad.sample_weight = weights;
    refused(bad, "sample_weight[1]");
    std::vector<float> values = features;
    values[1] = wrong;
    bad = good;
    bad.feature_scale = values;
    refused(bad, "feature_scale[1]");
    std::vector<float> row_values = rows;
    row_values[0] = wrong;
    bad = good;
    bad.row_scale = row_values;
    refused(bad, "row_scale[0]");
  }
}

// Every learner, with scales of 1, gives the model it gives without scales, to the bit.
TEST(ScaledRows, ScalesOfOneGiveTheUnscaledModelToTheBit) {
  for (const std::uint32_t classes : {2u, 5u}) {
    const Texts train = separable(classes, 20, 11 + classes);
    const std::uint32_t features = separable_features(classes);
    const std::vector<float> feature_ones(features, 1.0f);
    const std::vector<float> row_ones(train.labels.size(), 1.0f);
    const LabelledRows plain = train.rows(features, classes);
    LabelledRows ones = plain;
    ones.feature_scale = feature_ones;
    ones.row_scale = row_ones;
    for (const Loss loss : {Loss::kHinge, Loss::kLog, Loss::kModifiedHuber}) {
      SgdOptions options;
      options.loss = loss;
      const LinearModel a = fit_sgd(plain, options);
      const LinearModel b = fit_sgd(ones, options);
      EXPECT_EQ(a.weights, b.weights) << classes;
      EXPECT_EQ(a.bias, b.bias) << classes;
    }
    const LinearModel p = fit_perceptron(plain, PerceptronOptions{});
    const LinearModel q = fit_perceptron(ones, PerceptronOptions{});
    EXPECT_EQ(p.weights, q.weights);
    EXPECT_EQ(p.bias, q.bias);
    EXPECT_EQ(count_naive_bayes(plain).feature_counts, count_naive_bayes(ones).feature_counts);
  }
}

TEST(ScaledRows, NaiveBayesCountsSumTheValuesAndClassTextsStayCounts) {
  Texts t;
  t.add({0, 1}, 0);
  t.add({1, 1, 5}, 1);  // a repeated id adds its value twice; 5 is beyond the features
  const std::vector<float> features{3.0f, 0.25f};
  const std::vector<float> rows{0.5f, 2.0f};
  LabelledRows scaled = t.rows(2, 2);
  scaled.feature_scale = features;
  scaled.row_scale = rows;
  const NaiveBayesCounts counts = count_naive_bayes(scaled);
  EXPECT_EQ(counts.feature_counts, (std::vector<double>{1.5, 0.0, 0.125, 1.0}));
  EXPECT_EQ(counts.class_texts, (std::vector<double>{1.0, 1.0}));
}

// A plain reference of the update rule, on explicit weights in double (no lazy penalty scale):
// scores from the values, w -= eta * g * x, the bias moved by a hundredth of the step, then every
// weight shrunk by 1 - eta * alpha.
LinearModel reference_sgd(const LabelledRows& rows, const SgdOptions& options) {
  const std::uint32_t classes = rows.class_count;
  std::vector<double> w(std::size_t{rows.feature_count} * classes, 0.0);
  std::vector<double> b(classes, 0.0);
  const double alpha = options.alpha;
  const double typical = std::sqrt(1.0 / std::sqrt(alpha));
  const double eta0 = typical / std::max(1.0, loss_derivative(options.loss, -typical, 1.0));
  const double t0 = 1.0 / (eta0 * alpha);
  double t = 0;
  std::vector<std::uint32_t> order(rows.size());
  std::iota(order.begin(), order.end(), 0u);
  Shuffler shuffler(options.seed);
  for (std::uint32_t epoch = 0; epoch < options.epochs; ++epoch) {
    shuffler.shuffle(order);
    for (const std::uint32_t i : order) {
      const double eta = 1.0 / (alpha * (t0 + t));
      t += 1;
      std::vector<double> g(classes);
      const double intercept_input = options.intercept_by_row ? double{rows.row_scale[i]} : 1.0;
      for (std::uint32_t c = 0; c < classes; ++c) {
        double p = b[c] * intercept_input;
        for (const std::uint32_t f : rows.row(i)) {
          if (f < rows.feature_count) p += double{rows.feature_scale[f]} * rows.row_scale[i] * w[f * classes + c];
        }
        g[c] = loss_derivative(options.loss, p, rows.labels[i] == c ? 1.0 : -1.0);
      }
      for (std::uint32_t c = 0; c < classes; ++c) {
        for (const std::uint32_t f : rows.row(i)) {
          if (f < rows.feature_count)
            w[f * classes + c] -= eta * g[c] * rows.feature_scale[f] * rows.row_scale[i];
        }
        if (options.fit_intercept) b[c] -= eta * g[c] * kInterceptDecay * intercept_input;
      }
      for (double& x : w) x *= 1.0 - eta * alpha;
    }
  }
  LinearModel out(rows.feature_count, classes);
  std::copy(w.begin(), w.end(), out.weights.begin());
  std::copy(b.begin(), b.end(), out.bias.begin());
  return out;
}

TEST(ScaledRows, SgdFollowsTheUpdateRuleOnValuesAndWithoutAnInterceptKeepsTheBiasAtZero) {
  // Three classes, unbalanced (a bias would move), scales far from 1 on both sides.
  Texts t;
  t.add({0, 1}, 0);
  t.add({1, 2, 9}, 1);  // 9 is beyond the features
  t.add({2, 3}, 2);
  t.add({0, 3}, 0);
  t.add({0}, 0);
  t.add({3, 1}, 2);
  const std::vector<float> features{0.5f, 3.0f, 1.25f, 0.1f};
  const std::vector<float> rows{1.0f, 0.2f, 4.0f, 0.7f, 2.5f, 0.0f};
  LabelledRows scaled = t.rows(4, 3);
  scaled.feature_scale = features;
  scaled.row_scale = rows;
  for (const Loss loss : {Loss::kHinge, Loss::kLog}) {
    for (const int intercept_kind : {0, 1, 2}) {  // none, an input of 1, an input of each row's scale
      const bool intercept = intercept_kind != 0;
      SgdOptions options;
      options.loss = loss;
      options.alpha = 0.05;
      options.epochs = 2;
      options.seed = 3;
      options.fit_intercept = intercept;
      options.intercept_by_row = intercept_kind == 2;
      const LinearModel model = fit_sgd(scaled, options);
      const LinearModel expected = reference_sgd(scaled, options);
      for (std::size_t k = 0; k < model.weights.size(); ++k) {
        EXPECT_NEAR(model.weights[k], expected.weights[k], 1e-5 * (1 + std::abs(expected.weights[k])))
            << k << " loss " << static_cast<int>(loss) << " intercept " << intercept_kind;
      }
      for (std::uint32_t c = 0; c < 3; ++c) {
        EXPECT_NEAR(model.bias[c], expected.bias[c], 1e-6) << c;
        if (!intercept) {
          EXPECT_EQ(model.bias[c], 0.0f) << c;
        }
      }
      if (intercept) {
        EXPECT_NE(model.bias[0], 0.0f);
      }
    }
  }
  // Two classes are one problem: no bias either without an intercept.
  const Texts two = separable(2, 20, 4);
  SgdOptions options;
  options.fit_intercept = false;
  const LinearModel binary = fit_sgd(two.rows(separable_features(2), 2), options);
  EXPECT_EQ(binary.bias, (std::vector<float>{0.0f, 0.0f}));
  EXPECT_EQ(accuracy(binary, two), 1.0);
}

TEST(ScaledRows, SgdOnScaledRowsDividesOverAPoolToTheSerialResult) {
  pool::ThreadPool pool(3);
  const Texts train = separable(40, 5, 40);
  const std::uint32_t features = separable_features(40);
  std::vector<float> feature_scale(features);
  std::vector<float> row_scale(train.labels.size());
  for (std::size_t f = 0; f < features; ++f) feature_scale[f] = 0.5f + static_cast<float>(f % 7) / 3.0f;
  for (std::size_t i = 0; i < row_scale.size(); ++i) row_scale[i] = 1.0f / static_cast<float>(1 + i % 5);
  LabelledRows rows = train.rows(features, 40);
  rows.feature_scale = feature_scale;
  rows.row_scale = row_scale;
  SgdOptions options;
  options.alpha = 1e-3;
  const LinearModel serial = fit_sgd(rows, options);
  const LinearModel parallel = fit_sgd(rows, options, &pool);
  EXPECT_EQ(serial.weights, parallel.weights);
  EXPECT_EQ(serial.bias, parallel.bias);
  EXPECT_NE(serial.weights, fit_sgd(train.rows(features, 40), options).weights);
}

TEST(ScaledRows, PerceptronUpdatesByValuesAndComparesScoresWithTheMarginAsTheyAre) {
  // Replayed by hand: scores are sums of value * weight, an update adds or subtracts the value.
  Texts t;
  t.add({0, 1}, 1);
  t.add({1, 2}, 0);
  t.add({2}, 1);
  const std::vector<float> features{2.0f, 0.5f, 3.0f};
  const std::vector<float> rows{0.25f, 1.0f, 0.5f};
  LabelledRows scaled = t.rows(3, 2);
  scaled.feature_scale = features;
  scaled.row_scale = rows;
  for (const bool intercept : {true, false}) {
    PerceptronOptions options;
    options.epochs = 4;
    options.margin = 0.75;
    options.fit_intercept = intercept;
    const LinearModel averaged = fit_perceptron(scaled, options);
    LinearModel running(3, 2);
    LinearModel sum(3, 2);
    std::vector<std::uint32_t> order{0, 1, 2};
    Shuffler shuffler(0);
    for (int epoch = 0; epoch < 4; ++epoch) {
      shuffler.shuffle(order);
      for (const std::uint32_t i : order) {
        for (std::size_t k = 0; k < 6; ++k) sum.weights[k] += running.weights[k];
        for (std::size_t c = 0; c < 2; ++c) sum.bias[c] += running.bias[c];
        double s[2] = {running.bias[0], running.bias[1]};
        for (std::uint64_t k = t.offsets[i]; k < t.offsets[i + 1]; ++k) {
          const std::uint32_t f = t.ids[k];
          for (std::uint32_t c = 0; c < 2; ++c) s[c] += features[f] * rows[i] * running.weights[2 * f + c];
        }
        const std::uint32_t label = t.labels[i];
        if (s[label] - s[1 - label] > 0.75) continue;
        for (std::uint64_t k = t.offsets[i]; k < t.offsets[i + 1]; ++k) {
          const std::uint32_t f = t.ids[k];
          running.weights[2 * f + label] += features[f] * rows[i];
          running.weights[2 * f + 1 - label] -= features[f] * rows[i];
        }
        if (intercept) {
          running.bias[label] += 1;
          running.bias[1 - label] -= 1;
        }
      }
    }
    for (std::size_t k = 0; k < 6; ++k) EXPECT_FLOAT_EQ(averaged.weights[k], sum.weights[k] / 12) << k;
    for (std::size_t c = 0; c < 2; ++c) EXPECT_FLOAT_EQ(averaged.bias[c], sum.bias[c] / 12) << c;
    if (!intercept) {
      EXPECT_EQ(averaged.bias, (std::vector<float>{0.0f, 0.0f}));
    }
    options.average = false;
    const LinearModel last = fit_perceptron(scaled, options);
    for (std::size_t k = 0; k < 6; ++k) EXPECT_FLOAT_EQ(last.weights[k], running.weights[k]) << k;
  }
}

// ------------------------------------------------------------------------------------------------
// The compiler

struct Synapse {
  std::uint32_t target;
  std::int16_t weight;
};

struct Record {
  std::uint32_t id;
  std::uint32_t count;
  std::vector<Synapse> synapses;
  std::int32_t lock;
  std::uint32_t padding;
};

std::uint32_t u32_at(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

// Reads records as the weight-file format lays them out, independently of the writer.
std::vector<Record> decode(const std::vector<unsigned char>& bytes) {
  EXPECT_EQ(bytes.size() % 64, 0u);
  std::vector<Record> records;
  for (std::size_t at = 0; at < bytes.size(); at += 64) {
    const unsigned char* p = bytes.data() + at;
    Record r{u32_at(p), u32_at(p + 4), {}, static_cast<std::int32_t>(u32_at(p + 56)), u32_at(p + 60)};
    for (std::uint32_t k = 0; k < std::min<std::uint32_t>(r.count, 8); ++k) {
      const auto w =
          static_cast<std::int16_t>(static_cast<std::uint16_t>(p[40 + 2 * k] | p[41 + 2 * k] << 8));
      r.synapses.push_back({u32_at(p + 8 + 4 * k), w});
    }
    records.push_back(r);
  }
  return records;
}

// The field's prediction: int32 potentials from the text's records plus every bias neuron, the
// first maximum wins.
std::uint32_t field_predict(const std::vector<Record>& records, std::uint32_t classes,
                            std::vector<std::uint32_t> text, const FieldPlan& plan,
                            std::int64_t* peak = nullptr) {
  for (std::uint32_t j = 0; j < plan.bias_neurons(); ++j) text.push_back(plan.feature_count + j);
  std::vector<std::int64_t> potentials(classes, 0);
  for (const std::uint32_t id : text) {
    for (const Synapse& s : records[id].synapses) {
      if (s.target < classes) potentials[s.target] += s.weight;
    }
  }
  std::uint32_t best = 0;
  for (std::uint32_t c = 0; c < classes; ++c) {
    if (peak != nullptr) *peak = std::max(*peak, std::abs(potentials[c]));
    if (potentials[c] > potentials[best]) best = c;
  }
  return best;
}

LinearModel random_model(std::uint32_t features, std::uint32_t classes, std::uint32_t seed,
                         float spread = 3.0f) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> normal(0.0f, spread);
  LinearModel model(features, classes);
  for (float& w : model.weights) w = normal(rng);
  for (float& b : model.bias) b = normal(rng);
  return model;
}

TEST(FieldCompiler, RecordsFollowTheWeightFileLayout) {
  LinearModel model(2, 3);
  model.weights = {1.0f, -1.0f, 0.0f,   // shifted to the middle: 1, -1, 0
                   2.0f, 2.0f,  2.0f};  // all equal: shift 2, nothing left
  model.bias = {0.5f, 0.0f, -0.5f};
  FieldPlan plan;
  const std::vector<unsigned char> bytes = compile_field(model, {}, &plan);
  ASSERT_EQ(plan.bias_neurons(), 1u);
  ASSERT_EQ(bytes.size(), 3u * 64);
  EXPECT_DOUBLE_EQ(plan.scale, 32767.0);
  // Record 0 by hand: id 0, two synapses (class 0: +32767, class 1: -32767).
  const unsigned char expected0[] = {0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(std::memcmp(bytes.data(), expected0, sizeof expected0), 0);
  EXPECT_EQ(bytes[40], 0xFF);
  EXPECT_EQ(bytes[41], 0x7F);
  EXPECT_EQ(bytes[42], 0x01);
  EXPECT_EQ(bytes[43], 0x80);
  const std::vector<Record> records = decode(bytes);
  EXPECT_EQ(records[1].id, 1u);
  EXPECT_EQ(records[1].count, 0u);
  EXPECT_EQ(records[2].id, 2u);
  ASSERT_EQ(records[2].count, 2u);
  EXPECT_EQ(records[2].synapses[0].target, 0u);
  EXPECT_EQ(records[2].synapses[0].weight, 16384);  // round(32767 * 0.5)
  EXPECT_EQ(records[2].synapses[1].target, 2u);
  EXPECT_EQ(records[2].synapses[1].weight, -16384);
  for (const Record& r : records) {
    EXPECT_EQ(r.lock, 0);
    EXPECT_EQ(r.padding, 0u);
  }
  for (std::size_t k = 16; k < 40; ++k) EXPECT_EQ(bytes[k], 0) << k;  // unused slots are zero too
}

TEST(FieldCompiler, TheSpreadCutDropsTheClassesAFieldCanRepresentBest) {
  // Brute force over every choice of dropped classes, each with its best shift (their mean).
  constexpr std::uint32_t kClasses = 11;
  const LinearModel model = random_model(60, kClasses, 9);
  CompileOptions options;
  const LinearModel cut = cut_to_slots(model, options);
  for (std::uint32_t f = 0; f < model.feature_count; ++f) {
    const std::span<const float> row = model.row(f);
    const std::span<const float> kept = cut.row(f);
    std::uint32_t nonzero = 0;
    for (const float w : kept) nonzero += w != 0.0f;
    EXPECT_LE(nonzero, 8u);
    // The error of the compiled row: kept classes exact (up to the shift), dropped ones at the shift.
    double shift = 0;
    for (std::uint32_t c = 0; c < kClasses; ++c) {
      if (kept[c] != 0.0f) shift = row[c] - kept[c];
    }
    double error = 0;
    for (std::uint32_t c = 0; c < kClasses; ++c) {
      if (kept[c] == 0.0f) error += (row[c] - shift) * (row[c] - shift);
    }
    double best = std::numeric_limits<double>::infinity();
    for (std::uint32_t mask = 0; mask < (1u << kClasses); ++mask) {
      if (__builtin_popcount(mask) != kClasses - 8) continue;
      double sum = 0;
      for (std::uint32_t c = 0; c < kClasses; ++c) sum += (mask >> c & 1) ? row[c] : 0.0;
      const double mean = sum / (kClasses - 8);
      double e = 0;
      for (std::uint32_t c = 0; c < kClasses; ++c)
        e += (mask >> c & 1) ? (row[c] - mean) * (row[c] - mean) : 0.0;
      best = std::min(best, e);
    }
    EXPECT_NEAR(error, best, 1e-4) << "feature " << f;
  }
}

TEST(FieldCompiler, EqualWeightsAreCutByClassOrderWhateverTheRowsWidth) {
  // Ties break towards the lower class, on rows short enough to be ranked by counting and on rows
  // wide enough for a comparison sort: the same rule must come out of both. Whole-number weights
  // make many ties; the largest choice drops the lowest weights, the earliest classes first.
  for (const std::uint32_t classes : {12u, 64u, 65u, 90u}) {
    LinearModel model(40, classes);
    for (std::size_t i = 0; i < model.weights.size(); ++i) {
      model.weights[i] = static_cast<float>(static_cast<int>((i * 2654435761u) >> 13) % 5 - 2);
    }
    model.bias.assign(classes, 0.0f);
    CompileOptions options;
    options.choice = SlotChoice::kLargest;
    const LinearModel cut = cut_to_slots(model, options);
    for (std::uint32_t f = 0; f < model.feature_count; ++f) {
      const std::span<const float> row = model.row(f);
      std::vector<std::uint32_t> order(classes);
      std::iota(order.begin(), order.end(), 0u);
      std::stable_sort(order.begin(), order.end(),
                       [&](std::uint32_t a, std::uint32_t b) { return row[a] < row[b]; });
      double shift = 0.0;
      for (std::uint32_t k = 0; k < classes - 8; ++k) shift += row[order[k]];
      shift /= classes - 8;
      for (std::uint32_t k = 0; k < classes; ++k) {
        const bool dropped = k < classes - 8;
        EXPECT_EQ(cut.row(f)[order[k]] == 0.0f, dropped || static_cast<float>(row[order[k]] - shift) == 0.0f)
            << classes << " classes, feature " << f << ", place " << k;
      }
    }
  }
}

TEST(FieldCompiler, EveryChoiceKeepsAtMostTheSlotsAndTheOnesItPromises) {
  LinearModel model(1, 10);
  model.weights = {9, -8, 1, 0, 0.5f, 0.2f, -0.1f, 0.3f, 7, -0.4f};
  model.bias.assign(10, 0.0f);
  CompileOptions options;
  options.slots = 3;
  options.choice = SlotChoice::kLargest;
  LinearModel cut = cut_to_slots(model, options);
  EXPECT_NE(cut.weights[0], 0.0f);
  EXPECT_NE(cut.weights[8], 0.0f);
  EXPECT_NE(cut.weights[2], 0.0f);
  EXPECT_EQ(std::count(cut.weights.begin(), cut.weights.end(), 0.0f), 7);
  options.choice = SlotChoice::kCentered;  // mean 0.95: farthest are 9, -8, 7
  cut = cut_to_slots(model, options);
  EXPECT_NE(cut.weights[0], 0.0f);
  EXPECT_NE(cut.weights[1], 0.0f);
  EXPECT_NE(cut.weights[8], 0.0f);
  EXPECT_FLOAT_EQ(cut.weights[0], 9 - 0.95f);
  options.slots = 0;
  EXPECT_THROW(cut_to_slots(model, options), std::invalid_argument);
  options.slots = 9;
  EXPECT_THROW(cut_to_slots(model, options), std::invalid_argument);
  options.slots = 8;
  model.weights[3] = std::numeric_limits<float>::infinity();
  EXPECT_THROW(cut_to_slots(model, options), std::invalid_argument);
}

TEST(FieldCompiler, TheFieldAgreesWithTheFloatModelWhereItsMarginIsClear) {
  // Few enough classes that nothing is cut: only rounding separates the field from the model.
  for (const std::uint32_t classes : {2u, 5u, 8u}) {
    const LinearModel model = random_model(300, classes, classes);
    FieldPlan plan;
    const std::vector<Record> records = decode(compile_field(model, {}, &plan));
    ASSERT_EQ(records.size(), 300u + plan.bias_neurons());
    std::mt19937 rng(classes);
    int compared = 0;
    for (int i = 0; i < 500; ++i) {
      std::vector<std::uint32_t> text;
      for (int k = 0; k < 20; ++k) text.push_back(rng() % 300);
      std::sort(text.begin(), text.end());
      text.erase(std::unique(text.begin(), text.end()), text.end());
      std::vector<double> scores(model.bias.begin(), model.bias.end());
      for (const std::uint32_t f : text) {
        for (std::uint32_t c = 0; c < classes; ++c) scores[c] += model.row(f)[c];
      }
      std::vector<double> sorted = scores;
      std::sort(sorted.rbegin(), sorted.rend());
      // Rounding moves a score by at most (tokens + 1) / 2 field units.
      if ((sorted[0] - sorted[1]) * plan.scale <= static_cast<double>(text.size() + 1)) continue;
      ++compared;
      const auto expected =
          static_cast<std::uint32_t>(std::max_element(scores.begin(), scores.end()) - scores.begin());
      EXPECT_EQ(field_predict(records, classes, text, plan), expected);
    }
    EXPECT_GT(compared, 400);
  }
}

TEST(FieldCompiler, NoTextOfDistinctIdsCanOverflowAPotential) {
  // Large weights on many features: the full range for the largest would overflow a text of all.
  LinearModel model(100000, 3);
  for (std::uint32_t f = 0; f < model.feature_count; ++f) {
    model.row(f)[0] = 50.0f;
    model.row(f)[1] = -50.0f;
    model.row(f)[2] = 0.0f;
  }
  model.bias = {3, 0, 0};
  FieldPlan plan;
  const std::vector<Record> records = decode(compile_field(model, {}, &plan));
  std::vector<std::uint32_t> all(model.feature_count);
  for (std::uint32_t f = 0; f < model.feature_count; ++f) all[f] = f;
  std::int64_t peak = 0;
  EXPECT_EQ(field_predict(records, 3, all, plan, &peak), 0u);
  EXPECT_LE(peak, std::numeric_limits<std::int32_t>::max());
  EXPECT_GT(peak, std::numeric_limits<std::int32_t>::max() / 2);  // and the range is used

  // Bounding the text length buys resolution back: the largest weight takes the full 16 bits.
  CompileOptions options;
  options.max_text_tokens = 1000;
  const FieldPlan bounded = plan_field(cut_to_slots(model, options), options);
  EXPECT_NEAR(bounded.scale * 50.0, 32767.0, 1e-6);
  EXPECT_LT(plan.scale, bounded.scale);
}

TEST(FieldCompiler, ABiasBeyondSixteenBitsIsSharedOverRepeatedBiasNeurons) {
  // 20 classes: three bias groups; a bias 100x the largest weight needs repeats.
  LinearModel model = random_model(50, 20, 4, 1.0f);
  for (std::uint32_t c = 0; c < 20; ++c) model.bias[c] = static_cast<float>(c) * 40.0f - 400.0f;
  FieldPlan plan;
  const std::vector<unsigned char> bytes = compile_field(model, {}, &plan);
  EXPECT_EQ(plan.bias_groups, 3u);
  EXPECT_GT(plan.bias_repeats, 1u);
  const std::vector<Record> records = decode(bytes);
  std::vector<std::int64_t> total(20, 0);
  for (std::uint32_t j = 0; j < plan.bias_neurons(); ++j) {
    const Record& r = records[plan.feature_count + j];
    EXPECT_EQ(r.id, plan.feature_count + j);
    EXPECT_LE(r.count, 8u);
    for (const Synapse& s : r.synapses) {
      EXPECT_EQ(s.target / 8, j % plan.bias_groups);
      total[s.target] += s.weight;
    }
  }
  // The shifted bias is c * 40 - 380: the shares add up to its rounded scaled value.
  for (std::uint32_t c = 0; c < 20; ++c) {
    EXPECT_EQ(total[c], std::lround(plan.scale * (static_cast<float>(c) * 40.0f - 400.0f + 20.0f))) << c;
  }
}

TEST(FieldCompiler, ManyClassesAreCutToEightSynapsesPerToken) {
  const LinearModel model = random_model(200, 30, 11);
  for (const SlotChoice choice : {SlotChoice::kSpread, SlotChoice::kCentered, SlotChoice::kLargest}) {
    CompileOptions options;
    options.choice = choice;
    FieldPlan plan;
    const std::vector<Record> records = decode(compile_field(model, options, &plan));
    for (std::uint32_t f = 0; f < 200; ++f) {
      EXPECT_LE(records[f].count, 8u);
      EXPECT_GE(records[f].count, 7u);  // random weights: at most one rounds to 0
      for (const Synapse& s : records[f].synapses) EXPECT_LT(s.target, 30u);
    }
  }
}

TEST(SlotRefit, LearnsWhatTheCutLostWithoutLeavingTheFieldsForm) {
  // A random model cut to 6 classes per token knows nothing of 10 separable classes; the refit must
  // learn them while every row keeps exactly the classes the cut kept.
  constexpr std::uint32_t kClasses = 10;
  const std::uint32_t features = separable_features(kClasses);
  const Texts train = separable(kClasses, 30, 12);
  CompileOptions options;
  options.slots = 6;
  const LinearModel cut = cut_to_slots(random_model(features, kClasses, 13, 0.01f), options);
  EXPECT_LT(accuracy(cut, train), 0.5);
  RefitOptions refit;
  refit.epochs = 5;
  const LinearModel tuned = refit_cut(train.rows(features, kClasses), cut, refit);
  EXPECT_GT(accuracy(tuned, separable(kClasses, 10, 14)), 0.95);
  for (std::size_t k = 0; k < cut.weights.size(); ++k) {
    EXPECT_EQ(cut.weights[k] == 0.0f, tuned.weights[k] == 0.0f) << k;
  }
  // Compiling keeps the same classes, so the field holds the tuned model itself.
  const LinearModel recut = cut_to_slots(tuned, options);
  for (std::size_t k = 0; k < cut.weights.size(); ++k)
    EXPECT_EQ(recut.weights[k] == 0.0f, tuned.weights[k] == 0.0f);

  LinearModel wrong(features + 1, kClasses);
  EXPECT_THROW(refit_cut(train.rows(features, kClasses), wrong, refit), std::invalid_argument);
  refit.step = 0;
  EXPECT_THROW(refit_cut(train.rows(features, kClasses), cut, refit), std::invalid_argument);
}

// The refit as it is described, on dense rows: the reference for every class count.
LinearModel reference_refit(const LabelledRows& rows, const LinearModel& cut, const RefitOptions& options) {
  const std::uint32_t classes = rows.class_count;
  LinearModel w = cut;
  LinearModel u(cut.feature_count, classes);
  double magnitude = 0.0;
  std::size_t kept = 0;
  for (const float x : cut.weights) {
    if (x != 0.0f) magnitude += std::abs(x), ++kept;
  }
  magnitude = kept > 0 ? magnitude / static_cast<double>(kept) : 1.0;
  const auto step = static_cast<float>(options.step * magnitude);
  double counter = 0.0;
  const auto move = [&](std::uint32_t f, std::uint32_t c, float delta) {
    const std::size_t at = std::size_t{f} * classes;
    const auto weighted = static_cast<float>(counter * delta);
    if (cut.weights[at + c] != 0.0f) {
      w.weights[at + c] += delta;
      u.weights[at + c] += weighted;
      return;
    }
    for (std::uint32_t k = 0; k < classes; ++k) {
      if (cut.weights[at + k] == 0.0f) continue;
      w.weights[at + k] -= delta;
      u.weights[at + k] -= weighted;
    }
  };
  std::vector<std::uint32_t> order(rows.size());
  std::iota(order.begin(), order.end(), 0u);
  Shuffler shuffler(options.seed);
  for (std::uint32_t epoch = 0; epoch < options.epochs; ++epoch) {
    shuffler.shuffle(order);
    for (const std::uint32_t i : order) {
      counter += 1.0;
      std::vector<double> scores(w.bias.begin(), w.bias.end());
      for (const std::uint32_t f : rows.row(i)) {
        for (std::uint32_t c = 0; c < classes; ++c) scores[c] += w.row(f)[c];
      }
      const std::uint32_t y = rows.labels[i];
      std::uint32_t p = y == 0 ? 1 : 0;
      for (std::uint32_t c = 0; c < classes; ++c) {
        if (c != y && scores[c] > scores[p]) p = c;
      }
      if (scores[y] - scores[p] >= options.margin * magnitude) continue;
      for (const std::uint32_t f : rows.row(i)) {
        move(f, y, step);
        move(f, p, -step);
      }
      w.bias[y] += step;
      w.bias[p] -= step;
      u.bias[y] += static_cast<float>(counter * step);
      u.bias[p] -= static_cast<float>(counter * step);
    }
  }
  for (std::size_t k = 0; k < w.weights.size(); ++k) {
    float average = static_cast<float>(w.weights[k] - u.weights[k] / counter);
    if (cut.weights[k] != 0.0f && average == 0.0f) average = std::numeric_limits<float>::min();
    w.weights[k] = cut.weights[k] != 0.0f ? average : 0.0f;
  }
  for (std::uint32_t c = 0; c < classes; ++c) w.bias[c] = static_cast<float>(w.bias[c] - u.bias[c] / counter);
  return w;
}

TEST(SlotRefit, FewAndManyClassesGiveTheReferenceModelToTheBit) {
  // Few classes run on dense rows, many on each row's kept entries only: both must be the
  // reference pass exactly (same sums in the same order), including rows with fewer kept classes.
  for (const std::uint32_t classes : {3u, 20u, 40u, 73u}) {
    const std::uint32_t features = separable_features(classes);
    const Texts train = separable(classes, 6, 21 + classes);
    LinearModel cut = cut_to_slots(random_model(features, classes, 22 + classes, 0.5f), CompileOptions{});
    for (std::uint32_t c = 0; c < classes; ++c) cut.weights[c] = 0.0f;            // row 0 keeps nothing
    for (std::uint32_t c = 1; c < classes; ++c) cut.weights[classes + c] = 0.0f;  // row 1 keeps at most one
    RefitOptions options;
    options.epochs = 3;
    options.seed = classes;
    const LinearModel expected = reference_refit(train.rows(features, classes), cut, options);
    const LinearModel tuned = refit_cut(train.rows(features, classes), cut, options);
    ASSERT_EQ(tuned.weights.size(), expected.weights.size());
    EXPECT_EQ(0, std::memcmp(tuned.weights.data(), expected.weights.data(), 4 * expected.weights.size()))
        << classes << " classes";
    EXPECT_EQ(0, std::memcmp(tuned.bias.data(), expected.bias.data(), 4 * classes)) << classes << " classes";
  }
}

}  // namespace
}  // namespace ombrel::learners
