// Argument conversions.
//
// Token lists are the hot path: exact lists and tuples of small exact ints are read directly, and
// integer buffers of the built-in and numpy array types are read without creating an object per
// element. Every other object goes through the interpreter's sequence and iteration protocols, and
// each fast path raises exactly what the generic path would raise for the same input.
#include "convert.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "errors.h"
#include "py_ref.h"

namespace ombrel::lib {
namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

bool raise_out_of_range() {
  PyErr_SetString(PyExc_OverflowError, kOutOfRange);
  return false;
}

// Small non-negative exact ints, read without a call into the interpreter.
inline bool fast_u32(PyObject* item, uint32_t* out) {
  if (!PyLong_CheckExact(item)) return false;
  auto* number = reinterpret_cast<PyLongObject*>(item);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  const Py_ssize_t v = PyUnstable_Long_CompactValue(number);
  if (v < 0) return false;  // the slow path raises the interpreter's own error
  *out = static_cast<uint32_t>(v);  // compact values have at most 30 bits here
  return true;
}

template <class Out>
bool push_item(PyObject* item, Out& out) {
  uint32_t v;
  if (fast_u32(item, &v)) {
    out.push_back(v);
    return true;
  }
  PyRef held = PyRef::borrow(item);  // conversion may run Python code that drops the container's ref
  if (!to_u32(held.get(), &v)) return false;
  out.push_back(v);
  return true;
}

bool is_exact_type_named(PyObject* obj, const char* name) {
  return std::strcmp(Py_TYPE(obj)->tp_name, name) == 0;
}

// Integer buffers whose iteration yields plain integers of the same values: bytes, bytearray,
// memoryview, array.array and numpy.ndarray (exact types only, so that an overridden __iter__ is
// always honoured). Returns 1 when converted, 0 when not applicable (nothing raised), -1 on error.
template <class Out>
int append_from_buffer(PyObject* obj, Out& out) {
  if (!(PyBytes_CheckExact(obj) || PyByteArray_CheckExact(obj) || PyMemoryView_Check(obj) ||
        is_exact_type_named(obj, "array.array") || is_exact_type_named(obj, "numpy.ndarray"))) {
    return 0;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();
    return 0;
  }
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};

  if (view.ndim != 1 || view.suboffsets != nullptr || view.shape == nullptr) return 0;
  const char* format = view.format != nullptr ? view.format : "B";
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if (format[0] == '\0' || format[1] != '\0') return 0;
  bool is_signed;
  switch (format[0]) {
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': is_signed = true; break;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': is_signed = false; break;
    default: return 0;
  }
  const Py_ssize_t width = view.itemsize;
  if (width != 1 && width != 2 && width != 4 && width != 8) return 0;

  const Py_ssize_t n = view.shape[0];
  const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : width;
  const char* base = static_cast<const char*>(view.buf);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const char* p = base + i * stride;
    uint64_t value;
    if (is_signed) {
      int64_t s;
      switch (width) {
        case 1: { int8_t x; std::memcpy(&x, p, 1); s = x; break; }
        case 2: { int16_t x; std::memcpy(&x, p, 2); s = x; break; }
        case 4: { int32_t x; std::memcpy(&x, p, 4); s = x; break; }
        default: { std::memcpy(&s, p, 8); break; }
      }
      if (s < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
        return -1;
      }
      value = static_cast<uint64_t>(s);
    } else {
      switch (width) {
        case 1: { uint8_t x; std::memcpy(&x, p, 1); value = x; break; }
        case 2: { uint16_t x; std::memcpy(&x, p, 2); value = x; break; }
        case 4: { uint32_t x; std::memcpy(&x, p, 4); value = x; break; }
        default: { std::memcpy(&value, p, 8); break; }
      }
    }
    if (value > std::numeric_limits<uint32_t>::max()) {
      raise_out_of_range();
      return -1;
    }
    out.push_back(static_cast<uint32_t>(value));
  }
  return 1;
}

// Checks shared by every list-valued parameter: a str is refused, and so is a non-sequence.
bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_cannot_convert(obj, "Sequence");
    return false;
  }
  return true;
}

// Length as a capacity hint only: a failing length query counts as 0, and a length that the
// sequence's own __len__ may have invented cannot make us reserve more than a modest block.
Py_ssize_t length_hint(PyObject* obj) {
  constexpr Py_ssize_t kMaxHint = Py_ssize_t{1} << 20;
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return n < kMaxHint ? n : kMaxHint;
}

// Calls item_fn(item) for each element of a sequence `obj` (already checked), in order.
template <class ItemFn>
bool for_each_item(PyObject* obj, ItemFn&& item_fn) {
  if (PyList_CheckExact(obj)) {
    // Re-reads the size each step, as list iteration does, so a list changed by an element's
    // conversion is handled as the iterator would handle it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
      if (!item_fn(PyList_GET_ITEM(obj, i))) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(obj)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
      if (!item_fn(PyTuple_GET_ITEM(obj, i))) return false;
    }
    return true;
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (true) {
    PyRef item = PyRef::steal(PyIter_Next(iter.get()));
    if (!item) return !PyErr_Occurred();
    if (!item_fn(item.get())) return false;
  }
}

// Room for `extra` more elements. A batch appends many streams to one vector, so growth must stay
// geometric: reserving exactly size + extra each time would copy the whole batch per stream.
template <class Out>
void reserve_more(Out& out, std::size_t extra) {
  const std::size_t needed = out.size() + extra;
  if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
}

template <class Out>
bool convert_tokens(PyObject* obj, Out& out) {
  const bool exact = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
  if (!exact) {
    if (!check_sequence(obj)) return false;
    const int from_buffer = append_from_buffer(obj, out);
    if (from_buffer != 0) return from_buffer > 0;
  }
  reserve_more(out, static_cast<std::size_t>(exact ? Py_SIZE(obj) : length_hint(obj)));
  return for_each_item(obj, [&](PyObject* item) { return push_item(item, out); });
}

}  // namespace

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
    raise_cannot_convert(obj, "PyString");
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

bool append_tokens(PyObject* obj, std::vector<uint32_t>& out) { return convert_tokens(obj, out); }

bool to_tokens(PyObject* obj, TokenVector& out) { return convert_tokens(obj, out); }

bool to_predict_batch(PyObject* obj, TokenBatch& out) {
  if (!check_sequence(obj)) return false;
  return for_each_item(obj, [&](PyObject* item) {
    PyRef held = PyRef::borrow(item);
    if (!convert_tokens(held.get(), out.tokens)) return false;
    out.offsets.push_back(out.tokens.size());
    return true;
  });
}

bool to_train_batch(PyObject* obj, TokenBatch& out) {
  if (!check_sequence(obj)) return false;
  return for_each_item(obj, [&](PyObject* item) {
    PyRef held = PyRef::borrow(item);
    if (!PyTuple_Check(item)) {
      raise_cannot_convert(item, "PyTuple");
      return false;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(item);
    if (n != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
      return false;
    }
    if (!convert_tokens(PyTuple_GET_ITEM(item, 0), out.tokens)) return false;
    uint32_t correct;
    if (!to_u32(PyTuple_GET_ITEM(item, 1), &correct)) return false;
    out.offsets.push_back(out.tokens.size());
    out.correct.push_back(correct);
    return true;
  });
}

}  // namespace ombrel::lib
