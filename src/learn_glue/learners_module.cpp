// ombrel_learn._learners: the float learners and the field compiler as Python functions.
//
//   count_naive_bayes(tokens, offsets, labels, feature_count, class_count, feature_scale=None,
//                     row_scale=None, sample_weight=None) -> (feature_counts float64 (F, C), class_texts float64 (C,))
//   naive_bayes_weights(feature_counts, class_texts, alpha, fit_prior) -> (weights, bias)
//   fit_perceptron(tokens, offsets, labels, feature_count, class_count, epochs, seed, average,
//                  initial_weights=None, initial_bias=None, margin=10.0, feature_scale=None,
//                  row_scale=None, fit_intercept=True, intercept_by_row=False, sample_weight=None) -> (weights, bias)
//   fit_sgd(tokens, offsets, labels, feature_count, class_count, loss, alpha, epochs, seed,
//           class_weights=None, initial_weights=None, initial_bias=None, first_step=0,
//           feature_scale=None, row_scale=None, fit_intercept=True, intercept_by_row=False,
//           sample_weight=None) -> (weights, bias)
//   (feature_scale float32 (F,) and row_scale float32 (texts,) make the value of id f in text i
//   feature_scale[f] * row_scale[i] instead of 1; sample_weight float32 (texts,) scales what each
//   text teaches; see learners/labelled_rows.h)
//   fit_linear_svm(tokens, offsets, labels, feature_count, class_count, c, tol, max_passes, seed,
//                  class_weights=None, feature_scale=None, row_scale=None, fit_intercept=True,
//                  intercept_by_row=False, sample_weight=None) -> (weights, bias, passes uint32 per problem)
//   cut(weights, bias, slots, choice) -> (weights, bias) as the field will hold them, before rounding
//   refit_cut(tokens, offsets, labels, weights, bias, epochs, step, margin, seed, sample_weight=None) -> (weights, bias):
//       a cut model trained further in the field's form
//   compile(weights, bias, slots, choice, max_text_tokens) -> (weight-file bytes, bias neurons, scale)
//   predict(tokens, offsets, weights, bias) -> uint32 classes
//   decision_function(tokens, offsets, weights, bias) -> float64 (texts, class_count) scores
//   document_frequency(tokens, offsets, feature_count) -> uint32 texts holding each feature (a run of
//       one id counts once)
//   row_norms(tokens, offsets, feature_scale, extra=0.0) -> float32 each text's L2 norm (id f worth
//       feature_scale[f], a run of n ids worth n times that, plus a constant feature `extra`)
//   append_ids(tokens, offsets, ids) -> (tokens, offsets) with ids added to the end of every text
//   gather_rows(tokens, offsets, rows, renumber=None) -> (tokens, offsets) of the texts `rows` (uint64), in
//       that order, id f written as renumber[f] (uint32) and left out where that is 2**32 - 1
//   field_potentials(records, class_count, tokens, offsets, suffix=None) -> bytes: int32 (texts,
//       class_count), each text's potentials as the field sums them from zero (suffix: ids every
//       text carries after its own); records are the weight-file bytes, read in place
//
// Weights are float32 (F, C), bias float32 (C,). Token ids and labels are uint32 buffers, offsets
// uint64 (an IdBatch, a memoryview of one, and its offsets bytes qualify: a bytes-like buffer of
// single bytes is read as native words). Results are Array objects, which numpy takes without a copy
// (numpy.asarray). Choices: loss "hinge", "log_loss", "modified_huber"; choice "spread",
// "centered", "largest".
//
// Every buffer is held (PyObject_GetBuffer) for the whole call, and the work runs with the
// interpreter lock released, touching only those buffers and C++ values. fit_sgd and fit_linear_svm divide
// their classes over the worker pool (same result as on one thread); the rest runs on the calling thread.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "learn_glue/py_handle.h"
#include "learners/field_compiler.h"
#include "learners/field_potentials.h"
#include "learners/labelled_rows.h"
#include "learners/linear_svm.h"
#include "learners/naive_bayes.h"
#include "learners/perceptron.h"
#include "learners/sgd.h"
#include "learners/slot_refit.h"
#include "pool/thread_pool.h"

namespace ombrel::learn {
namespace {

using learners::LinearModel;

// ---------------------------------------------------------------------------------------------
// Array: an owned vector exported through the buffer protocol, one or two dimensions.

class Storage {
 public:
  virtual ~Storage() = default;
};

template <class T>
class VectorStorage final : public Storage {
 public:
  explicit VectorStorage(std::vector<T>&& values) : values(std::move(values)) {}
  std::vector<T> values;
};

struct ArrayObject {
  PyObject_HEAD Storage* storage;
  void* data;
  Py_ssize_t itemsize;
  int ndim;
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];
  const char* format;
};

PyTypeObject* g_array_type = nullptr;

template <class T>
constexpr const char* format_of() {
  if constexpr (std::is_same_v<T, float>) return "f";
  if constexpr (std::is_same_v<T, double>) return "d";
  if constexpr (std::is_same_v<T, std::uint32_t>) return "I";
  if constexpr (std::is_same_v<T, std::uint64_t>) return "Q";
}

// rows == 0: one dimension of values.size(); otherwise (rows, values.size() / rows).
template <class T>
PyObject* new_array(std::vector<T>&& values, Py_ssize_t rows = 0, Py_ssize_t columns = 0) {
  auto* self = PyObject_New(ArrayObject, g_array_type);
  if (self == nullptr) return nullptr;
  self->storage = nullptr;
  auto* storage = new (std::nothrow) VectorStorage<T>(std::move(values));
  if (storage == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  self->storage = storage;
  self->data = storage->values.data();
  self->itemsize = sizeof(T);
  self->format = format_of<T>();
  if (rows == 0 && columns == 0) {
    self->ndim = 1;
    self->shape[0] = static_cast<Py_ssize_t>(storage->values.size());
    self->strides[0] = sizeof(T);
    self->shape[1] = 0;
    self->strides[1] = 0;
  } else {
    self->ndim = 2;
    self->shape[0] = rows;
    self->shape[1] = columns;
    self->strides[0] = columns * static_cast<Py_ssize_t>(sizeof(T));
    self->strides[1] = sizeof(T);
  }
  return reinterpret_cast<PyObject*>(self);
}

void array_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ArrayObject*>(self)->storage;
  PyObject_Free(self);
  Py_DECREF(type);
}

// The storage never moves or changes size, so views need no export count.
int array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* a = reinterpret_cast<ArrayObject*>(self);
  Py_ssize_t items = 1;
  for (int d = 0; d < a->ndim; ++d) items *= a->shape[d];
  if ((flags & PyBUF_ND) != PyBUF_ND && a->ndim != 1) {
    PyErr_SetString(PyExc_BufferError, "a two-dimensional Array needs a shaped buffer request");
    view->obj = nullptr;
    return -1;
  }
  view->buf = a->data;
  view->obj = Py_NewRef(self);
  view->len = items * a->itemsize;
  view->readonly = 0;
  view->itemsize = a->itemsize;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(a->format) : nullptr;
  view->ndim = a->ndim;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? a->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? a->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyObject* array_shape(PyObject* self, void*) {
  auto* a = reinterpret_cast<ArrayObject*>(self);
  return a->ndim == 1 ? Py_BuildValue("(n)", a->shape[0]) : Py_BuildValue("(nn)", a->shape[0], a->shape[1]);
}

Py_ssize_t array_length(PyObject* self) {
  return reinterpret_cast<ArrayObject*>(self)->shape[0];
}

PyGetSetDef kArrayGetSet[] = {
    {"shape", array_shape, nullptr, "The array's shape.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kArraySlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(array_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(array_getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(array_length)},
    {Py_tp_getset, kArrayGetSet},
    {Py_tp_doc, const_cast<char*>("Numbers made by the learners, for numpy.asarray (no copy).")},
    {0, nullptr},
};
PyType_Spec kArraySpec = {"ombrel_learn._learners.Array", sizeof(ArrayObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kArraySlots};

// ---------------------------------------------------------------------------------------------
// Buffer arguments

enum class Kind { kU32, kU64, kF32, kF64 };

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::kU32: return "uint32";
    case Kind::kU64: return "uint64";
    case Kind::kF32: return "float32";
    case Kind::kF64: return "float64";
  }
  return "";
}

std::size_t kind_width(Kind kind) {
  return kind == Kind::kU32 || kind == Kind::kF32 ? 4 : 8;
}

// A buffer argument held for the life of this object.
class BufferArg final {
 public:
  BufferArg() = default;
  BufferArg(const BufferArg&) = delete;
  BufferArg& operator=(const BufferArg&) = delete;
  ~BufferArg() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Takes a C-contiguous buffer of `kind` with `ndim` dimensions (1 or 2). For the integer kinds a
  // one-dimensional buffer of single bytes is also taken, as native words. Sets TypeError or
  // ValueError and returns false otherwise.
  bool get(PyObject* obj, const char* name, Kind kind, int ndim = 1) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous %s buffer (a numpy array), not %.200s", name,
                   kind_name(kind), Py_TYPE(obj)->tp_name);
      return false;
    }
    held_ = true;
    const std::size_t width = kind_width(kind);
    std::string_view format = view_.format != nullptr ? view_.format : "B";
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<'))
      format.remove_prefix(1);
    const bool integer = kind == Kind::kU32 || kind == Kind::kU64;
    const bool raw_bytes = integer && view_.ndim == 1 && view_.itemsize == 1 &&
                           (format == "B" || format == "c") &&
                           static_cast<std::size_t>(view_.len) % width == 0;
    bool matches = false;
    if (static_cast<std::size_t>(view_.itemsize) == width && format.size() == 1) {
      const char letter = format[0];
      if (integer) matches = std::string_view("BHILQN").find(letter) != std::string_view::npos;
      if (kind == Kind::kF32) matches = letter == 'f';
      if (kind == Kind::kF64) matches = letter == 'd';
    }
    if (!matches && !raw_bytes) {
      PyErr_Format(PyExc_TypeError, "%s must hold %s values, not items of format '%s' and size %zd", name,
                   kind_name(kind), view_.format != nullptr ? view_.format : "B", view_.itemsize);
      return false;
    }
    if (!raw_bytes && view_.ndim != ndim) {
      PyErr_Format(PyExc_ValueError, "%s must have %d dimension%s, not %d", name, ndim, ndim == 1 ? "" : "s",
                   view_.ndim);
      return false;
    }
    count_ = static_cast<std::size_t>(view_.len) / width;
    return true;
  }

  template <class T>
  std::span<const T> values() const {
    return std::span<const T>(static_cast<const T*>(view_.buf), count_);
  }
  std::size_t size() const { return count_; }
  Py_ssize_t dimension(int d) const { return view_.shape != nullptr ? view_.shape[d] : 0; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  std::size_t count_ = 0;
};

// O& converter: an int in 0 .. 2^32 - 1.
int to_u32(PyObject* obj, void* out) {
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return 0;
  if (v > 0xFFFFFFFFull) {
    PyErr_SetString(PyExc_OverflowError, "value is above 2**32 - 1");
    return 0;
  }
  *static_cast<std::uint32_t*>(out) = static_cast<std::uint32_t>(v);
  return 1;
}

// O& converter: an int in 0 .. 2^64 - 1.
int to_u64(PyObject* obj, void* out) {
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return 0;
  *static_cast<std::uint64_t*>(out) = v;
  return 1;
}

// Token ids and offsets, and labels when given: the rows a learner reads.
struct RowsArgs {
  BufferArg tokens;
  BufferArg offsets;
  BufferArg labels;

  bool get(PyObject* tokens_obj, PyObject* offsets_obj, PyObject* labels_obj) {
    return tokens.get(tokens_obj, "tokens", Kind::kU32) && offsets.get(offsets_obj, "offsets", Kind::kU64) &&
           (labels_obj == nullptr || labels.get(labels_obj, "labels", Kind::kU32));
  }
  learners::LabelledRows rows(std::uint32_t features, std::uint32_t classes) const {
    return learners::LabelledRows{tokens.values<std::uint32_t>(), offsets.values<std::uint64_t>(),
                                  labels.values<std::uint32_t>(), features, classes};
  }
};

// Offsets for prediction: the same checks as training's, without labels.
void check_offsets(std::span<const std::uint32_t> tokens, std::span<const std::uint64_t> offsets) {
  if (offsets.empty()) throw std::invalid_argument("offsets must have one entry more than there are texts");
  const std::vector<std::uint32_t> no_labels(offsets.size() - 1, 0);
  learners::check_rows(learners::LabelledRows{tokens, offsets, no_labels, 0, 1});
}

// Weights (F, C) and bias (C,) copied into a model (the learners own their models).
bool to_model(PyObject* weights_obj, PyObject* bias_obj, LinearModel& model) {
  BufferArg weights;
  BufferArg bias;
  if (!weights.get(weights_obj, "weights", Kind::kF32, 2) || !bias.get(bias_obj, "bias", Kind::kF32))
    return false;
  const Py_ssize_t features = weights.dimension(0);
  const Py_ssize_t classes = weights.dimension(1);
  if (features > 0xFFFFFFFFll || classes > 0xFFFFFFFFll || classes < 1) {
    PyErr_SetString(PyExc_ValueError,
                    "weights must have shape (feature_count, class_count), class_count >= 1");
    return false;
  }
  if (static_cast<Py_ssize_t>(bias.size()) != classes) {
    PyErr_Format(PyExc_ValueError, "bias has %zu values for %zd classes", bias.size(), classes);
    return false;
  }
  try {
    model.feature_count = static_cast<std::uint32_t>(features);
    model.class_count = static_cast<std::uint32_t>(classes);
    const std::span<const float> w = weights.values<float>();
    const std::span<const float> b = bias.values<float>();
    model.weights.assign(w.begin(), w.end());
    model.bias.assign(b.begin(), b.end());
  } catch (...) {
    raise_from_native();
    return false;
  }
  return true;
}

// An optional starting model: both given or neither.
bool to_initial(PyObject* weights_obj, PyObject* bias_obj, LinearModel& model, bool& given) {
  given = weights_obj != Py_None || bias_obj != Py_None;
  if (!given) return true;
  if (weights_obj == Py_None || bias_obj == Py_None) {
    PyErr_SetString(PyExc_ValueError, "initial_weights and initial_bias go together");
    return false;
  }
  return to_model(weights_obj, bias_obj, model);
}

PyObject* model_result(LinearModel&& model) {
  const auto features = static_cast<Py_ssize_t>(model.feature_count);
  const auto classes = static_cast<Py_ssize_t>(model.class_count);
  Ref weights = Ref::steal(new_array(std::move(model.weights), features, classes));
  if (!weights) return nullptr;
  Ref bias = Ref::steal(new_array(std::move(model.bias)));
  if (!bias) return nullptr;
  return PyTuple_Pack(2, weights.get(), bias.get());
}

bool parse_choice(const char* name, learners::SlotChoice& out) {
  const std::string_view choice(name);
  if (choice == "spread") {
    out = learners::SlotChoice::kSpread;
  } else if (choice == "centered") {
    out = learners::SlotChoice::kCentered;
  } else if (choice == "largest") {
    out = learners::SlotChoice::kLargest;
  } else {
    PyErr_Format(PyExc_ValueError, "choice must be 'spread', 'centered' or 'largest', not '%s'", name);
    return false;
  }
  return true;
}

// The optional scales of the rows' values and the texts' sample weights (float32 buffers, or None
// for 1): their lengths and values are checked with the rows (check_rows).
struct ScaleArgs {
  BufferArg feature_scale;
  BufferArg row_scale;
  BufferArg sample_weight;

  bool get(PyObject* feature_obj, PyObject* row_obj, PyObject* sample_obj = Py_None) {
    return (feature_obj == Py_None || feature_scale.get(feature_obj, "feature_scale", Kind::kF32)) &&
           (row_obj == Py_None || row_scale.get(row_obj, "row_scale", Kind::kF32)) &&
           (sample_obj == Py_None || sample_weight.get(sample_obj, "sample_weight", Kind::kF32));
  }
  learners::LabelledRows scaled(learners::LabelledRows rows) const {
    rows.feature_scale = feature_scale.values<float>();
    rows.row_scale = row_scale.values<float>();
    rows.sample_weight = sample_weight.values<float>();
    return rows;
  }
};

// ---------------------------------------------------------------------------------------------
// Functions

PyObject* count_naive_bayes(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"tokens",      "offsets",       "labels",    "feature_count",
                                    "class_count", "feature_scale", "row_scale", "sample_weight", nullptr};
  PyObject *tokens, *offsets, *labels;
  std::uint32_t features, classes;
  PyObject* feature_scale = Py_None;
  PyObject* row_scale = Py_None;
  PyObject* sample_weight = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO&O&|OOO:count_naive_bayes", const_cast<char**>(kKeywords),
                                   &tokens, &offsets, &labels, to_u32, &features, to_u32, &classes,
                                   &feature_scale, &row_scale, &sample_weight)) {
    return nullptr;
  }
  RowsArgs in;
  ScaleArgs scales;
  if (!in.get(tokens, offsets, labels) || !scales.get(feature_scale, row_scale, sample_weight)) return nullptr;
  learners::NaiveBayesCounts counts;
  try {
    const UnlockedScope unlocked(true);
    const learners::LabelledRows rows = scales.scaled(in.rows(features, classes));
    learners::check_rows(rows);
    counts = learners::count_naive_bayes(rows);
  } catch (...) {
    return raise_from_native();
  }
  Ref feature_counts = Ref::steal(new_array(std::move(counts.feature_counts), features, classes));
  if (!feature_counts) return nullptr;
  Ref class_texts = Ref::steal(new_array(std::move(counts.class_texts)));
  if (!class_texts) return nullptr;
  return PyTuple_Pack(2, feature_counts.get(), class_texts.get());
}

PyObject* naive_bayes_weights(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"feature_counts", "class_texts", "alpha", "fit_prior", nullptr};
  PyObject *feature_counts_obj, *class_texts_obj;
  double alpha = 1.0;
  int fit_prior = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|dp:naive_bayes_weights", const_cast<char**>(kKeywords),
                                   &feature_counts_obj, &class_texts_obj, &alpha, &fit_prior)) {
    return nullptr;
  }
  BufferArg feature_counts;
  BufferArg class_texts;
  if (!feature_counts.get(feature_counts_obj, "feature_counts", Kind::kF64, 2) ||
      !class_texts.get(class_texts_obj, "class_texts", Kind::kF64)) {
    return nullptr;
  }
  const Py_ssize_t features = feature_counts.dimension(0);
  const Py_ssize_t classes = feature_counts.dimension(1);
  if (features > 0xFFFFFFFFll || classes > 0xFFFFFFFFll ||
      static_cast<Py_ssize_t>(class_texts.size()) != classes) {
    PyErr_SetString(PyExc_ValueError,
                    "feature_counts must be (feature_count, class_count) and class_texts (class_count,)");
    return nullptr;
  }
  LinearModel model;
  try {
    const UnlockedScope unlocked(true);
    model = learners::naive_bayes_model(static_cast<std::uint32_t>(features),
                                        static_cast<std::uint32_t>(classes), feature_counts.values<double>(),
                                        class_texts.values<double>(), alpha, fit_prior != 0);
  } catch (...) {
    return raise_from_native();
  }
  return model_result(std::move(model));
}

PyObject* fit_perceptron(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"tokens",          "offsets",      "labels", "feature_count",
                                    "class_count",     "epochs",       "seed",   "average",
                                    "initial_weights", "initial_bias", "margin", "feature_scale",
                                    "row_scale",       "fit_intercept", "intercept_by_row", "sample_weight",
                                    nullptr};
  PyObject *tokens, *offsets, *labels;
  std::uint32_t features, classes;
  std::uint32_t epochs = 5;
  std::uint64_t seed = 0;
  int average = 1;
  PyObject* initial_weights = Py_None;
  PyObject* initial_bias = Py_None;
  double margin = learners::PerceptronOptions{}.margin;
  PyObject* feature_scale = Py_None;
  PyObject* row_scale = Py_None;
  int fit_intercept = 1;
  int intercept_by_row = 0;
  PyObject* sample_weight = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO&O&|O&O&pOOdOOppO:fit_perceptron",
                                   const_cast<char**>(kKeywords), &tokens, &offsets, &labels, to_u32,
                                   &features, to_u32, &classes, to_u32, &epochs, to_u64, &seed, &average,
                                   &initial_weights, &initial_bias, &margin, &feature_scale, &row_scale,
                                   &fit_intercept, &intercept_by_row, &sample_weight)) {
    return nullptr;
  }
  RowsArgs in;
  ScaleArgs scales;
  if (!in.get(tokens, offsets, labels) || !scales.get(feature_scale, row_scale, sample_weight)) return nullptr;
  LinearModel initial;
  bool has_initial = false;
  if (!to_initial(initial_weights, initial_bias, initial, has_initial)) return nullptr;
  LinearModel model;
  try {
    const UnlockedScope unlocked(true);
    const learners::LabelledRows rows = scales.scaled(in.rows(features, classes));
    learners::check_rows(rows);
    learners::PerceptronOptions options;
    options.epochs = epochs;
    options.seed = seed;
    options.average = average != 0;
    options.margin = margin;
    options.fit_intercept = fit_intercept != 0;
    options.intercept_by_row = intercept_by_row != 0;
    options.initial = has_initial ? &initial : nullptr;
    model = learners::fit_perceptron(rows, options);
  } catch (...) {
    return raise_from_native();
  }
  return model_result(std::move(model));
}

PyObject* fit_sgd(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {
      "tokens", "offsets", "labels",        "feature_count",   "class_count",  "loss",       "alpha",
      "epochs", "seed",    "class_weights", "initial_weights", "initial_bias", "first_step", "feature_scale",
      "row_scale", "fit_intercept", "intercept_by_row", "sample_weight", nullptr};
  PyObject *tokens, *offsets, *labels;
  std::uint32_t features, classes;
  std::uint64_t first_step = 0;
  const char* loss_name = "hinge";
  double alpha = 1e-4;
  std::uint32_t epochs = 5;
  std::uint64_t seed = 0;
  PyObject* class_weights_obj = Py_None;
  PyObject* initial_weights = Py_None;
  PyObject* initial_bias = Py_None;
  PyObject* feature_scale = Py_None;
  PyObject* row_scale = Py_None;
  int fit_intercept = 1;
  int intercept_by_row = 0;
  PyObject* sample_weight = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO&O&|sdO&O&OOOO&OOppO:fit_sgd", const_cast<char**>(kKeywords),
                                   &tokens, &offsets, &labels, to_u32, &features, to_u32, &classes,
                                   &loss_name, &alpha, to_u32, &epochs, to_u64, &seed, &class_weights_obj,
                                   &initial_weights, &initial_bias, to_u64, &first_step, &feature_scale,
                                   &row_scale, &fit_intercept, &intercept_by_row, &sample_weight)) {
    return nullptr;
  }
  learners::SgdOptions options;
  const std::string_view loss(loss_name);
  if (loss == "hinge") {
    options.loss = learners::Loss::kHinge;
  } else if (loss == "log_loss") {
    options.loss = learners::Loss::kLog;
  } else if (loss == "modified_huber") {
    options.loss = learners::Loss::kModifiedHuber;
  } else {
    PyErr_Format(PyExc_ValueError, "loss must be 'hinge', 'log_loss' or 'modified_huber', not '%s'",
                 loss_name);
    return nullptr;
  }
  RowsArgs in;
  ScaleArgs scales;
  if (!in.get(tokens, offsets, labels) || !scales.get(feature_scale, row_scale, sample_weight)) return nullptr;
  BufferArg class_weights;
  if (class_weights_obj != Py_None && !class_weights.get(class_weights_obj, "class_weights", Kind::kF64)) {
    return nullptr;
  }
  LinearModel initial;
  bool has_initial = false;
  if (!to_initial(initial_weights, initial_bias, initial, has_initial)) return nullptr;
  LinearModel model;
  try {
    const UnlockedScope unlocked(true);
    const learners::LabelledRows rows = scales.scaled(in.rows(features, classes));
    learners::check_rows(rows);
    options.alpha = alpha;
    options.fit_intercept = fit_intercept != 0;
    options.intercept_by_row = intercept_by_row != 0;
    options.epochs = epochs;
    options.seed = seed;
    options.class_weights = class_weights.values<double>();
    options.initial = has_initial ? &initial : nullptr;
    options.first_step = first_step;
    model = learners::fit_sgd(rows, options, &pool::global_pool());
  } catch (...) {
    return raise_from_native();
  }
  return model_result(std::move(model));
}

PyObject* fit_linear_svm(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"tokens",        "offsets",       "labels",           "feature_count",
                                    "class_count",   "c",             "tol",              "max_passes",
                                    "seed",          "class_weights", "feature_scale",    "row_scale",
                                    "fit_intercept", "intercept_by_row", "sample_weight", nullptr};
  PyObject *tokens, *offsets, *labels;
  std::uint32_t features, classes;
  learners::SvmOptions options;
  double c = options.c;
  double tol = options.tol;
  std::uint32_t max_passes = options.max_passes;
  std::uint64_t seed = 0;
  PyObject* class_weights_obj = Py_None;
  PyObject* feature_scale = Py_None;
  PyObject* row_scale = Py_None;
  int fit_intercept = 1;
  int intercept_by_row = 0;
  PyObject* sample_weight = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO&O&|ddO&O&OOOppO:fit_linear_svm",
                                   const_cast<char**>(kKeywords), &tokens, &offsets, &labels, to_u32, &features,
                                   to_u32, &classes, &c, &tol, to_u32, &max_passes, to_u64, &seed,
                                   &class_weights_obj, &feature_scale, &row_scale, &fit_intercept,
                                   &intercept_by_row, &sample_weight)) {
    return nullptr;
  }
  RowsArgs in;
  ScaleArgs scales;
  if (!in.get(tokens, offsets, labels) || !scales.get(feature_scale, row_scale, sample_weight)) return nullptr;
  BufferArg class_weights;
  if (class_weights_obj != Py_None && !class_weights.get(class_weights_obj, "class_weights", Kind::kF64)) {
    return nullptr;
  }
  learners::SvmFit fit;
  try {
    const UnlockedScope unlocked(true);
    const learners::LabelledRows rows = scales.scaled(in.rows(features, classes));
    learners::check_rows(rows);
    options.c = c;
    options.tol = tol;
    options.max_passes = max_passes;
    options.seed = seed;
    options.class_weights = class_weights.values<double>();
    options.fit_intercept = fit_intercept != 0;
    options.intercept_by_row = intercept_by_row != 0;
    fit = learners::fit_linear_svm(rows, options, &pool::global_pool());
  } catch (...) {
    return raise_from_native();
  }
  Ref model = Ref::steal(model_result(std::move(fit.model)));
  if (!model) return nullptr;
  Ref passes = Ref::steal(new_array(std::move(fit.passes)));
  if (!passes) return nullptr;
  return PyTuple_Pack(3, PyTuple_GET_ITEM(model.get(), 0), PyTuple_GET_ITEM(model.get(), 1), passes.get());
}

PyObject* cut(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"weights", "bias", "slots", "choice", nullptr};
  PyObject *weights, *bias;
  std::uint32_t slots = learners::kFieldSlots;
  const char* choice_name = "spread";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O&s:cut", const_cast<char**>(kKeywords), &weights, &bias,
                                   to_u32, &slots, &choice_name)) {
    return nullptr;
  }
  learners::CompileOptions options;
  options.slots = slots;
  if (!parse_choice(choice_name, options.choice)) return nullptr;
  LinearModel model;
  if (!to_model(weights, bias, model)) return nullptr;
  try {
    const UnlockedScope unlocked(true);
    model = learners::cut_to_slots(model, options);
  } catch (...) {
    return raise_from_native();
  }
  return model_result(std::move(model));
}

PyObject* refit_cut(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"tokens", "offsets", "labels", "weights",       "bias",
                                    "epochs", "step",    "margin", "seed",          "sample_weight", nullptr};
  PyObject *tokens, *offsets, *labels, *weights, *bias;
  PyObject* sample_weight = Py_None;
  learners::RefitOptions options;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|O&ddO&O:refit_cut", const_cast<char**>(kKeywords),
                                   &tokens, &offsets, &labels, &weights, &bias, to_u32, &options.epochs,
                                   &options.step, &options.margin, to_u64, &options.seed, &sample_weight)) {
    return nullptr;
  }
  RowsArgs in;
  ScaleArgs scales;
  if (!in.get(tokens, offsets, labels) || !scales.get(Py_None, Py_None, sample_weight)) return nullptr;
  LinearModel model;
  if (!to_model(weights, bias, model)) return nullptr;
  try {
    const UnlockedScope unlocked(true);
    const learners::LabelledRows rows = scales.scaled(in.rows(model.feature_count, model.class_count));
    learners::check_rows(rows);
    model = learners::refit_cut(rows, model, options);
  } catch (...) {
    return raise_from_native();
  }
  return model_result(std::move(model));
}

PyObject* compile(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"weights", "bias", "slots", "choice", "max_text_tokens", nullptr};
  PyObject *weights, *bias;
  std::uint32_t slots = learners::kFieldSlots;
  const char* choice_name = "spread";
  std::uint64_t max_text_tokens = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O&sO&:compile", const_cast<char**>(kKeywords), &weights,
                                   &bias, to_u32, &slots, &choice_name, to_u64, &max_text_tokens)) {
    return nullptr;
  }
  learners::CompileOptions options;
  options.slots = slots;
  options.max_text_tokens = max_text_tokens;
  if (!parse_choice(choice_name, options.choice)) return nullptr;
  LinearModel model;
  if (!to_model(weights, bias, model)) return nullptr;
  learners::FieldPlan plan;
  try {
    const UnlockedScope unlocked(true);
    model = learners::cut_to_slots(model, options);
    plan = learners::plan_field(model, options);
  } catch (...) {
    return raise_from_native();
  }
  if (plan.byte_size() > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  // The records are written straight into the bytes object, before anyone else can see it.
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan.byte_size())));
  if (!bytes) return nullptr;
  auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
  {
    const UnlockedScope unlocked(true);
    learners::write_field(model, plan, std::span<unsigned char>(out, plan.byte_size()));
  }
  return Py_BuildValue("(OId)", bytes.get(), plan.bias_neurons(), plan.scale);
}

PyObject* predict(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"tokens", "offsets", "weights", "bias", nullptr};
  PyObject *tokens, *offsets, *weights, *bias;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:predict", const_cast<char**>(kKeywords), &tokens,
                                   &offsets, &weights, &bias)) {
    return nullptr;
  }
  RowsArgs in;
  if (!in.get(tokens, offsets, nullptr)) return nullptr;
  LinearModel model;
  if (!to_model(weights, bias, model)) return nullptr;
  std::vector<std::uint32_t> classes;
  try {
    const UnlockedScope unlocked(true);
    check_offsets(in.tokens.values<std::uint32_t>(), in.offsets.values<std::uint64_t>());
    classes = learners::predict(model, in.tokens.values<std::uint32_t>(), in.offsets.values<std::uint64_t>());
  } catch (...) {
    return raise_from_native();
  }
  return new_array(std::move(classes));
}

PyObject* document_frequency(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"tokens", "offsets", "feature_count", nullptr};
  PyObject *tokens, *offsets;
  std::uint32_t feature_count = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO&:document_frequency", const_cast<char**>(kKeywords),
                                   &tokens, &offsets, to_u32, &feature_count)) {
    return nullptr;
  }
  RowsArgs in;
  if (!in.get(tokens, offsets, nullptr)) return nullptr;
  std::vector<std::uint32_t> df;
  try {
    const UnlockedScope unlocked(true);
    check_offsets(in.tokens.values<std::uint32_t>(), in.offsets.values<std::uint64_t>());
    df = learners::document_frequency(in.tokens.values<std::uint32_t>(), in.offsets.values<std::uint64_t>(),
                                      feature_count);
  } catch (...) {
    return raise_from_native();
  }
  return new_array(std::move(df));
}

PyObject* row_norms(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"tokens", "offsets", "feature_scale", "extra", nullptr};
  PyObject *tokens, *offsets, *scale_obj;
  double extra = 0.0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|d:row_norms", const_cast<char**>(kKeywords), &tokens,
                                   &offsets, &scale_obj, &extra)) {
    return nullptr;
  }
  RowsArgs in;
  if (!in.get(tokens, offsets, nullptr)) return nullptr;
  BufferArg scale;
  if (!scale.get(scale_obj, "feature_scale", Kind::kF32)) return nullptr;
  std::vector<float> norms;
  try {
    const UnlockedScope unlocked(true);
    check_offsets(in.tokens.values<std::uint32_t>(), in.offsets.values<std::uint64_t>());
    norms = learners::row_norms(in.tokens.values<std::uint32_t>(), in.offsets.values<std::uint64_t>(),
                                scale.values<float>(), extra);
  } catch (...) {
    return raise_from_native();
  }
  return new_array(std::move(norms));
}

PyObject* decision_function(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"tokens", "offsets", "weights", "bias", nullptr};
  PyObject *tokens, *offsets, *weights, *bias;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:decision_function", const_cast<char**>(kKeywords),
                                   &tokens, &offsets, &weights, &bias)) {
    return nullptr;
  }
  RowsArgs in;
  if (!in.get(tokens, offsets, nullptr)) return nullptr;
  LinearModel model;
  if (!to_model(weights, bias, model)) return nullptr;
  std::vector<double> scores;
  try {
    const UnlockedScope unlocked(true);
    check_offsets(in.tokens.values<std::uint32_t>(), in.offsets.values<std::uint64_t>());
    scores = learners::decision_scores(model, in.tokens.values<std::uint32_t>(),
                                       in.offsets.values<std::uint64_t>());
  } catch (...) {
    return raise_from_native();
  }
  const auto texts = static_cast<Py_ssize_t>(in.offsets.values<std::uint64_t>().size() - 1);
  return new_array(std::move(scores), texts, static_cast<Py_ssize_t>(model.class_count));
}

// (tokens, offsets) arrays of texts made here.
PyObject* new_rows(std::vector<std::uint32_t>&& tokens, std::vector<std::uint64_t>&& offsets) {
  Ref tokens_out = Ref::steal(new_array(std::move(tokens)));
  if (!tokens_out) return nullptr;
  Ref offsets_out = Ref::steal(new_array(std::move(offsets)));
  if (!offsets_out) return nullptr;
  return PyTuple_Pack(2, tokens_out.get(), offsets_out.get());
}

PyObject* append_ids(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"tokens", "offsets", "ids", nullptr};
  PyObject *tokens_obj, *offsets_obj, *ids_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:append_ids", const_cast<char**>(kKeywords), &tokens_obj,
                                   &offsets_obj, &ids_obj)) {
    return nullptr;
  }
  RowsArgs in;
  BufferArg extra;
  if (!in.get(tokens_obj, offsets_obj, nullptr) || !extra.get(ids_obj, "ids", Kind::kU32)) return nullptr;
  std::vector<std::uint32_t> tokens;
  std::vector<std::uint64_t> offsets;
  try {
    const UnlockedScope unlocked(true);
    const std::span<const std::uint32_t> old_tokens = in.tokens.values<std::uint32_t>();
    const std::span<const std::uint64_t> old_offsets = in.offsets.values<std::uint64_t>();
    const std::span<const std::uint32_t> more = extra.values<std::uint32_t>();
    check_offsets(old_tokens, old_offsets);
    const std::size_t texts = old_offsets.size() - 1;
    tokens.reserve(old_tokens.size() + texts * more.size());
    offsets.reserve(old_offsets.size());
    offsets.push_back(0);
    for (std::size_t i = 0; i < texts; ++i) {
      tokens.insert(tokens.end(), old_tokens.begin() + static_cast<std::ptrdiff_t>(old_offsets[i]),
                    old_tokens.begin() + static_cast<std::ptrdiff_t>(old_offsets[i + 1]));
      tokens.insert(tokens.end(), more.begin(), more.end());
      offsets.push_back(tokens.size());
    }
  } catch (...) {
    return raise_from_native();
  }
  return new_rows(std::move(tokens), std::move(offsets));
}

PyObject* gather_rows(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"tokens", "offsets", "rows", "renumber", nullptr};
  PyObject *tokens_obj, *offsets_obj, *rows_obj, *renumber_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O:gather_rows", const_cast<char**>(kKeywords),
                                   &tokens_obj, &offsets_obj, &rows_obj, &renumber_obj)) {
    return nullptr;
  }
  RowsArgs in;
  BufferArg rows;
  BufferArg renumber;
  if (!in.get(tokens_obj, offsets_obj, nullptr) || !rows.get(rows_obj, "rows", Kind::kU64)) return nullptr;
  if (renumber_obj != Py_None && !renumber.get(renumber_obj, "renumber", Kind::kU32)) return nullptr;
  std::vector<std::uint32_t> tokens;
  std::vector<std::uint64_t> offsets{0};
  try {
    const UnlockedScope unlocked(true);
    check_offsets(in.tokens.values<std::uint32_t>(), in.offsets.values<std::uint64_t>());
    const std::span<const std::uint32_t> numbers =
        renumber_obj == Py_None ? std::span<const std::uint32_t>() : renumber.values<std::uint32_t>();
    learners::gather_rows(in.tokens.values<std::uint32_t>(), in.offsets.values<std::uint64_t>(),
                          rows.values<std::uint64_t>(), numbers, tokens, offsets);
  } catch (...) {
    return raise_from_native();
  }
  return new_rows(std::move(tokens), std::move(offsets));
}

// The weight records: any C-contiguous buffer (bytes, mmap, memoryview), read in place.
class RecordsArg final {
 public:
  RecordsArg() = default;
  RecordsArg(const RecordsArg&) = delete;
  RecordsArg& operator=(const RecordsArg&) = delete;
  ~RecordsArg() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool get(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS) < 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "records must be a C-contiguous buffer of weight-file bytes, not %.200s",
                   Py_TYPE(obj)->tp_name);
      return false;
    }
    held_ = true;
    return true;
  }
  std::span<const unsigned char> bytes() const {
    return std::span<const unsigned char>(static_cast<const unsigned char*>(view_.buf),
                                          static_cast<std::size_t>(view_.len));
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

PyObject* field_potentials(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"records", "class_count", "tokens", "offsets", "suffix", nullptr};
  PyObject *records_obj, *tokens_obj, *offsets_obj;
  PyObject* suffix_obj = Py_None;
  std::uint32_t classes;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO&OO|O:field_potentials", const_cast<char**>(kKeywords),
                                   &records_obj, to_u32, &classes, &tokens_obj, &offsets_obj, &suffix_obj)) {
    return nullptr;
  }
  RecordsArg records;
  RowsArgs in;
  BufferArg suffix;
  if (!records.get(records_obj) || !in.get(tokens_obj, offsets_obj, nullptr) ||
      (suffix_obj != Py_None && !suffix.get(suffix_obj, "suffix", Kind::kU32))) {
    return nullptr;
  }
  learners::FieldPotentialsInput input{records.bytes(), classes, in.tokens.values<std::uint32_t>(),
                                       in.offsets.values<std::uint64_t>(), suffix.values<std::uint32_t>()};
  try {
    learners::check_potentials_input(input);
  } catch (...) {
    return raise_from_native();
  }
  const std::uint64_t cells = static_cast<std::uint64_t>(input.offsets.size() - 1) * classes;
  if (cells > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / sizeof(std::int32_t)) return PyErr_NoMemory();
  // Written straight into the bytes object, before anyone else can see it.
  Ref bytes = Ref::steal(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(cells * sizeof(std::int32_t))));
  if (!bytes) return nullptr;
  auto* out = reinterpret_cast<std::int32_t*>(PyBytes_AS_STRING(bytes.get()));
  try {
    const UnlockedScope unlocked(true);
    learners::field_potentials(input, std::span<std::int32_t>(out, cells), &pool::global_pool());
  } catch (...) {
    return raise_from_native();
  }
  return bytes.release();
}

template <class F>
PyCFunction as_method(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kFunctions[] = {
    {"count_naive_bayes", as_method(count_naive_bayes), METH_VARARGS | METH_KEYWORDS,
     "count_naive_bayes(tokens, offsets, labels, feature_count, class_count, feature_scale=None, "
     "row_scale=None, sample_weight=None) -> (feature_counts, class_texts)"},
    {"naive_bayes_weights", as_method(naive_bayes_weights), METH_VARARGS | METH_KEYWORDS,
     "naive_bayes_weights(feature_counts, class_texts, alpha=1.0, fit_prior=True) -> (weights, bias)"},
    {"fit_perceptron", as_method(fit_perceptron), METH_VARARGS | METH_KEYWORDS,
     "fit_perceptron(tokens, offsets, labels, feature_count, class_count, epochs=5, seed=0, average=True, "
     "initial_weights=None, initial_bias=None, margin=10.0, feature_scale=None, row_scale=None, "
     "fit_intercept=True, intercept_by_row=False, sample_weight=None) -> (weights, bias)"},
    {"fit_linear_svm", as_method(fit_linear_svm), METH_VARARGS | METH_KEYWORDS,
     "fit_linear_svm(tokens, offsets, labels, feature_count, class_count, c=1.0, tol=0.1, max_passes=1000, "
     "seed=0, class_weights=None, feature_scale=None, row_scale=None, fit_intercept=True, intercept_by_row=False, "
     "sample_weight=None) -> (weights, bias, passes): one-against-the-rest linear SVMs with the squared hinge "
     "loss, by dual coordinate descent."},
    {"fit_sgd", as_method(fit_sgd), METH_VARARGS | METH_KEYWORDS,
     "fit_sgd(tokens, offsets, labels, feature_count, class_count, loss='hinge', alpha=1e-4, epochs=5, "
     "seed=0, "
     "class_weights=None, initial_weights=None, initial_bias=None, first_step=0, feature_scale=None, "
     "row_scale=None, fit_intercept=True, intercept_by_row=False, sample_weight=None) -> (weights, bias)"},
    {"cut", as_method(cut), METH_VARARGS | METH_KEYWORDS,
     "cut(weights, bias, slots=8, choice='spread') -> (weights, bias) as the field holds them, unrounded"},
    {"refit_cut", as_method(refit_cut), METH_VARARGS | METH_KEYWORDS,
     "refit_cut(tokens, offsets, labels, weights, bias, epochs=2, step=0.1, margin=3.0, seed=0, "
     "sample_weight=None) -> (weights, bias)"},
    {"compile", as_method(compile), METH_VARARGS | METH_KEYWORDS,
     "compile(weights, bias, slots=8, choice='spread', max_text_tokens=0) -> (bytes, bias_neurons, scale)"},
    {"predict", as_method(predict), METH_VARARGS | METH_KEYWORDS,
     "predict(tokens, offsets, weights, bias) -> the best class of each text"},
    {"document_frequency", as_method(document_frequency), METH_VARARGS | METH_KEYWORDS,
     "document_frequency(tokens, offsets, feature_count) -> uint32 texts holding each feature"},
    {"row_norms", as_method(row_norms), METH_VARARGS | METH_KEYWORDS,
     "row_norms(tokens, offsets, feature_scale, extra=0.0) -> float32 L2 norm of each text"},
    {"gather_rows", as_method(gather_rows), METH_VARARGS | METH_KEYWORDS,
     "gather_rows(tokens, offsets, rows, renumber=None) -> (tokens, offsets) of those texts, ids renumbered"},
    {"decision_function", as_method(decision_function), METH_VARARGS | METH_KEYWORDS,
     "decision_function(tokens, offsets, weights, bias) -> each text's per-class scores, float64"},
    {"append_ids", as_method(append_ids), METH_VARARGS | METH_KEYWORDS,
     "append_ids(tokens, offsets, ids) -> (tokens, offsets) with ids at the end of every text"},
    {"field_potentials", as_method(field_potentials), METH_VARARGS | METH_KEYWORDS,
     "field_potentials(records, class_count, tokens, offsets, suffix=None) -> int32 (texts, class_count) "
     "potentials as bytes"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT,
                       "ombrel_learn._learners",
                       "Float learners on token ids and their compiler into the field.",
                       -1,
                       kFunctions,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace
}  // namespace ombrel::learn

PyMODINIT_FUNC PyInit__learners() {
  using namespace ombrel::learn;
  Ref module = Ref::steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  PyObject* type = PyType_FromSpec(&kArraySpec);
  if (type == nullptr) return nullptr;
  g_array_type = reinterpret_cast<PyTypeObject*>(type);  // the module and this pointer share one reference
  if (PyModule_AddObjectRef(module.get(), "Array", type) != 0) return nullptr;
  return module.release();
}
