#include "learners/slot_refit.h"

#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "learners/shuffler.h"

namespace ombrel::learners {

LinearModel refit_cut(const LabelledRows& rows, const LinearModel& cut, const RefitOptions& options) {
  const std::uint32_t classes = rows.class_count;
  if (cut.feature_count != rows.feature_count || cut.class_count != classes ||
      cut.weights.size() != std::size_t{rows.feature_count} * classes || cut.bias.size() != classes) {
    throw std::invalid_argument("the cut model must have the shape (feature_count, class_count)");
  }
  if (!(options.step > 0.0) || !std::isfinite(options.step) || !std::isfinite(options.margin)) {
    throw std::invalid_argument("step must be a positive number and margin finite");
  }
  LinearModel w = cut;
  std::vector<std::uint8_t> kept(w.weights.size());
  for (std::size_t i = 0; i < kept.size(); ++i) kept[i] = w.weights[i] != 0.0f;
  double magnitude = 0.0;
  std::size_t kept_count = 0;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (!kept[i]) continue;
    magnitude += std::abs(w.weights[i]);
    ++kept_count;
  }
  magnitude = kept_count > 0 ? magnitude / static_cast<double>(kept_count) : 1.0;
  const double margin = options.margin * magnitude;
  // Averaging as in perceptron.cpp: u accumulates step number * update; the average is w - u / S.
  LinearModel u(rows.feature_count, classes);
  const auto step = static_cast<float>(options.step * magnitude);
  double counter = 0.0;
  // Adds delta to class c of row f, in the field's form.
  const auto move = [&](std::uint32_t f, std::uint32_t c, float delta) {
    const std::size_t at = std::size_t{f} * classes;
    const auto weighted = static_cast<float>(counter * delta);
    if (kept[at + c]) {
      w.weights[at + c] += delta;
      u.weights[at + c] += weighted;
      return;
    }
    for (std::uint32_t k = 0; k < classes; ++k) {
      if (!kept[at + k]) continue;
      w.weights[at + k] -= delta;
      u.weights[at + k] -= weighted;
    }
  };

  std::vector<double> scores(classes);
  std::vector<std::uint32_t> order(rows.size());
  std::iota(order.begin(), order.end(), 0u);
  Shuffler shuffler(options.seed);
  for (std::uint32_t epoch = 0; epoch < options.epochs; ++epoch) {
    shuffler.shuffle(order);
    for (const std::uint32_t i : order) {
      counter += 1.0;
      const std::span<const std::uint32_t> text = rows.row(i);
      scores.assign(w.bias.begin(), w.bias.end());
      for (const std::uint32_t f : text) {
        if (f >= rows.feature_count) continue;
        const float* row = w.row(f).data();
        for (std::uint32_t c = 0; c < classes; ++c) scores[c] += row[c];
      }
      const std::uint32_t label = rows.labels[i];
      std::uint32_t rival = label == 0 ? 1 : 0;
      for (std::uint32_t c = 0; c < classes; ++c) {
        if (c != label && scores[c] > scores[rival]) rival = c;
      }
      if (classes < 2 || scores[label] - scores[rival] >= margin) continue;
      for (const std::uint32_t f : text) {
        if (f >= rows.feature_count) continue;
        move(f, label, step);
        move(f, rival, -step);
      }
      w.bias[label] += step;
      w.bias[rival] -= step;
      u.bias[label] += static_cast<float>(counter * step);
      u.bias[rival] -= static_cast<float>(counter * step);
    }
  }
  if (counter > 0.0) {
    const double inverse = 1.0 / counter;
    for (std::size_t k = 0; k < w.weights.size(); ++k) {
      // A kept weight that averages to exactly 0 would read as dropped: keep it just off zero.
      float average = static_cast<float>(w.weights[k] - u.weights[k] * inverse);
      if (kept[k] && average == 0.0f) average = std::numeric_limits<float>::min();
      w.weights[k] = kept[k] ? average : 0.0f;
    }
    for (std::uint32_t c = 0; c < classes; ++c)
      w.bias[c] = static_cast<float>(w.bias[c] - u.bias[c] * inverse);
  }
  return w;
}

}  // namespace ombrel::learners
