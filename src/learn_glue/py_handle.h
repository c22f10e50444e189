// Small helpers of ombrel_learn's glue: an owning reference, a scoped release of the interpreter
// lock and the mapping of native exceptions to Python ones. REQUIRES: every member of Ref is used with the
// interpreter lock held.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <chrono>
#include <exception>
#include <new>
#include <stdexcept>
#include <thread>
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

// Takes the interpreter lock back for `state`. A thread that asks for the lock while the interpreter
// is finalizing (a daemon thread coming back from native work after the main thread has begun to exit)
// is ended by CPython 3.12 with pthread_exit, a forced unwind of this thread's stack. Letting it
// unwind would run the destructors of the frames above without the lock (releasing buffers and
// references while the main thread tears the interpreter down), and through the noexcept destructor
// below it would end the process in std::terminate. The thread is parked instead, holding neither the
// lock nor anything the interpreter needs, until the process exits.
inline void take_lock_back(PyThreadState* state) {
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
}

// Gives up the interpreter lock for its lifetime when `release` is true. Only code that touches no
// Python object may run inside; the lock is taken back on every path out, exceptions included.
class UnlockedScope final {
 public:
  explicit UnlockedScope(bool release) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~UnlockedScope() {
    if (state_ != nullptr) take_lock_back(state_);
  }
  UnlockedScope(const UnlockedScope&) = delete;
  UnlockedScope& operator=(const UnlockedScope&) = delete;

 private:
  PyThreadState* state_;
};

// Turns the C++ exception in flight into a Python exception: MemoryError for a failed allocation,
// ValueError for invalid input found by the native code, RuntimeError for anything else. Call only
// from a catch block, with the interpreter lock held. A forced unwind (the thread being ended, by
// pthread_exit or cancellation) is no error: it goes on, out of the caller's catch block, or the
// runtime would abort the process.
inline PyObject* raise_from_native() {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
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
