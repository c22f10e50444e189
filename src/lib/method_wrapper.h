// The one wrapper behind every OmbrelField method.
//
// A method is declared once, as a struct (field_methods.h):
//
//   struct Predict {
//     static constexpr const char* kName = "predict";
//     static constexpr std::array kParams{"sensory_tokens"};
//     static constexpr Borrow kBorrow = Borrow::kShared;
//     static constexpr Lock kLock = Lock::kReleased;
//     static constexpr const char* kDoc = "Predict\n...";
//     static uint32_t run(ThreadBoundedNeuronField& field, const TokenVector& sensory_tokens);
//   };
//
// and method_def<Predict>() (field_type.cpp) makes its method-table entry: the calling convention
// (fast call with keywords, or no arguments at all when kParams is empty), the doc slot (text
// signature, "--", and the docstring; surface_texts.h) and the wrapper. The wrapper runs every call
// through the same steps: bind the arguments to kParams, take the receiver with kBorrow, convert
// each argument by the type run() takes it as (applying the argument-name rule on failure), call
// run() with the interpreter lock released when kLock says so, convert the result by run()'s return
// type, give the borrow back. A C++ exception escaping any step after binding becomes the module's
// Python exception there. This header holds the parts that do not depend on the instance layout.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "lib/batch_conversion.h"
#include "lib/binder.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/py_ref.h"
#include "lib/surface_texts.h"
#include "ombrel/field.h"
#include "platform/io_error.h"

namespace ombrel::lib {

// How a method holds its receiver: shared with other calls, or alone (load_weights).
enum class Borrow { kShared, kExclusive };
// Whether the engine work runs with the interpreter lock released.
enum class Lock { kHeld, kReleased };

// Argument types that say which conversion a batch parameter gets.
struct PredictBatchArgument {
  TokenBatch batch;
};
struct TrainBatchArgument {
  TokenBatch batch;
};

// --- argument conversions, chosen by the type run() takes --------------------------------------------

inline bool from_python(PyObject* obj, TokenVector& out) {
  return to_tokens(obj, out);
}
inline bool from_python(PyObject* obj, uint32_t& out) {
  return to_u32(obj, &out);
}
inline bool from_python(PyObject* obj, int16_t& out) {
  return to_i16(obj, &out);
}
inline bool from_python(PyObject* obj, float& out) {
  return to_f32(obj, &out);
}
inline bool from_python(PyObject* obj, std::string& out) {
  return to_utf8(obj, &out);
}
inline bool from_python(PyObject* obj, PredictBatchArgument& out) {
  return to_predict_batch(obj, out.batch);
}
inline bool from_python(PyObject* obj, TrainBatchArgument& out) {
  return to_train_batch(obj, out.batch);
}

// --- result conversions, chosen by run()'s return type ----------------------------------------------

template <class T, class Item>
PyObject* list_of(const std::vector<T>& values, Item&& item) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* element = item(values[i]);
    if (element == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), element);
  }
  return list.release();
}

inline PyObject* to_python(uint32_t value) {
  return PyLong_FromUnsignedLong(value);
}
inline PyObject* to_python(const std::vector<uint32_t>& values) {
  return list_of(values, [](uint32_t v) { return PyLong_FromUnsignedLong(v); });
}
inline PyObject* to_python(const std::vector<int32_t>& values) {
  return list_of(values, [](int32_t v) { return PyLong_FromLong(v); });
}
inline PyObject* to_python(const std::vector<Synapse>& synapses) {
  return list_of(synapses, [](const Synapse& s) {
    return Py_BuildValue("(kh)", static_cast<unsigned long>(s.first), s.second);
  });
}
inline PyObject* to_python(const std::optional<platform::IoError>& error) {
  if (error) return raise_io_error(*error);
  Py_RETURN_NONE;
}

// --- the wrapper -------------------------------------------------------------------------------------

template <class Run>
struct RunTraits;
template <class R, class... A>
struct RunTraits<R (*)(ThreadBoundedNeuronField&, A...)> {
  using Result = R;
  using Args = std::tuple<std::remove_cvref_t<A>...>;  // the converted values, held for the call
  static constexpr std::size_t kCount = sizeof...(A);
};

// Runs `body` (which returns a new reference or nullptr) and turns a C++ exception that escapes it
// into the module's Python exception. A GilRelease inside has taken the lock back by then.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (...) {
    return raise_current_exception();
  }
}

// Converts one argument, applying the argument-name rule when it fails.
template <class T>
bool convert_argument(const char* name, PyObject* obj, T& out) {
  if (from_python(obj, out)) return true;
  prefix_argument_error(name);
  return false;
}

// Converts argv[I] into std::get<I>(args) in parameter order; the first failure stops.
template <class M, class Args, std::size_t... I>
bool convert_arguments([[maybe_unused]] PyObject* const* argv, [[maybe_unused]] Args& args,
                       std::index_sequence<I...>) {
  return (convert_argument(M::kParams[I], argv[I], std::get<I>(args)) && ...);
}

// Calls M::run with the converted arguments, the interpreter lock released if M says so, and returns
// its result converted (None for void).
template <class M, class Args>
PyObject* run_and_convert(ThreadBoundedNeuronField& field, Args& args) {
  using Result = typename RunTraits<decltype(&M::run)>::Result;
  const auto call = [&]() -> Result {
    return std::apply([&](auto&... values) -> Result { return M::run(field, values...); }, args);
  };
  if constexpr (std::is_void_v<Result>) {
    if constexpr (M::kLock == Lock::kReleased) {
      GilRelease unlocked;
      call();
    } else {
      call();
    }
    Py_RETURN_NONE;
  } else {
    // The result is built while the lock is still released; it holds no Python object.
    const Result result = [&]() -> Result {
      if constexpr (M::kLock == Lock::kReleased) {
        GilRelease unlocked;
        return call();
      } else {
        return call();
      }
    }();
    return to_python(result);
  }
}

}  // namespace ombrel::lib
