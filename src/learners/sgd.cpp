#include "learners/sgd.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "learners/shuffler.h"

namespace ombrel::learners {

double loss_derivative(Loss loss, double p, double y) {
  const double z = p * y;
  switch (loss) {
    case Loss::kHinge: return z <= 1.0 ? -y : 0.0;
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

namespace {

constexpr std::uint32_t kMinProblemsPerPart = 16;

// How many tokens ahead of the one being summed a text's rows are prefetched.
constexpr std::size_t kAhead = 8;

// The passes over problems [first, last). A problem reads and writes only its own column of v and
// its own bias, and the step size and the penalty's scale depend only on the step count, which every
// range counts the same way (each shuffles with the same seed): so ranges may run on different
// threads at once, touch disjoint words, and give exactly the serial result. kScaled false: every
// value is 1, a constant the compiler folds away, so binary rows pay no multiplication.
template <bool kScaled>
void run_problems(const LabelledRows& rows, const SgdOptions& options, bool binary, LinearModel& v,
                  std::vector<double>& bias, std::uint32_t first, std::uint32_t last) {
  const double alpha = options.alpha;
  const std::uint32_t problems = v.class_count;
  const std::uint32_t count = last - first;
  const double typical_weight = std::sqrt(1.0 / std::sqrt(alpha));
  const double eta0 = typical_weight / std::max(1.0, loss_derivative(options.loss, -typical_weight, 1.0));
  const double t0 = 1.0 / (eta0 * alpha);

  std::vector<double> scores(count);
  std::vector<double> steps(count);  // -eta * g per problem
  std::vector<float> row_steps(count);
  std::vector<std::uint32_t> order(rows.size());
  std::iota(order.begin(), order.end(), 0u);
  Shuffler shuffler(options.seed);
  double scale = 1.0;
  double t = static_cast<double>(options.first_step);
  const auto fold_scale = [&] {
    for (std::uint32_t f = 0; f < rows.feature_count; ++f) {
      float* weights = v.row(f).data() + first;
      for (std::uint32_t p = 0; p < count; ++p) weights[p] = static_cast<float>(weights[p] * scale);
    }
    scale = 1.0;
  };
  for (std::uint32_t epoch = 0; epoch < options.epochs; ++epoch) {
    shuffler.shuffle(order);
    for (const std::uint32_t i : order) {
      const double eta = 1.0 / (alpha * (t0 + t));
      t += 1.0;
      const std::span<const std::uint32_t> text = rows.row(i);
      // Sums of x_f * v_f with the text's value factored out; a value of 1 multiplies exactly, so
      // unscaled rows give the unscaled sums to the bit.
      std::fill(scores.begin(), scores.end(), 0.0);
      for (std::size_t j = 0; j < text.size(); ++j) {
        // The rows lie all over the model: ask for a later one while this one is summed.
        if (j + kAhead < text.size() && text[j + kAhead] < rows.feature_count) {
          const float* later = v.weights.data() + std::size_t{text[j + kAhead]} * problems + first;
          __builtin_prefetch(later);
          __builtin_prefetch(later + count - 1);
        }
        const std::uint32_t f = text[j];
        if (f >= rows.feature_count) continue;
        const float* weights = v.weights.data() + std::size_t{f} * problems + first;
        const double x = kScaled ? rows.feature_value(f) : 1.0;
        for (std::uint32_t p = 0; p < count; ++p) scores[p] += x * weights[p];
      }
      const double row_value = kScaled ? rows.row_value(i) : 1.0;
      const double score_scale = scale * row_value;
      const double intercept_input = options.intercept_by_row ? row_value : 1.0;
      const std::uint32_t label = rows.labels[i];
      const double class_weight = (options.class_weights.empty() ? 1.0 : options.class_weights[label]) *
                                  rows.sample_value(i);
      bool any = false;
      for (std::uint32_t p = 0; p < count; ++p) {
        const double score = score_scale * scores[p] + bias[first + p] * intercept_input;
        const bool positive = binary ? label == 1 : label == first + p;
        // Clipped as scikit-learn does, so that one wild step cannot reach infinity.
        const double g = std::clamp(
            class_weight * loss_derivative(options.loss, score, positive ? 1.0 : -1.0), -1e12, 1e12);
        steps[p] = -eta * g;
        any = any || g != 0.0;
      }
      if (any) {
        for (std::uint32_t p = 0; p < count; ++p) {
          row_steps[p] = static_cast<float>(steps[p] * row_value / scale);
          if (options.fit_intercept) bias[first + p] += steps[p] * kInterceptDecay * intercept_input;
        }
        for (const std::uint32_t f : text) {
          if (f >= rows.feature_count) continue;
          float* weights = v.weights.data() + std::size_t{f} * problems + first;
          const float x = kScaled ? rows.feature_value(f) : 1.0f;
          for (std::uint32_t p = 0; p < count; ++p) weights[p] += row_steps[p] * x;
        }
      }
      const double shrink = 1.0 - eta * alpha;
      if (shrink <= 0.0) {
        scale = 0.0;
        fold_scale();
      } else {
        scale *= shrink;
      }
      // A tiny scale would make steps / scale overflow float: fold it into the weights first.
      if (scale < 1e-9) fold_scale();
    }
  }
  fold_scale();
}

}  // namespace

LinearModel fit_sgd(const LabelledRows& rows, const SgdOptions& options, pool::ThreadPool* pool) {
  const std::uint32_t classes = rows.class_count;
  if (!(options.alpha > 0.0) || !std::isfinite(options.alpha)) {
    throw std::invalid_argument("alpha must be a positive number");
  }
  check_class_weights(options.class_weights, classes);
  if (options.initial != nullptr &&
      (options.initial->feature_count != rows.feature_count || options.initial->class_count != classes ||
       options.initial->weights.size() != std::size_t{rows.feature_count} * classes ||
       options.initial->bias.size() != classes)) {
    throw std::invalid_argument("initial weights must have the shape (feature_count, class_count)");
  }

  // Two classes need one binary problem, class 1 against class 0, as scikit-learn solves them: its
  // weights become class 1's and class 0 keeps zeros, which gives the same argmax and the same
  // margin. More classes need one problem per class.
  const bool binary = classes == 2;
  const std::uint32_t problems = binary ? 1 : classes;
  LinearModel v(rows.feature_count, problems);
  if (options.initial != nullptr) {
    const LinearModel& initial = *options.initial;
    for (std::uint32_t f = 0; f < rows.feature_count; ++f) {
      for (std::uint32_t p = 0; p < problems; ++p) {
        v.row(f)[p] = binary ? initial.row(f)[1] - initial.row(f)[0] : initial.row(f)[p];
      }
    }
    for (std::uint32_t p = 0; p < problems; ++p) {
      v.bias[p] = binary ? initial.bias[1] - initial.bias[0] : initial.bias[p];
    }
  }
  std::vector<double> bias(v.bias.begin(), v.bias.end());
  // Every part reads every text's ids and its own slice of their rows, so parts cost a pass over the
  // texts each: one part per worker at most, and only with enough classes per part to outweigh that
  // (20 Newsgroups' 20 classes in 16 parts ran 3x slower than on one thread).
  const std::size_t parts =
      pool == nullptr ? 1 : std::min<std::size_t>(pool->num_threads(), problems / kMinProblemsPerPart);
  const auto run = [&](std::uint32_t first, std::uint32_t last) {
    if (rows.weighted()) {
      run_problems<true>(rows, options, binary, v, bias, first, last);
    } else {
      run_problems<false>(rows, options, binary, v, bias, first, last);
    }
  };
  if (parts < 2) {
    run(0, problems);
  } else {
    const auto bound = [&](std::uint64_t part) {
      return static_cast<std::uint32_t>(part * problems / parts);
    };
    pool::for_each_range(*pool, parts, [&](std::uint64_t begin, std::uint64_t end) {
      for (std::uint64_t part = begin; part < end; ++part) {
        run(bound(part), bound(part + 1));
      }
    });
  }
  for (std::uint32_t p = 0; p < problems; ++p) v.bias[p] = static_cast<float>(bias[p]);
  if (!binary) return v;
  LinearModel out(rows.feature_count, 2);
  for (std::uint32_t f = 0; f < rows.feature_count; ++f) out.row(f)[1] = v.row(f)[0];
  out.bias[1] = v.bias[0];
  return out;
}

}  // namespace ombrel::learners
