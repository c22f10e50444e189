#include "lib/errors.h"

#include <cxxabi.h>

#include <new>
#include <string>

#include "lib/py_ref.h"
#include "ombrel/fault.h"
#include "ombrel/fixed_texts.h"

namespace ombrel::lib {
namespace {

PyObject* g_panic_type = nullptr;  // one reference, kept for the life of the process

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        fixed_text::kPanicExceptionName,
        "An internal fault of the ombrel engine: a broken invariant or an impossible request.\n"
        "Derived from BaseException, so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

PyObject* raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;
  PyRef text = PyRef::steal(PyUnicode_FromString(message));
  if (!text) return nullptr;
  PyErr_SetObject(type, text.get());
  return nullptr;
}

bool raise_out_of_range() {
  PyErr_SetString(PyExc_OverflowError, fixed_text::kOutOfRange);
  return false;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, fixed_text::kCannotConvert, name.get(), target);
}

void prefix_argument_error(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  PyRef error = PyRef::steal(raised);
  if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(error.release());
    return;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat(fixed_text::kArgumentPrefix, name, error.get()));
  if (!message) return;
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(error.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals the new reference
  }
  PyErr_SetRaisedException(replacement.release());
}

PyObject* raise_io_error(const platform::IoError& error) {
  using platform::IoErrorKind;
  PyObject* type = PyExc_OSError;
  switch (error.kind) {
    case IoErrorKind::kNotFound: type = PyExc_FileNotFoundError; break;
    case IoErrorKind::kPermissionDenied: type = PyExc_PermissionError; break;
    case IoErrorKind::kAlreadyExists: type = PyExc_FileExistsError; break;
    case IoErrorKind::kWouldBlock: type = PyExc_BlockingIOError; break;
    case IoErrorKind::kTimedOut: type = PyExc_TimeoutError; break;
    case IoErrorKind::kInterrupted: type = PyExc_InterruptedError; break;
    case IoErrorKind::kBrokenPipe: type = PyExc_BrokenPipeError; break;
    case IoErrorKind::kConnectionRefused: type = PyExc_ConnectionRefusedError; break;
    case IoErrorKind::kConnectionReset: type = PyExc_ConnectionResetError; break;
    case IoErrorKind::kConnectionAborted: type = PyExc_ConnectionAbortedError; break;
    default: break;
  }
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (!text) return nullptr;
  // One str argument: errno, strerror and filename stay None.
  PyRef exc = PyRef::steal(PyObject_CallOneArg(type, text.get()));
  if (!exc) return nullptr;
  PyErr_SetObject(type, exc.get());
  return nullptr;
}

PyObject* raise_current_exception() {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    // The thread is being ended (pthread_exit, cancellation): no fault to report, and the unwind must
    // go on out of the caller's catch block, or the runtime aborts the process.
    throw;
  } catch (const InternalFault& fault) {
    return raise_panic(fault.what());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic("unknown internal fault");
  }
}

}  // namespace ombrel::lib
