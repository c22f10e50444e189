// Small helpers of ombrel_learn's glue: an owning reference, a scoped release of the interpreter
// lock and the mapping of native exceptions to Python ones. REQUIRES: every member of Ref is used with the
// interpreter lock held.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

namespace ombrel::learn {

class Ref final {
 public:
  Ref() = default;
  // Takes over a new reference (or nullptr, the result of a failed C API call).
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Gives up the interpreter lock for its lifetime when `release` is true. Only code that touches no
// Python object may run inside; the lock is taken back on every path out, exceptions included.
class UnlockedScope final {
 public:
  explicit UnlockedScope(bool release) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~UnlockedScope() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  UnlockedScope(const UnlockedScope&) = delete;
  UnlockedScope& operator=(const UnlockedScope&) = delete;

 private:
  PyThreadState* state_;
};

// Turns the C++ exception in flight into a Python exception: MemoryError for a failed allocation,
// ValueError for invalid input found by the native code, RuntimeError for anything else. Call only
// from a catch block, with the interpreter lock held.
inline PyObject* raise_from_native() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown native error");
  }
  return nullptr;
}

}  // namespace ombrel::learn
