// Argument conversions of single values and token lists. The token-list rules and their fast paths
// are in token_lists.h, shared with the batch conversions (batch_conversion.cpp).
#include "lib/convert.h"

#include <cstring>
#include <limits>

#include "lib/errors.h"
#include "lib/py_ref.h"
#include "lib/token_lists.h"
#include "ombrel/fixed_texts.h"

namespace ombrel::lib {

bool to_u64(PyObject* obj, uint64_t* out) {
  if (PyLong_Check(obj)) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = v;
    return true;
  }
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool to_u32(PyObject* obj, uint32_t* out) {
  if (fast_u32(obj, out)) return true;
  uint64_t v;
  if (!to_u64(obj, &v)) return false;
  if (v > std::numeric_limits<uint32_t>::max()) return raise_out_of_range();
  *out = static_cast<uint32_t>(v);
  return true;
}

bool to_i16(PyObject* obj, int16_t* out) {
  const long v = PyLong_AsLong(obj);  // __index__ for non-ints; the interpreter's own overflow
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < std::numeric_limits<int16_t>::min() || v > std::numeric_limits<int16_t>::max()) {
    return raise_out_of_range();
  }
  *out = static_cast<int16_t>(v);
  return true;
}

bool to_f32(PyObject* obj, float* out) {
  double v;
  if (PyFloat_CheckExact(obj)) {
    v = PyFloat_AS_DOUBLE(obj);
  } else {
    v = PyFloat_AsDouble(obj);  // __float__, then __index__
    if (v == -1.0 && PyErr_Occurred()) return false;
  }
  *out = static_cast<float>(v);  // IEEE round to nearest; beyond the range gives infinity
  return true;
}

bool to_utf8_view(PyObject* obj, const char** data, Py_ssize_t* size) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, fixed_text::kStringTarget);
    return false;
  }
  *data = PyUnicode_AsUTF8AndSize(obj, size);
  return *data != nullptr;
}

bool to_utf8(PyObject* obj, std::string* out) {
  const char* data;
  Py_ssize_t size;
  if (!to_utf8_view(obj, &data, &size)) return false;
  out->assign(data, static_cast<std::size_t>(size));
  return true;
}

// True and False; also numpy's boolean scalar, read through its truth-value slot. numpy 2 names the
// type numpy.bool (numpy.bool_ is an alias of it), so both names are accepted.
bool to_bool(PyObject* obj, bool* out) {
  if (obj == Py_True || obj == Py_False) {
    *out = obj == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(obj);
  if (std::strcmp(type->tp_name, "numpy.bool_") != 0 && std::strcmp(type->tp_name, "numpy.bool") != 0) {
    raise_cannot_convert(obj, fixed_text::kBoolTarget);
    return false;
  }
  if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject*>(type));
    return false;
  }
  const int truth = type->tp_as_number->nb_bool(obj);
  if (truth == 0 || truth == 1) {
    *out = truth == 1;
    return true;
  }
  if (!PyErr_Occurred()) {
    PyErr_Format(PyExc_SystemError, "the truth-value slot of '%S' returned %d",
                 reinterpret_cast<PyObject*>(type), truth);
  }
  return false;
}

bool to_tokens(PyObject* obj, TokenVector& out) {
  return convert_tokens(obj, out);
}

}  // namespace ombrel::lib
