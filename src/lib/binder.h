// Argument binding for functions whose parameters are all required and may be given by position or
// by keyword. Errors are TypeErrors in the module's wording, naming the function as `full_name`
// (for example "OmbrelField.predict()").
#pragma once

#include <Python.h>

#include <cstddef>

namespace ombrel::lib {

struct Signature {
  const char* full_name;
  const char* const* params;
  std::size_t count;
};

// Fast-call convention: positional `args[0..nargs)`, then `kwnames` (a tuple of str or null) naming
// the values that follow them. On success out[i] is a borrowed reference to parameter i.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);

// Tuple-and-dict convention (the constructor). `kwargs` may be null.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace ombrel::lib
