// Token lists: the sequence rules shared by every list-valued parameter (a str refused, then any
// sequence read through the iteration protocol, each element an unsigned 32-bit id), with the fast
// paths that read exact lists and tuples of small ints, and integer buffers, without calls into the
// interpreter. Each fast path raises exactly what the general path would raise for the same input.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/int_buffer.h"
#include "lib/py_ref.h"
#include "ombrel/fixed_texts.h"

namespace ombrel::lib {

// Small non-negative exact ints, read without a call into the interpreter.
inline bool fast_u32(PyObject* item, uint32_t* out) {
  if (!PyLong_CheckExact(item)) return false;
  auto* number = reinterpret_cast<PyLongObject*>(item);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  const Py_ssize_t v = PyUnstable_Long_CompactValue(number);
  if (v < 0) return false;          // the slow path raises the interpreter's own error
  *out = static_cast<uint32_t>(v);  // compact values have at most 30 bits here
  return true;
}

template <class Out>
bool push_item(PyObject* item, Out& out) {
  uint32_t v = 0;  // written by either conversion when it succeeds; zeroed to quiet GCC's flow analysis
  if (fast_u32(item, &v)) {
    out.push_back(v);
    return true;
  }
  PyRef held = PyRef::borrow(item);  // conversion may run Python code that drops the container's ref
  if (!to_u32(held.get(), &v)) return false;
  out.push_back(v);
  return true;
}

// Checks shared by every list-valued parameter: a str is refused, and so is a non-sequence.
inline bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, fixed_text::kStrIsNotAList);
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_cannot_convert(obj, fixed_text::kSequenceTarget);
    return false;
  }
  return true;
}

// Length as a capacity hint only: a failing length query counts as 0, and a length that the
// sequence's own __len__ may have invented cannot make us reserve more than a modest block.
inline Py_ssize_t length_hint(PyObject* obj) {
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

}  // namespace ombrel::lib
