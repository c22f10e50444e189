// Python exceptions made by the module: the internal-fault exception, the argument-name prefix rule,
// the "cannot be converted" message, and I/O errors. Every Python exception of the module is made here.
#pragma once

#include <Python.h>

#include <exception>

#include "platform/io_error.h"

namespace ombrel::lib {

// The PanicException type (a BaseException subclass), created on first use. Null with an exception
// set if it cannot be created.
PyObject* panic_exception_type();

// Raises PanicException with `message` as its single argument. Always returns nullptr.
PyObject* raise_panic(const char* message);

// Raises OverflowError "out of range integral type conversion attempted" (a value that does not fit
// the engine's integer type). Always returns false.
bool raise_out_of_range();

// Raises TypeError "'<qualname of type(obj)>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* obj, const char* target);

// Applies the argument rule to the pending exception: one whose type is exactly TypeError becomes a
// new TypeError "argument '<name>': <message>" that keeps the old one's cause; others pass unchanged.
void prefix_argument_error(const char* name);

// Raises the Python exception for an I/O error: its kind picks the class, its message is the one
// argument. Always returns nullptr.
PyObject* raise_io_error(const platform::IoError& error);

// Raises the exception for a C++ exception that reached the module boundary: an internal fault
// becomes PanicException, an allocation failure MemoryError, anything else PanicException too.
// A forced unwind (the thread being ended) is rethrown instead. REQUIRES: called inside a catch block.
// Always returns nullptr.
PyObject* raise_current_exception();

}  // namespace ombrel::lib
