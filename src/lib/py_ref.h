// PyRef: an owned reference to a Python object. The only place an owned PyObject* lives.
// REQUIRES: every member is used with the interpreter lock held.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <chrono>
#include <thread>
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

// Takes the interpreter lock back for `state`. A thread that asks for the lock while the interpreter
// is finalizing (a daemon thread coming back from engine work after the main thread has begun to exit)
// is ended by CPython 3.12 with pthread_exit, a forced unwind of this thread's stack. Letting it
// unwind would run the destructors of the frames above without the lock (dropping references to
// Python objects and changing a receiver's borrow while the main thread tears the interpreter down),
// and through the noexcept destructor below it would end the process in std::terminate. The thread
// is parked instead, holding neither the lock nor anything the interpreter needs, until the process
// exits.
inline void take_lock_back(PyThreadState* state) {
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
}

// Gives up the interpreter lock for its lifetime. Only code that touches no Python object may run
// inside; the destructor takes the lock back on every path out, a C++ exception included.
class GilRelease final {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { take_lock_back(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace ombrel::lib
