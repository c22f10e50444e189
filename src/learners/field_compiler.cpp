#include "learners/field_compiler.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace ombrel::learners {

namespace {

constexpr double kMaxWeight = 32767.0;  // -32767 .. 32767: symmetric, so a sign flip never saturates
constexpr double kMaxPotential = 2147483647.0;

void check_shape(const LinearModel& model) {
  if (model.class_count == 0) throw std::invalid_argument("class_count must be at least 1");
  if (model.weights.size() != std::size_t{model.feature_count} * model.class_count ||
      model.bias.size() != model.class_count) {
    throw std::invalid_argument(
        "weights must have the shape (feature_count, class_count) and bias class_count");
  }
  for (const float w : model.weights) {
    if (!std::isfinite(w)) throw std::invalid_argument("weights must be finite");
  }
  for (const float b : model.bias) {
    if (!std::isfinite(b)) throw std::invalid_argument("bias must be finite");
  }
}

void shift_to_middle(std::span<float> row) {
  const auto [lo, hi] = std::minmax_element(row.begin(), row.end());
  const double middle = (static_cast<double>(*lo) + *hi) / 2.0;
  for (float& w : row) w = static_cast<float>(w - middle);
}

// Cuts one row of more than `slots` classes in place. `order` and `prefix` are scratch space.
void cut_row(std::span<float> row, std::uint32_t slots, SlotChoice choice, std::vector<std::uint32_t>& order,
             std::vector<double>& prefix, std::vector<double>& prefix_squares) {
  const auto classes = static_cast<std::uint32_t>(row.size());
  const std::uint32_t dropped = classes - slots;
  order.resize(classes);
  std::iota(order.begin(), order.end(), 0u);
  // Ties keep the lower class first, so equal weights are cut the same way on every platform. A row
  // has a few dozen classes at most in practice: there each class's place is counted (how many
  // classes sort before it), comparisons without branches that the compiler vectorizes, several
  // times faster than a comparison sort, whose branches a row of random weights mispredicts.
  if (classes <= 64) {
    for (std::uint32_t i = 0; i < classes; ++i) {
      const float v = row[i];
      std::uint32_t place = 0;
      for (std::uint32_t j = 0; j < classes; ++j) {
        place += static_cast<std::uint32_t>(row[j] < v) | (static_cast<std::uint32_t>(row[j] == v) & (j < i));
      }
      order[place] = i;
    }
  } else {
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return row[a] < row[b]; });
  }
  std::uint32_t first = 0;  // the dropped classes are order[first, first + dropped)
  double shift = 0.0;
  switch (choice) {
    case SlotChoice::kSpread: {
      prefix.assign(classes + 1, 0.0);
      prefix_squares.assign(classes + 1, 0.0);
      for (std::uint32_t k = 0; k < classes; ++k) {
        const double w = row[order[k]];
        prefix[k + 1] = prefix[k] + w;
        prefix_squares[k + 1] = prefix_squares[k] + w * w;
      }
      double best = std::numeric_limits<double>::infinity();
      for (std::uint32_t s = 0; s + dropped <= classes; ++s) {
        const double sum = prefix[s + dropped] - prefix[s];
        const double spread = (prefix_squares[s + dropped] - prefix_squares[s]) - sum * sum / dropped;
        if (spread < best) {
          best = spread;
          first = s;
        }
      }
      shift = (prefix[first + dropped] - prefix[first]) / dropped;
      break;
    }
    case SlotChoice::kCentered: {
      double mean = 0.0;
      for (const float w : row) mean += w;
      mean /= classes;
      // The kept classes are the `slots` farthest from the mean: in sorted order a run of the lowest
      // and the highest, so the dropped ones are again one run; take the run nearest the mean.
      std::uint32_t lo = 0;
      std::uint32_t hi = classes;  // kept: order[0, lo) and order[hi, classes)
      for (std::uint32_t k = 0; k < slots; ++k) {
        if (std::abs(row[order[lo]] - mean) >= std::abs(row[order[hi - 1]] - mean)) {
          ++lo;
        } else {
          --hi;
        }
      }
      first = lo;
      shift = mean;
      break;
    }
    case SlotChoice::kLargest: {
      first = 0;
      double sum = 0.0;
      for (std::uint32_t k = 0; k < dropped; ++k) sum += row[order[k]];
      shift = sum / dropped;
      break;
    }
  }
  // In place, in sorted order: each class is read once before it is written (order is a permutation).
  for (std::uint32_t k = 0; k < classes; ++k) {
    const std::uint32_t c = order[k];
    row[c] = (k >= first && k < first + dropped) ? 0.0f : static_cast<float>(row[c] - shift);
  }
}

void put_u32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

void put_i16(unsigned char* p, std::int16_t v) {
  const auto u = static_cast<std::uint16_t>(v);
  p[0] = static_cast<unsigned char>(u);
  p[1] = static_cast<unsigned char>(u >> 8);
}

// One record: id, then the synapses in the order given; lock and padding stay 0.
class RecordWriter final {
 public:
  RecordWriter(unsigned char* record, std::uint32_t id) : record_(record) {
    std::fill(record_, record_ + kFieldRecordBytes, static_cast<unsigned char>(0));
    put_u32(record_, id);
  }
  void add(std::uint32_t target, long weight) {
    if (weight == 0) return;
    put_u32(record_ + 8 + 4 * count_, target);
    put_i16(record_ + 40 + 2 * count_, static_cast<std::int16_t>(weight));
    ++count_;
    put_u32(record_ + 4, count_);
  }

 private:
  unsigned char* record_;
  std::uint32_t count_ = 0;
};

long quantize(double scale, float w) {
  return std::clamp(std::lround(scale * w), -32767L, 32767L);
}

}  // namespace

LinearModel cut_to_slots(const LinearModel& model, const CompileOptions& options) {
  check_shape(model);
  if (options.slots < 1 || options.slots > kFieldSlots) throw std::invalid_argument("slots must be 1 to 8");
  LinearModel cut = model;
  std::vector<std::uint32_t> order;
  std::vector<double> prefix;
  std::vector<double> prefix_squares;
  for (std::uint32_t f = 0; f < cut.feature_count; ++f) {
    const std::span<float> row = cut.row(f);
    if (cut.class_count <= options.slots) {
      shift_to_middle(row);
    } else {
      cut_row(row, options.slots, options.choice, order, prefix, prefix_squares);
    }
  }
  shift_to_middle(cut.bias);
  return cut;
}

FieldPlan plan_field(const LinearModel& cut, const CompileOptions& options) {
  check_shape(cut);
  FieldPlan plan;
  plan.feature_count = cut.feature_count;
  plan.class_count = cut.class_count;
  plan.bias_groups = (cut.class_count + kFieldSlots - 1) / kFieldSlots;

  std::vector<double> largest(cut.feature_count, 0.0);  // m[f]
  double top = 0.0;
  for (std::uint32_t f = 0; f < cut.feature_count; ++f) {
    for (const float w : cut.row(f)) largest[f] = std::max(largest[f], static_cast<double>(std::abs(w)));
    top = std::max(top, largest[f]);
  }
  double bias_top = 0.0;
  for (const float b : cut.bias) bias_top = std::max(bias_top, static_cast<double>(std::abs(b)));

  std::uint64_t text_tokens = cut.feature_count;
  if (options.max_text_tokens != 0)
    text_tokens = std::min<std::uint64_t>(text_tokens, options.max_text_tokens);
  if (text_tokens < largest.size()) {
    std::nth_element(largest.begin(), largest.begin() + static_cast<std::ptrdiff_t>(text_tokens),
                     largest.end(), std::greater<>());
  }
  const double text_sum =
      std::accumulate(largest.begin(), largest.begin() + static_cast<std::ptrdiff_t>(text_tokens), 0.0);

  double scale = top > 0.0 ? kMaxWeight / top : (bias_top > 0.0 ? kMaxWeight / bias_top : 1.0);
  const double room = kMaxPotential - (static_cast<double>(text_tokens) + 1.0) / 2.0;
  if (text_sum + bias_top > 0.0 && scale * (text_sum + bias_top) > room) scale = room / (text_sum + bias_top);
  plan.scale = scale;
  const double bias_scaled = std::round(scale * bias_top);
  plan.bias_repeats =
      std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::ceil(bias_scaled / kMaxWeight)));
  if (plan.record_count() > std::uint64_t{1} << 32) {
    throw std::invalid_argument("too many features for 32-bit sensory ids with the bias neurons");
  }
  return plan;
}

void write_field(const LinearModel& cut, const FieldPlan& plan, std::span<unsigned char> out) {
  const std::uint32_t classes = cut.class_count;
  for (std::uint32_t f = 0; f < cut.feature_count; ++f) {
    RecordWriter record(out.data() + std::size_t{f} * kFieldRecordBytes, f);
    const std::span<const float> row = cut.row(f);
    for (std::uint32_t c = 0; c < classes; ++c) {
      if (row[c] != 0.0f) record.add(c, quantize(plan.scale, row[c]));
    }
  }
  const std::uint32_t repeats = plan.bias_repeats;
  for (std::uint32_t j = 0; j < plan.bias_neurons(); ++j) {
    const std::uint32_t id = cut.feature_count + j;
    const std::uint32_t copy = j / plan.bias_groups;
    const std::uint32_t group = j % plan.bias_groups;
    RecordWriter record(out.data() + std::size_t{id} * kFieldRecordBytes, id);
    for (std::uint32_t c = group * kFieldSlots; c < std::min(classes, (group + 1) * kFieldSlots); ++c) {
      // Shares of the rounded total: the quotient on every copy, one more (in the total's direction)
      // on the first |remainder| copies, so they add up to the total and each stays within 16 bits.
      const long total = std::lround(plan.scale * cut.bias[c]);
      const long share = total / static_cast<long>(repeats);
      const long remainder = total % static_cast<long>(repeats);
      const long extra = static_cast<long>(copy) < std::abs(remainder) ? (remainder > 0 ? 1 : -1) : 0;
      record.add(c, share + extra);
    }
  }
}

std::vector<unsigned char> compile_field(const LinearModel& model, const CompileOptions& options,
                                         FieldPlan* plan) {
  const LinearModel cut = cut_to_slots(model, options);
  const FieldPlan planned = plan_field(cut, options);
  std::vector<unsigned char> bytes(planned.byte_size());
  write_field(cut, planned, bytes);
  if (plan != nullptr) *plan = planned;
  return bytes;
}

}  // namespace ombrel::learners
