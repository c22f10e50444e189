#include "learners/sgd.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace ombrel::learners {

double loss_derivative(Loss loss, double p, double y) {
  const double z = p * y;
  switch (loss) {
    case Loss::kHinge:
      return z <= 1.0 ? -y : 0.0;
    case Loss::kLog:
      // exp(z) overflows past 709; far out the derivative is -y or -y * exp(-z) to double precision.
      if (z > 18.0) return -y * std::exp(-z);
      if (z < -18.0) return -y;
      return -y / (std::exp(z) + 1.0);
    case Loss::kModifiedHuber:
      if (z >= 1.0) return 0.0;
      if (z >= -1.0) return -2.0 * (1.0 - z) * y;
      return -4.0 * y;
  }
  return 0.0;
}

LinearModel fit_sgd(const LabelledRows& rows, const SgdOptions& options) {
  const std::uint32_t classes = rows.class_count;
  if (!(options.alpha > 0.0) || !std::isfinite(options.alpha)) {
    throw std::invalid_argument("alpha must be a positive number");
  }
  if (!options.class_weights.empty()) {
    if (options.class_weights.size() != classes) {
      throw std::invalid_argument("class_weights must hold one weight per class");
    }
    for (const double weight : options.class_weights) {
      if (!(weight > 0.0) || !std::isfinite(weight)) throw std::invalid_argument("class weights must be positive");
    }
  }
  if (options.initial != nullptr &&
      (options.initial->feature_count != rows.feature_count || options.initial->class_count != classes ||
       options.initial->weights.size() != std::size_t{rows.feature_count} * classes ||
       options.initial->bias.size() != classes)) {
    throw std::invalid_argument("initial weights must have the shape (feature_count, class_count)");
  }

  const double alpha = options.alpha;
  LinearModel v = options.initial != nullptr ? *options.initial : LinearModel(rows.feature_count, classes);
  std::vector<double> bias(v.bias.begin(), v.bias.end());
  double scale = 1.0;
  const double typical_weight = std::sqrt(1.0 / std::sqrt(alpha));
  const double eta0 = typical_weight / std::max(1.0, loss_derivative(options.loss, -typical_weight, 1.0));
  const double t0 = 1.0 / (eta0 * alpha);

  std::vector<double> scores(classes);
  std::vector<double> steps(classes);  // -eta * g per class
  std::vector<float> row_steps(classes);
  std::vector<std::uint32_t> order(rows.size());
  std::iota(order.begin(), order.end(), 0u);
  Shuffler shuffler(options.seed);
  double t = 0.0;
  for (std::uint32_t epoch = 0; epoch < options.epochs; ++epoch) {
    shuffler.shuffle(order);
    for (const std::uint32_t i : order) {
      const double eta = 1.0 / (alpha * (t0 + t));
      t += 1.0;
      const std::span<const std::uint32_t> text = rows.row(i);
      std::fill(scores.begin(), scores.end(), 0.0);
      for (const std::uint32_t f : text) {
        if (f >= rows.feature_count) continue;
        const float* weights = v.row(f).data();
        for (std::uint32_t c = 0; c < classes; ++c) scores[c] += weights[c];
      }
      const std::uint32_t label = rows.labels[i];
      const double class_weight = options.class_weights.empty() ? 1.0 : options.class_weights[label];
      bool any = false;
      for (std::uint32_t c = 0; c < classes; ++c) {
        const double p = scale * scores[c] + bias[c];
        const double y = c == label ? 1.0 : -1.0;
        // Clipped as scikit-learn does, so that one wild step cannot reach infinity.
        const double g = std::clamp(class_weight * loss_derivative(options.loss, p, y), -1e12, 1e12);
        steps[c] = -eta * g;
        any = any || g != 0.0;
      }
      if (any) {
        for (std::uint32_t c = 0; c < classes; ++c) {
          row_steps[c] = static_cast<float>(steps[c] / scale);
          bias[c] += steps[c] * kInterceptDecay;
        }
        for (const std::uint32_t f : text) {
          if (f >= rows.feature_count) continue;
          float* weights = v.row(f).data();
          for (std::uint32_t c = 0; c < classes; ++c) weights[c] += row_steps[c];
        }
      }
      const double shrink = 1.0 - eta * alpha;
      if (shrink <= 0.0) {
        std::fill(v.weights.begin(), v.weights.end(), 0.0f);
        scale = 1.0;
      } else {
        scale *= shrink;
      }
      // A tiny scale would make steps / scale overflow float: fold it into the weights first.
      if (scale < 1e-9) {
        for (float& w : v.weights) w = static_cast<float>(w * scale);
        scale = 1.0;
      }
    }
  }
  for (float& w : v.weights) w = static_cast<float>(w * scale);
  for (std::uint32_t c = 0; c < classes; ++c) v.bias[c] = static_cast<float>(bias[c]);
  return v;
}

}  // namespace ombrel::learners
