// OmbrelField: the Python face of one ThreadBoundedNeuronField.
//
// The methods are declared in field_methods.h and expanded here by one wrapper (method_wrapper.h):
// bind the arguments, take the receiver (type check, then a shared borrow, or the exclusive one for
// load_weights), convert the arguments, run the engine with the interpreter lock released where the
// method allows it, convert the result, give the borrow back. The borrow counter is touched only with
// the interpreter lock held, so it needs no atomics.
#include "lib/field_type.h"

#include <cstring>
#include <new>
#include <utility>

#include "lib/binder.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/field_methods.h"
#include "lib/method_wrapper.h"
#include "lib/py_ref.h"
#include "ombrel/field.h"
#include "ombrel/fixed_texts.h"

namespace ombrel::lib {
namespace {

struct FieldObject {
  PyObject_HEAD ThreadBoundedNeuronField field;
  Py_ssize_t borrow;  // 0 free, n > 0 shared holders, -1 one exclusive holder
};

PyObject* g_field_type = nullptr;  // one reference, kept for the life of the process

// The receiver, borrowed for the life of the guard.
class Receiver final {
 public:
  Receiver(PyObject* self, Borrow borrow) {
    PyObject* type = field_type();
    if (type == nullptr) return;
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
      raise_cannot_convert(self, fixed_text::kFieldTarget);
      return;
    }
    auto* obj = reinterpret_cast<FieldObject*>(self);
    if (borrow == Borrow::kShared) {
      if (obj->borrow == -1) {
        PyErr_SetString(PyExc_RuntimeError, fixed_text::kAlreadyMutablyBorrowed);
        return;
      }
      ++obj->borrow;
    } else {
      if (obj->borrow != 0) {
        PyErr_SetString(PyExc_RuntimeError, fixed_text::kAlreadyBorrowed);
        return;
      }
      obj->borrow = -1;
    }
    obj_ = obj;
    borrow_ = borrow;
    Py_INCREF(self);
  }
  ~Receiver() {
    if (obj_ == nullptr) return;
    if (borrow_ == Borrow::kShared) {
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
  Borrow borrow_ = Borrow::kShared;
};

// --- the wrapper: every method's steps after binding --------------------------------------------------

template <class M>
PyObject* call_method(PyObject* self, PyObject* const* argv) {
  using Traits = RunTraits<decltype(&M::run)>;
  static_assert(Traits::kCount == M::kParams.size(), "one parameter name per argument of run()");
  Receiver receiver(self, M::kBorrow);
  if (!receiver) return nullptr;
  return guarded([&]() -> PyObject* {
    typename Traits::Args args;
    if (!convert_arguments<M>(argv, args, std::make_index_sequence<Traits::kCount>{})) {
      return nullptr;
    }
    return run_and_convert<M>(receiver.field(), args);
  });
}

template <class M>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[M::kParams.size()];
  if (!bind_fastcall(MethodTexts<M>::kSignature, args, nargs, kwnames, argv)) return nullptr;
  return call_method<M>(self, argv);
}

// Methods without parameters use the no-arguments convention: the interpreter itself refuses any
// argument, with its own message.
template <class M>
PyObject* noargs_method(PyObject* self, PyObject*) {
  return call_method<M>(self, nullptr);
}

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

template <class M>
PyMethodDef method_def() {
  if constexpr (M::kParams.size() == 0) {
    return {M::kName, as_cfunction(&noargs_method<M>), METH_NOARGS, MethodTexts<M>::kDocSlot.data()};
  } else {
    return {M::kName, as_cfunction(&fastcall_method<M>), METH_FASTCALL | METH_KEYWORDS,
            MethodTexts<M>::kDocSlot.data()};
  }
}

PyMethodDef kMethods[] = {
    method_def<field_methods::Predict>(),
    method_def<field_methods::PredictBatch>(),
    method_def<field_methods::TickDecay>(),
    method_def<field_methods::TrainStream>(),
    method_def<field_methods::TrainBatch>(),
    method_def<field_methods::ResetPotentials>(),
    method_def<field_methods::GetPotentials>(),
    method_def<field_methods::GetNeuronSynapses>(),
    method_def<field_methods::SaveWeights>(),
    method_def<field_methods::LoadWeights>(),
    {nullptr, nullptr, 0, nullptr},
};

// --- construction and release -----------------------------------------------------------------------

// Runs with the interpreter lock held: the work is allocating and zeroing the records.
PyObject* field_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  using Construct = field_methods::Construct;
  PyObject* argv[Construct::kParams.size()];
  if (!bind_tuple(MethodTexts<Construct>::kSignature, args, kwargs, argv)) return nullptr;
  uint64_t sensory_count;
  uint64_t motor_count;
  if (!to_u64(argv[0], &sensory_count)) {
    prefix_argument_error(Construct::kParams[0]);
    return nullptr;
  }
  if (!to_u64(argv[1], &motor_count)) {
    prefix_argument_error(Construct::kParams[1]);
    return nullptr;
  }
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

// --- the type -----------------------------------------------------------------------------------------

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(field_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(field_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(ClassTexts<field_methods::Construct>::kDocSlot.data())},
    {0, nullptr},
};

PyType_Spec kSpec = {
    fixed_text::kFieldTypeSpecName,  // the prefix only sets __module__; see field_type()
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
