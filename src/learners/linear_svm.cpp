#include "learners/linear_svm.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "learners/shuffler.h"

namespace ombrel::learners {

namespace {

// What every problem shares: each text's |x_i|^2 + u_i^2 (a run of one id is one value, n times as
// large) and u_i, the intercept's input (0 without one). The values themselves are computed where they
// are read, from the rows' scales: a copy of them would double the memory of the ids.
struct RowTerms {
  std::vector<double> squared_norms;
  std::vector<double> intercept_inputs;
};

RowTerms row_terms(const LabelledRows& rows, const SvmOptions& options) {
  RowTerms out{std::vector<double>(rows.size()), std::vector<double>(rows.size())};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::span<const std::uint32_t> text = rows.row(i);
    const double row_value = rows.row_value(i);
    double squared = 0.0;
    for (std::size_t j = 0; j < text.size();) {
      const std::uint32_t f = text[j];
      std::size_t run = 1;
      while (j + run < text.size() && text[j + run] == f) ++run;
      j += run;
      if (f >= rows.feature_count) continue;
      const double value = static_cast<double>(run) * rows.feature_value(f) * row_value;
      squared += value * value;
    }
    const double u = options.fit_intercept ? (options.intercept_by_row ? row_value : 1.0) : 0.0;
    out.intercept_inputs[i] = u;
    out.squared_norms[i] = squared + u * u;
  }
  return out;
}

// One problem: texts whose label is `positive` (or, binary, label 1) against the rest. w holds
// feature_count weights and then the intercept; returns the passes taken.
std::uint32_t solve(const LabelledRows& rows, const RowTerms& x, const SvmOptions& options,
                    std::uint32_t positive, bool binary, std::vector<double>& w) {
  const std::size_t n = rows.size();
  const std::uint32_t features = rows.feature_count;
  std::fill(w.begin(), w.end(), 0.0);
  std::vector<double> alpha(n, 0.0);
  std::vector<double> diagonal(n);  // 1 / (2 C_i): the squared hinge's term of Q_ii
  std::vector<double> q(n);         // Q_ii
  std::vector<std::uint32_t> index;
  index.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t label = rows.labels[i];
    const double weight = (options.class_weights.empty() ? 1.0 : options.class_weights[label]) *
                          rows.sample_value(i);
    if (!(weight > 0.0)) continue;  // teaches nothing: its variable stays 0
    diagonal[i] = 0.5 / (options.c * weight);
    q[i] = x.squared_norms[i] + diagonal[i];
    index.push_back(static_cast<std::uint32_t>(i));
  }
  // Each problem draws its own order, so that it does not depend on which thread solves it.
  Shuffler shuffler(options.seed ^ (0x9E3779B97F4A7C15ull * (std::uint64_t{positive} + 1)));
  const double infinity = std::numeric_limits<double>::infinity();
  double gradient_max_old = infinity;
  std::size_t active = index.size();
  std::vector<std::uint32_t> order;
  std::uint32_t pass = 0;
  while (pass < options.max_passes) {
    ++pass;
    order.assign(index.begin(), index.begin() + static_cast<std::ptrdiff_t>(active));
    shuffler.shuffle(order);
    std::copy(order.begin(), order.end(), index.begin());
    double gradient_max = -infinity;
    double gradient_min = infinity;
    for (std::size_t s = 0; s < active; ++s) {
      const std::uint32_t i = index[s];
      const double y = (binary ? rows.labels[i] == 1 : rows.labels[i] == positive) ? 1.0 : -1.0;
      const std::span<const std::uint32_t> text = rows.row(i);
      const double row_value = rows.row_value(i);
      double sum = 0.0;  // the value's row factor taken out
      for (const std::uint32_t f : text) {
        if (f < features) sum += w[f] * rows.feature_value(f);
      }
      const double score = sum * row_value + w[features] * x.intercept_inputs[i];
      const double g = y * score - 1.0 + alpha[i] * diagonal[i];
      double projected = g;
      if (alpha[i] == 0.0) {
        if (g > gradient_max_old) {  // at its bound and likely to stay there: shrink it
          --active;
          std::swap(index[s], index[active]);
          --s;
          continue;
        }
        projected = std::min(g, 0.0);
      }
      gradient_max = std::max(gradient_max, projected);
      gradient_min = std::min(gradient_min, projected);
      if (std::fabs(projected) > 1e-12) {
        const double before = alpha[i];
        alpha[i] = std::max(before - g / q[i], 0.0);
        const double step = (alpha[i] - before) * y;
        const double row_step = step * row_value;
        for (const std::uint32_t f : text) {
          if (f < features) w[f] += row_step * rows.feature_value(f);
        }
        w[features] += step * x.intercept_inputs[i];
      }
    }
    if (gradient_max - gradient_min <= options.tol || active == 0) {
      if (active == index.size()) break;
      active = index.size();  // converged on the active set: check every variable once more
      gradient_max_old = infinity;
      continue;
    }
    gradient_max_old = gradient_max <= 0.0 ? infinity : gradient_max;
  }
  return pass;
}

}  // namespace

SvmFit fit_linear_svm(const LabelledRows& rows, const SvmOptions& options, pool::ThreadPool* pool) {
  const std::uint32_t classes = rows.class_count;
  if (!(options.c > 0.0) || !std::isfinite(options.c)) throw std::invalid_argument("C must be a positive number");
  if (!(options.tol > 0.0) || !std::isfinite(options.tol)) {
    throw std::invalid_argument("tol must be a positive number");
  }
  if (options.max_passes == 0) throw std::invalid_argument("max_passes must be at least 1");
  check_class_weights(options.class_weights, classes);
  const bool binary = classes == 2;
  const std::uint32_t problems = binary ? 1 : classes;
  const RowTerms x = row_terms(rows, options);
  SvmFit out{LinearModel(rows.feature_count, classes), std::vector<std::uint32_t>(problems, 0)};
  const auto run = [&](std::uint64_t first, std::uint64_t last) {
    std::vector<double> w(std::size_t{rows.feature_count} + 1);
    for (std::uint64_t p = first; p < last; ++p) {
      const std::uint32_t problem = static_cast<std::uint32_t>(p);
      out.passes[problem] = solve(rows, x, options, problem, binary, w);
      const std::uint32_t column = binary ? 1 : problem;  // each problem writes only its own column
      for (std::uint32_t f = 0; f < rows.feature_count; ++f) out.model.row(f)[column] = static_cast<float>(w[f]);
      out.model.bias[column] = static_cast<float>(w[rows.feature_count]);
    }
  };
  if (pool == nullptr || problems < 2) {
    run(0, problems);
  } else {
    pool::for_each_range(*pool, problems, run);
  }
  return out;
}

}  // namespace ombrel::learners
