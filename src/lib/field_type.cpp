// OmbrelField: the Python face of one ThreadBoundedNeuronField.
//
// Every method follows the same steps: bind the arguments, take the receiver (type check, then a
// shared borrow, or the exclusive one for load_weights), convert the arguments, run the engine with
// the interpreter lock released where the method allows it, convert the result, give the borrow back.
// The borrow counter is touched only with the interpreter lock held, so it needs no atomics.
#include "lib/field_type.h"

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "lib/batch_conversion.h"
#include "lib/binder.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/py_ref.h"
#include "ombrel/field.h"

namespace ombrel::lib {
namespace {

struct FieldObject {
  PyObject_HEAD
  ThreadBoundedNeuronField field;
  Py_ssize_t borrow;  // 0 free, n > 0 shared holders, -1 one exclusive holder
};

PyObject* g_field_type = nullptr;  // one reference, kept for the life of the process

enum class Access { kShared, kExclusive };

// The receiver, borrowed for the life of the guard.
class Receiver final {
 public:
  Receiver(PyObject* self, Access access) {
    PyObject* type = field_type();
    if (type == nullptr) return;
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
      raise_cannot_convert(self, "OmbrelField");
      return;
    }
    auto* obj = reinterpret_cast<FieldObject*>(self);
    if (access == Access::kShared) {
      if (obj->borrow == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
      ++obj->borrow;
    } else {
      if (obj->borrow != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
      }
      obj->borrow = -1;
    }
    obj_ = obj;
    access_ = access;
    Py_INCREF(self);
  }
  ~Receiver() {
    if (obj_ == nullptr) return;
    if (access_ == Access::kShared) {
      --obj_->borrow;
    } else {
      obj_->borrow = 0;
    }
    Py_DECREF(reinterpret_cast<PyObject*>(obj_));
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  explicit operator bool() const noexcept { return obj_ != nullptr; }
  ThreadBoundedNeuronField& field() const noexcept { return obj_->field; }

 private:
  FieldObject* obj_ = nullptr;
  Access access_ = Access::kShared;
};

// Applies the argument-name rule when a conversion fails.
inline bool arg(const char* name, bool converted) {
  if (!converted) prefix_argument_error(name);
  return converted;
}

// Runs `body` (which returns a new reference or nullptr) and turns a C++ exception that escapes it
// into the module's Python exception. Any GilRelease inside has taken the lock back by then.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* none() { Py_RETURN_NONE; }

// --- construction and release ---------------------------------------------------------------------

constexpr const char* kNewParams[] = {"sensory_count", "motor_count"};
constexpr Signature kNewSig = make_signature("OmbrelField.__new__()", kNewParams);

PyObject* field_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[2];
  if (!bind_tuple(kNewSig, args, kwargs, argv)) return nullptr;
  uint64_t sensory_count;
  uint64_t motor_count;
  if (!arg("sensory_count", to_u64(argv[0], &sensory_count))) return nullptr;
  if (!arg("motor_count", to_u64(argv[1], &motor_count))) return nullptr;
  return guarded([&]() -> PyObject* {
    ThreadBoundedNeuronField field = ThreadBoundedNeuronField::create(sensory_count, motor_count);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;  // `field` releases its records and potentials
    auto* obj = reinterpret_cast<FieldObject*>(self);
    new (&obj->field) ThreadBoundedNeuronField(std::move(field));
    obj->borrow = 0;
    return self;
  });
}

void field_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<FieldObject*>(self)->field.~ThreadBoundedNeuronField();
  type->tp_free(self);
  Py_DECREF(type);
}

// --- prediction and potentials ---------------------------------------------------------------------

constexpr const char* kPredictParams[] = {"sensory_tokens"};
constexpr Signature kPredictSig = make_signature("OmbrelField.predict()", kPredictParams);

PyObject* field_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_fastcall(kPredictSig, args, nargs, kwnames, argv)) return nullptr;
  Receiver receiver(self, Access::kShared);
  if (!receiver) return nullptr;
  return guarded([&]() -> PyObject* {
    TokenVector tokens;
    if (!arg("sensory_tokens", to_tokens(argv[0], tokens))) return nullptr;
    uint32_t winner;
    {
      GilRelease unlocked;
      winner = receiver.field().predict(tokens.span());
    }
    return PyLong_FromUnsignedLong(winner);
  });
}

PyObject* field_get_potentials(PyObject* self, PyObject*) {
  Receiver receiver(self, Access::kShared);
  if (!receiver) return nullptr;
  return guarded([&]() -> PyObject* {
    std::vector<int32_t> values;
    {
      GilRelease unlocked;
      values = receiver.field().get_potentials();
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
      PyObject* item = PyLong_FromLong(values[i]);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* field_reset_potentials(PyObject* self, PyObject*) {
  Receiver receiver(self, Access::kShared);
  if (!receiver) return nullptr;
  {
    GilRelease unlocked;
    receiver.field().reset_potentials();
  }
  return none();
}

// --- training and decay ----------------------------------------------------------------------------

constexpr const char* kTrainParams[] = {"sensory_tokens", "correct_motor_id", "amplify_delta",
                                        "suppress_delta"};
constexpr Signature kTrainSig = make_signature("OmbrelField.train_stream()", kTrainParams);

PyObject* field_train_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* argv[4];
  if (!bind_fastcall(kTrainSig, args, nargs, kwnames, argv)) return nullptr;
  Receiver receiver(self, Access::kShared);
  if (!receiver) return nullptr;
  return guarded([&]() -> PyObject* {
    TokenVector tokens;
    uint32_t correct;
    int16_t amplify;
    int16_t suppress;
    if (!arg("sensory_tokens", to_tokens(argv[0], tokens))) return nullptr;
    if (!arg("correct_motor_id", to_u32(argv[1], &correct))) return nullptr;
    if (!arg("amplify_delta", to_i16(argv[2], &amplify))) return nullptr;
    if (!arg("suppress_delta", to_i16(argv[3], &suppress))) return nullptr;
    {
      GilRelease unlocked;
      receiver.field().train_stream(tokens.span(), correct, amplify, suppress);
    }
    return none();
  });
}

constexpr const char* kDecayParams[] = {"decay_factor"};
constexpr Signature kDecaySig = make_signature("OmbrelField.tick_decay()", kDecayParams);

PyObject* field_tick_decay(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_fastcall(kDecaySig, args, nargs, kwnames, argv)) return nullptr;
  Receiver receiver(self, Access::kShared);
  if (!receiver) return nullptr;
  float factor;
  if (!arg("decay_factor", to_f32(argv[0], &factor))) return nullptr;
  {
    GilRelease unlocked;
    receiver.field().tick_decay(factor);
  }
  return none();
}

// --- batches ---------------------------------------------------------------------------------------

constexpr const char* kPredictBatchParams[] = {"batch_tokens"};
constexpr Signature kPredictBatchSig =
    make_signature("OmbrelField.predict_batch()", kPredictBatchParams);

PyObject* field_predict_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_fastcall(kPredictBatchSig, args, nargs, kwnames, argv)) return nullptr;
  Receiver receiver(self, Access::kShared);
  if (!receiver) return nullptr;
  return guarded([&]() -> PyObject* {
    TokenBatch batch;
    if (!arg("batch_tokens", to_predict_batch(argv[0], batch))) return nullptr;
    std::vector<uint32_t> winners;
    {
      GilRelease unlocked;
      winners = receiver.field().predict_batch(batch);
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(winners.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < winners.size(); ++i) {
      PyObject* item = PyLong_FromUnsignedLong(winners[i]);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

constexpr const char* kTrainBatchParams[] = {"batch", "amplify_delta", "suppress_delta"};
constexpr Signature kTrainBatchSig = make_signature("OmbrelField.train_batch()", kTrainBatchParams);

PyObject* field_train_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* argv[3];
  if (!bind_fastcall(kTrainBatchSig, args, nargs, kwnames, argv)) return nullptr;
  Receiver receiver(self, Access::kShared);
  if (!receiver) return nullptr;
  return guarded([&]() -> PyObject* {
    TokenBatch batch;
    int16_t amplify;
    int16_t suppress;
    if (!arg("batch", to_train_batch(argv[0], batch))) return nullptr;
    if (!arg("amplify_delta", to_i16(argv[1], &amplify))) return nullptr;
    if (!arg("suppress_delta", to_i16(argv[2], &suppress))) return nullptr;
    {
      GilRelease unlocked;
      receiver.field().train_batch(batch, amplify, suppress);
    }
    return none();
  });
}

// --- introspection and persistence -----------------------------------------------------------------

constexpr const char* kSynapsesParams[] = {"token_id"};
constexpr Signature kSynapsesSig =
    make_signature("OmbrelField.get_neuron_synapses()", kSynapsesParams);

PyObject* field_get_neuron_synapses(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_fastcall(kSynapsesSig, args, nargs, kwnames, argv)) return nullptr;
  Receiver receiver(self, Access::kShared);
  if (!receiver) return nullptr;
  uint32_t token_id;
  if (!arg("token_id", to_u32(argv[0], &token_id))) return nullptr;
  return guarded([&]() -> PyObject* {
    // Runs with the interpreter lock held: the work is a handful of loads.
    const std::vector<Synapse> synapses = receiver.field().get_neuron_synapses(token_id);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(synapses.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < synapses.size(); ++i) {
      PyObject* pair = Py_BuildValue("(kh)", static_cast<unsigned long>(synapses[i].first),
                                     synapses[i].second);
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  });
}

constexpr const char* kPathParams[] = {"path"};
constexpr Signature kSaveSig = make_signature("OmbrelField.save_weights()", kPathParams);
constexpr Signature kLoadSig = make_signature("OmbrelField.load_weights()", kPathParams);

PyObject* field_save_weights(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_fastcall(kSaveSig, args, nargs, kwnames, argv)) return nullptr;
  Receiver receiver(self, Access::kShared);
  if (!receiver) return nullptr;
  return guarded([&]() -> PyObject* {
    std::string path;
    if (!arg("path", to_utf8(argv[0], &path))) return nullptr;
    std::optional<platform::IoError> error;
    {
      GilRelease unlocked;
      error = receiver.field().save_weights(path);
    }
    if (error) return raise_io_error(*error);
    return none();
  });
}

PyObject* field_load_weights(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* argv[1];
  if (!bind_fastcall(kLoadSig, args, nargs, kwnames, argv)) return nullptr;
  Receiver receiver(self, Access::kExclusive);
  if (!receiver) return nullptr;
  return guarded([&]() -> PyObject* {
    std::string path;
    if (!arg("path", to_utf8(argv[0], &path))) return nullptr;
    std::optional<platform::IoError> error;
    {
      GilRelease unlocked;
      error = receiver.field().load_weights(path);
    }
    if (error) return raise_io_error(*error);
    return none();
  });
}

// --- the type ---------------------------------------------------------------------------------------

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"predict", as_cfunction(field_predict), kFast,
     "predict($self, sensory_tokens)\n--\n\n"
     "Predict\n"
     "Evaluates the active sensory tokens synchronously on the calling thread,\n"
     "adding their weights directly to the motor potentials.\n"
     "This is extremely fast and perfect for batch evaluation."},
    {"predict_batch", as_cfunction(field_predict_batch), kFast,
     "predict_batch($self, batch_tokens)\n--\n\n"
     "Predict Batch\n"
     "Evaluates a batch of sensory token streams in parallel on the worker pool, each on private "
     "potentials, and returns one motor id per stream in input order."},
    {"tick_decay", as_cfunction(field_tick_decay), kFast,
     "tick_decay($self, decay_factor)\n--\n\n"
     "Tick Decay\n"
     "Exposes your prototype's background metabolic forgetting clock straight to the Python loop."},
    {"train_stream", as_cfunction(field_train_stream), kFast,
     "train_stream($self, sensory_tokens, correct_motor_id, amplify_delta, suppress_delta)\n--\n\n"
     "Train Stream\n"
     "Trains active sensory tokens to target a specific correct motor neuron ID."},
    {"train_batch", as_cfunction(field_train_batch), kFast,
     "train_batch($self, batch, amplify_delta, suppress_delta)\n--\n\n"
     "Train Batch\n"
     "Trains a batch of (sensory_tokens, correct_motor_id) in parallel on the worker pool, with the "
     "same amplify and suppress deltas for every item."},
    {"reset_potentials", as_cfunction(field_reset_potentials), METH_NOARGS,
     "reset_potentials($self)\n--\n\n"
     "Reset Potentials\n"
     "Resets all motor neuron potentials to zero."},
    {"get_potentials", as_cfunction(field_get_potentials), METH_NOARGS,
     "get_potentials($self)\n--\n\n"
     "Get Potentials\n"
     "Returns the current potentials of all motor neurons."},
    {"get_neuron_synapses", as_cfunction(field_get_neuron_synapses), kFast,
     "get_neuron_synapses($self, token_id)\n--\n\n"
     "Get Neuron Synapses\n"
     "Introspection method to read the explicit synaptic weights of a sensory neuron.\n"
     "Returns a list of (target_motor_id, weight) tuples."},
    {"save_weights", as_cfunction(field_save_weights), kFast,
     "save_weights($self, path)\n--\n\n"
     "Save Weights\n"
     "Serializes and saves the sensory neurons' raw memory to a binary file."},
    {"load_weights", as_cfunction(field_load_weights), kFast,
     "load_weights($self, path)\n--\n\n"
     "Load Weights\n"
     "Loads and memory-maps the sensory neurons' connections from a binary file for zero-copy "
     "access."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(field_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(field_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(
                    "OmbrelField(sensory_count, motor_count)\n--\n\n"
                    "OmbrelField\n"
                    "The main Neuromorphic Cortex class exposed directly to Python runtimes.")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "ombrel.OmbrelField",  // the prefix only sets __module__; see field_type()
    sizeof(FieldObject),
    0,
    Py_TPFLAGS_DEFAULT,  // not a base type, no GC, no __dict__, no weak references
    kSlots,
};

}  // namespace

PyObject* field_type() {
  if (g_field_type == nullptr) {
    PyRef type = PyRef::steal(PyType_FromSpec(&kSpec));
    if (!type) return nullptr;
    // The type's own name carries no module prefix. Creating it from the dotted name sets
    // __module__ (an undotted name would make the interpreter warn); tp_name then points at the
    // bare name inside the same buffer, which the type owns and frees through its own pointer.
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    type_object->tp_name = std::strrchr(type_object->tp_name, '.') + 1;
    g_field_type = type.release();
  }
  return g_field_type;
}

}  // namespace ombrel::lib
