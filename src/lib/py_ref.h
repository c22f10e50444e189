// PyRef: an owned reference to a Python object. The only place an owned PyObject* lives.
// REQUIRES: every member is used with the interpreter lock held.
#pragma once

#include <Python.h>

#include <utility>

namespace ombrel::lib {

class PyRef final {
 public:
  PyRef() = default;
  // Takes over a new reference (or nullptr, for results of failed C API calls).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Adds a reference to a borrowed one.
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Gives up the interpreter lock for its lifetime. Only code that touches no Python object may run
// inside; the destructor takes the lock back on every path out, a C++ exception included.
class GilRelease final {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace ombrel::lib
