#include "learners/labelled_rows.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace ombrel::learners {

namespace {

// A value scales a weight's step and its share of a score: a negative one would turn a feature
// against its own class, and a NaN or an infinity would spread through every weight it touches.
void check_scale(std::span<const float> scale, std::size_t expected, const char* name, const char* what) {
  if (scale.empty()) return;
  if (scale.size() != expected) {
    throw std::invalid_argument(std::string(name) + " must be empty or hold " + what + " (" +
                                std::to_string(expected) + ") values, not " + std::to_string(scale.size()));
  }
  for (std::size_t k = 0; k < scale.size(); ++k) {
    if (!(scale[k] >= 0.0f) || !std::isfinite(scale[k])) {
      throw std::invalid_argument(std::string(name) + "[" + std::to_string(k) +
                                  "] is not a finite non-negative number");
    }
  }
}

}  // namespace

void check_class_weights(std::span<const double> class_weights, std::uint32_t class_count) {
  if (class_weights.empty()) return;
  if (class_weights.size() != class_count) {
    throw std::invalid_argument("class_weights must hold one weight per class");
  }
  for (const double weight : class_weights) {
    if (!(weight > 0.0) || !std::isfinite(weight)) throw std::invalid_argument("class weights must be positive");
  }
}

void check_rows(const LabelledRows& rows) {
  if (rows.class_count == 0) throw std::invalid_argument("class_count must be at least 1");
  if (rows.offsets.size() != rows.labels.size() + 1) {
    throw std::invalid_argument("offsets must have one entry more than there are labels (" +
                                std::to_string(rows.offsets.size()) + " offsets, " +
                                std::to_string(rows.labels.size()) + " labels)");
  }
  if (rows.offsets.front() != 0) throw std::invalid_argument("offsets must start at 0");
  for (std::size_t i = 0; i + 1 < rows.offsets.size(); ++i) {
    if (rows.offsets[i + 1] < rows.offsets[i]) {
      throw std::invalid_argument("offsets decrease at text " + std::to_string(i));
    }
  }
  if (rows.offsets.back() != rows.ids.size()) {
    throw std::invalid_argument("the last offset (" + std::to_string(rows.offsets.back()) +
                                ") is not the number of ids (" + std::to_string(rows.ids.size()) + ")");
  }
  for (std::size_t i = 0; i < rows.labels.size(); ++i) {
    if (rows.labels[i] >= rows.class_count) {
      throw std::invalid_argument("label " + std::to_string(rows.labels[i]) + " of text " +
                                  std::to_string(i) + " is not below class_count " +
                                  std::to_string(rows.class_count));
    }
  }
  check_scale(rows.feature_scale, rows.feature_count, "feature_scale", "feature_count");
  check_scale(rows.row_scale, rows.size(), "row_scale", "the number of texts");
  check_scale(rows.sample_weight, rows.size(), "sample_weight", "the number of texts");
}

std::vector<std::uint32_t> predict(const LinearModel& model, std::span<const std::uint32_t> ids,
                                   std::span<const std::uint64_t> offsets) {
  const std::size_t n = offsets.empty() ? 0 : offsets.size() - 1;
  std::vector<std::uint32_t> out(n, 0);
  std::vector<float> scores(model.class_count);
  for (std::size_t i = 0; i < n; ++i) {
    scores.assign(model.bias.begin(), model.bias.end());
    for (std::uint64_t k = offsets[i]; k < offsets[i + 1]; ++k) {
      const std::uint32_t f = ids[k];
      if (f >= model.feature_count) continue;
      const std::span<const float> w = model.row(f);
      for (std::uint32_t c = 0; c < model.class_count; ++c) scores[c] += w[c];
    }
    std::uint32_t best = 0;
    for (std::uint32_t c = 1; c < model.class_count; ++c) {
      if (scores[c] > scores[best]) best = c;
    }
    out[i] = best;
  }
  return out;
}

std::vector<std::uint32_t> document_frequency(std::span<const std::uint32_t> ids,
                                              std::span<const std::uint64_t> offsets,
                                              std::uint32_t feature_count) {
  std::vector<std::uint32_t> df(feature_count, 0);
  const std::size_t n = offsets.empty() ? 0 : offsets.size() - 1;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::uint64_t k = offsets[i]; k < offsets[i + 1]; ++k) {
      const std::uint32_t f = ids[k];
      if (f >= feature_count || (k > offsets[i] && ids[k - 1] == f)) continue;
      ++df[f];
    }
  }
  return df;
}

std::vector<float> row_norms(std::span<const std::uint32_t> ids, std::span<const std::uint64_t> offsets,
                             std::span<const float> scale, double extra) {
  const std::size_t n = offsets.empty() ? 0 : offsets.size() - 1;
  std::vector<float> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    double sum = 0.0;
    for (std::uint64_t k = offsets[i]; k < offsets[i + 1];) {
      const std::uint32_t f = ids[k];
      const double value = f < scale.size() ? static_cast<double>(scale[f]) : 0.0;
      double run = 0.0;
      for (; k < offsets[i + 1] && ids[k] == f; ++k) run += value;
      sum += run * run;
    }
    out[i] = static_cast<float>(std::sqrt(sum + extra * extra));
  }
  return out;
}

void gather_rows(std::span<const std::uint32_t> ids, std::span<const std::uint64_t> offsets,
                 std::span<const std::uint64_t> rows, std::span<const std::uint32_t> renumber,
                 std::vector<std::uint32_t>& out_ids, std::vector<std::uint64_t>& out_offsets) {
  const std::size_t texts = offsets.empty() ? 0 : offsets.size() - 1;
  std::uint64_t total = 0;
  for (const std::uint64_t row : rows) {
    if (row >= texts) throw std::invalid_argument("a row past the texts");
    total += offsets[row + 1] - offsets[row];
  }
  out_ids.reserve(out_ids.size() + total);
  out_offsets.reserve(out_offsets.size() + rows.size());
  for (const std::uint64_t row : rows) {
    const std::span<const std::uint32_t> text = ids.subspan(offsets[row], offsets[row + 1] - offsets[row]);
    if (renumber.empty()) {
      out_ids.insert(out_ids.end(), text.begin(), text.end());
    } else {
      for (const std::uint32_t f : text) {
        if (f >= renumber.size()) throw std::invalid_argument("an id past the renumbering");
        if (renumber[f] != kDroppedId) out_ids.push_back(renumber[f]);
      }
    }
    out_offsets.push_back(out_ids.size());
  }
}

std::vector<double> decision_scores(const LinearModel& model, std::span<const std::uint32_t> ids,
                                    std::span<const std::uint64_t> offsets) {
  const std::size_t n = offsets.empty() ? 0 : offsets.size() - 1;
  const std::uint32_t classes = model.class_count;
  std::vector<double> out(n * classes, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    double* scores = out.data() + i * classes;
    for (std::uint64_t k = offsets[i]; k < offsets[i + 1]; ++k) {
      const std::uint32_t f = ids[k];
      if (f >= model.feature_count) continue;
      const std::span<const float> w = model.row(f);
      for (std::uint32_t c = 0; c < classes; ++c) scores[c] += w[c];
    }
    for (std::uint32_t c = 0; c < classes; ++c) scores[c] += model.bias[c];
  }
  return out;
}

}  // namespace ombrel::learners
