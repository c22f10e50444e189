// Integer buffers (bytes, bytearray, memoryview, array.array, numpy arrays) read as token ids without
// creating an object per element, with exactly the errors that converting the same values one by one
// as ints raises.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "lib/errors.h"
#include "ombrel/fixed_texts.h"

namespace ombrel::lib {

// True when obj's type is exactly the one named (tp_name), for types this module cannot link against.
inline bool is_exact_type_named(PyObject* obj, const char* name) {
  return std::strcmp(Py_TYPE(obj)->tp_name, name) == 0;
}

// An integer buffer format reduced to what conversion needs; false for anything else.
struct IntFormat {
  bool is_signed;
  Py_ssize_t width;
};

inline bool int_format(const Py_buffer& view, IntFormat* out) {
  const char* format = view.format != nullptr ? view.format : "B";
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if (format[0] == '\0' || format[1] != '\0') return false;
  switch (format[0]) {
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n': out->is_signed = true; break;
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N': out->is_signed = false; break;
    default: return false;
  }
  out->width = view.itemsize;
  return out->width == 1 || out->width == 2 || out->width == 4 || out->width == 8;
}

// n values `stride` bytes apart, with the errors that converting the same values as ints raises.
template <class Out>
bool append_values(const char* base, Py_ssize_t n, Py_ssize_t stride, IntFormat format, Out& out) {
  for (Py_ssize_t i = 0; i < n; ++i) {
    const char* p = base + i * stride;
    uint64_t value;
    if (format.is_signed) {
      int64_t s;
      switch (format.width) {
        case 1: {
          int8_t x;
          std::memcpy(&x, p, 1);
          s = x;
          break;
        }
        case 2: {
          int16_t x;
          std::memcpy(&x, p, 2);
          s = x;
          break;
        }
        case 4: {
          int32_t x;
          std::memcpy(&x, p, 4);
          s = x;
          break;
        }
        default: {
          std::memcpy(&s, p, 8);
          break;
        }
      }
      if (s < 0) {
        PyErr_SetString(PyExc_OverflowError, fixed_text::kNegativeToUnsigned);
        return false;
      }
      value = static_cast<uint64_t>(s);
    } else {
      switch (format.width) {
        case 1: {
          uint8_t x;
          std::memcpy(&x, p, 1);
          value = x;
          break;
        }
        case 2: {
          uint16_t x;
          std::memcpy(&x, p, 2);
          value = x;
          break;
        }
        case 4: {
          uint32_t x;
          std::memcpy(&x, p, 4);
          value = x;
          break;
        }
        default: {
          std::memcpy(&value, p, 8);
          break;
        }
      }
    }
    if (value > std::numeric_limits<uint32_t>::max()) return raise_out_of_range();
    out.push_back(static_cast<uint32_t>(value));
  }
  return true;
}

// Types whose buffer, when they have one, holds exactly the values their iteration yields:
// bytes, bytearray, memoryview, array.array and numpy.ndarray (exact types only, so that an
// overridden __iter__ is always honoured).
inline bool has_faithful_buffer(PyObject* obj) {
  return PyBytes_CheckExact(obj) || PyByteArray_CheckExact(obj) || PyMemoryView_Check(obj) ||
         is_exact_type_named(obj, "array.array") || is_exact_type_named(obj, "numpy.ndarray");
}

// A buffer view that is released when it goes out of scope; empty if the object has none.
class BufferView final {
 public:
  explicit BufferView(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
      PyErr_Clear();
      return;
    }
    held_ = true;
  }
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  // The view when it has `ndim` dimensions of integers without indirection.
  const Py_buffer* integers(int ndim, IntFormat* format) const {
    if (!held_ || view_.ndim != ndim || view_.suboffsets != nullptr || view_.shape == nullptr) {
      return nullptr;
    }
    return int_format(view_, format) ? &view_ : nullptr;
  }

 private:
  Py_buffer view_;
  bool held_ = false;
};

inline Py_ssize_t stride_of(const Py_buffer& view, int dim) {
  if (view.strides != nullptr) return view.strides[dim];
  Py_ssize_t stride = view.itemsize;  // C-contiguous
  for (int d = view.ndim - 1; d > dim; --d) stride *= view.shape[d];
  return stride;
}

// A 1-D integer buffer converted as its iteration would be. Returns 1 when converted, 0 when not
// applicable (nothing raised), -1 on error.
template <class Out>
int append_from_buffer(PyObject* obj, Out& out) {
  if (!has_faithful_buffer(obj)) return 0;
  const BufferView buffer(obj);
  IntFormat format;
  const Py_buffer* view = buffer.integers(1, &format);
  if (view == nullptr) return 0;
  return append_values(static_cast<const char*>(view->buf), view->shape[0], stride_of(*view, 0), format, out)
             ? 1
             : -1;
}

}  // namespace ombrel::lib
