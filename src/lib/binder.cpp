#include "lib/binder.h"

#include <string>

#include "ombrel/fixed_texts.h"

namespace ombrel::lib {
namespace {

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, fixed_text::kTooManyPositional, sig.full_name, sig.count, given,
               given == 1 ? "was" : "were");
  return false;
}

// Places one keyword value. Returns false with the exception set.
bool place_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
  for (std::size_t i = 0; i < sig.count; ++i) {
    const int equal = PyUnicode_Check(name) ? PyUnicode_CompareWithASCIIString(name, sig.params[i]) : 1;
    if (equal != 0) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, fixed_text::kMultipleValues, sig.full_name, sig.params[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, fixed_text::kUnexpectedKeyword, sig.full_name, name);
  return false;
}

bool check_missing(const Signature& sig, PyObject** out) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.count; ++i) missing += out[i] == nullptr;
  if (missing == 0) return true;

  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (out[i] != nullptr) continue;
    if (listed > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += listed + 1 == missing ? ", and " : ", ";
      }
    }
    names += '\'';
    names += sig.params[i];
    names += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, fixed_text::kMissingArguments, sig.full_name, missing,
               missing == 1 ? "" : "s", names.c_str());
  return false;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
  const std::size_t positional = static_cast<std::size_t>(nargs);
  if (positional > sig.count) return too_many_positional(sig, nargs);
  for (std::size_t i = 0; i < sig.count; ++i) out[i] = i < positional ? args[i] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > sig.count) return too_many_positional(sig, nargs);
  for (std::size_t i = 0; i < sig.count; ++i) {
    out[i] = static_cast<Py_ssize_t>(i) < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, out)) return false;
    }
  }
  return check_missing(sig, out);
}

}  // namespace ombrel::lib
