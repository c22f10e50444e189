// Batches of token streams flattened into one TokenBatch.
//
// A batch given as an exact list or tuple is read in two steps. Its leading items that need nothing
// from the interpreter are read directly (convert_plain_prefix), a large batch's values with the help
// of idle pool workers (pooled_reader.h); the remaining items, from the first that is not plain, go
// through the general rules one by one. A 2-D numpy integer array is read as a batch of its rows.
#include "lib/batch_conversion.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "lib/errors.h"
#include "lib/int_buffer.h"
#include "lib/pooled_reader.h"
#include "lib/py_ref.h"
#include "lib/token_lists.h"
#include "ombrel/fixed_texts.h"
#include "pool/thread_pool.h"

namespace ombrel::lib {
namespace {

// The items of an exact list or tuple (its ob_item array), or nullptr for any other sequence.
PyObject* const* exact_items(PyObject* obj, Py_ssize_t* n) {
  if (PyList_CheckExact(obj)) {
    *n = PyList_GET_SIZE(obj);
    return reinterpret_cast<PyListObject*>(obj)->ob_item;
  }
  if (PyTuple_CheckExact(obj)) {
    *n = PyTuple_GET_SIZE(obj);
    return reinterpret_cast<PyTupleObject*>(obj)->ob_item;
  }
  return nullptr;
}

// The token sequence of a batch item when it is an exact list or tuple; for a train batch the item
// must also be an exact (tokens, id) tuple. nullptr otherwise.
template <bool kTrain>
PyObject* plain_stream(PyObject* item) {
  if constexpr (kTrain) {
    if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2) return nullptr;
    item = PyTuple_GET_ITEM(item, 0);
  }
  return PyList_CheckExact(item) || PyTuple_CheckExact(item) ? item : nullptr;
}

// The streams [begin, end) of a batch's plain prefix, written to their places in out.tokens (and
// out.correct), which are sized already. Returns the first stream in the range holding a value
// that is not plain, or `end`. Reads objects only: no reference count changes, no allocation.
template <bool kTrain>
Py_ssize_t fill_plain(PyObject* const* items, const std::vector<PyObject* const*>& values, TokenBatch& out,
                      Py_ssize_t begin, Py_ssize_t end) {
  // The int objects lie anywhere in memory, so a cursor runs kAhead tokens ahead of the reader,
  // across stream boundaries, asking for each object's cache line.
  constexpr uint64_t kAhead = 32;
  constexpr Py_ssize_t kArraysAhead = 4;
  const uint64_t* const offsets = out.offsets.data();
  Py_ssize_t ahead_stream = begin;
  uint64_t ahead_token = offsets[begin];  // flat index of the next token to prefetch
  auto prefetch_next = [&] {
    while (ahead_stream < end && ahead_token >= offsets[ahead_stream + 1]) {
      ++ahead_stream;
      // The item array of a stream further on, so that the cursor finds it in the cache.
      if (ahead_stream + kArraysAhead < end) {
        const Py_ssize_t s = ahead_stream + kArraysAhead;
        const char* array = reinterpret_cast<const char*>(values[s]);
        const uint64_t bytes = (offsets[s + 1] - offsets[s]) * sizeof(PyObject*);
        for (uint64_t b = 0; b < bytes && b < 512; b += 64) __builtin_prefetch(array + b);
      }
    }
    if (ahead_stream == end) return;
    __builtin_prefetch(values[ahead_stream][ahead_token - offsets[ahead_stream]]);
    ++ahead_token;
  };
  for (uint64_t k = 0; k < kAhead; ++k) prefetch_next();

  uint32_t* const tokens = out.tokens.data();
  for (Py_ssize_t i = begin; i < end; ++i) {
    const uint64_t first = offsets[i];
    const uint64_t len = offsets[i + 1] - first;
    PyObject* const* stream = values[i];
    for (uint64_t k = 0; k < len; ++k) {
      prefetch_next();
      if (!fast_u32(stream[k], tokens + first + k)) return i;
    }
    if constexpr (kTrain) {
      if (!fast_u32(PyTuple_GET_ITEM(items[i], 1), &out.correct[i])) return i;
    }
  }
  return end;
}

// Batches of at least this many tokens have their values read with the help of the worker pool.
constexpr uint64_t kParallelTokens = uint64_t{1} << 16;

// Converts the leading items of a batch that need nothing from the interpreter (exact lists or
// tuples of small non-negative exact ints, and for a train batch exact 2-tuples whose id is one
// too) and returns how many it converted. No Python code runs here, so the batch cannot change
// while it is read; the caller converts the remaining items one by one, as if from the start.
//
// First the lengths, on this thread, so that the flat token array is sized once and every stream
// has its place; then the values, for a large batch shared with idle pool workers (read_pooled). The
// workers read Python objects without holding the interpreter lock, which is sound because this
// thread holds it and does not let go of it until every chunk a worker claimed is done: in this
// interpreter no Python code runs meanwhile, so nothing can change or free the objects, and the
// workers only read (no reference counts, no allocation).
template <bool kTrain>
Py_ssize_t convert_plain_prefix(PyObject* const* items, Py_ssize_t n, TokenBatch& out) {
  out.offsets.reserve(static_cast<std::size_t>(n) + 1);
  std::vector<PyObject* const*> values;  // each plain stream's item array
  values.reserve(static_cast<std::size_t>(n));
  Py_ssize_t plain = 0;
  constexpr Py_ssize_t kItemsAhead = 8;  // the item objects are scattered as well
  for (; plain < n; ++plain) {
    if (plain + kItemsAhead < n) __builtin_prefetch(items[plain + kItemsAhead]);
    PyObject* stream = plain_stream<kTrain>(items[plain]);
    if (stream == nullptr) break;
    Py_ssize_t len;
    values.push_back(exact_items(stream, &len));
    out.offsets.push_back(out.offsets.back() + static_cast<uint64_t>(len));
  }
  out.tokens.resize(out.offsets.back());
  if constexpr (kTrain) out.correct.resize(static_cast<std::size_t>(plain));

  pool::ThreadPool* workers = nullptr;
  if (out.tokens.size() >= kParallelTokens && plain >= 2) {
    try {
      workers = &pool::global_pool();
    } catch (const pool::PoolUnavailable&) {
      // Converted here instead; the batch itself then reports the pool that cannot start.
    }
  }
  Py_ssize_t converted;
  if (workers == nullptr) {
    converted = fill_plain<kTrain>(items, values, out, 0, plain);
  } else {
    converted = read_pooled(*workers, out.tokens.size(), plain,
                            [items, &values, &out](Py_ssize_t begin, Py_ssize_t end) noexcept {
                              return fill_plain<kTrain>(items, values, out, begin, end);
                            });
  }
  out.offsets.resize(static_cast<std::size_t>(converted) + 1);
  out.tokens.resize(out.offsets.back());
  if constexpr (kTrain) out.correct.resize(static_cast<std::size_t>(converted));
  return converted;
}

bool convert_predict_item(PyObject* item, TokenBatch& out) {
  PyRef held = PyRef::borrow(item);
  if (!convert_tokens(held.get(), out.tokens)) return false;
  out.offsets.push_back(out.tokens.size());
  return true;
}

bool convert_train_item(PyObject* item, TokenBatch& out) {
  PyRef held = PyRef::borrow(item);
  if (!PyTuple_Check(item)) {
    raise_cannot_convert(item, fixed_text::kTupleTarget);
    return false;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(item);
  if (n != 2) {
    PyErr_Format(PyExc_ValueError, fixed_text::kTupleLength, n);
    return false;
  }
  if (!convert_tokens(PyTuple_GET_ITEM(item, 0), out.tokens)) return false;
  uint32_t correct;
  if (!to_u32(PyTuple_GET_ITEM(item, 1), &correct)) return false;
  out.offsets.push_back(out.tokens.size());
  out.correct.push_back(correct);
  return true;
}

// A 2-D numpy integer array (a matrix of token ids) as a predict batch of its rows: iterating
// it yields the rows, each a 1-D buffer of the same values. Returns 1 when converted, 0 when not
// applicable (nothing raised), -1 on error.
int batch_from_buffer(PyObject* obj, TokenBatch& out) {
  // numpy only: a 2-D memoryview refuses to be iterated, and the other types are 1-D.
  if (!is_exact_type_named(obj, "numpy.ndarray")) return 0;
  const BufferView buffer(obj);
  IntFormat format;
  const Py_buffer* view = buffer.integers(2, &format);
  if (view == nullptr) return 0;
  const Py_ssize_t rows = view->shape[0];
  const Py_ssize_t columns = view->shape[1];
  const Py_ssize_t row_stride = stride_of(*view, 0);
  const Py_ssize_t column_stride = stride_of(*view, 1);
  out.tokens.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns));
  out.offsets.reserve(static_cast<std::size_t>(rows) + 1);
  const char* base = static_cast<const char*>(view->buf);
  for (Py_ssize_t r = 0; r < rows; ++r) {
    if (!append_values(base + r * row_stride, columns, column_stride, format, out.tokens)) return -1;
    out.offsets.push_back(out.tokens.size());
  }
  return 1;
}

template <bool kTrain>
bool convert_batch(PyObject* obj, TokenBatch& out) {
  auto convert_item = [&](PyObject* item) {
    return kTrain ? convert_train_item(item, out) : convert_predict_item(item, out);
  };
  Py_ssize_t n;
  PyObject* const* items = exact_items(obj, &n);
  if (items == nullptr) {
    if (!check_sequence(obj)) return false;
    if constexpr (!kTrain) {
      const int from_buffer = batch_from_buffer(obj, out);
      if (from_buffer != 0) return from_buffer > 0;
    }
    return for_each_item(obj, convert_item);
  }
  // The rest, in order, through the general path: it re-reads the batch's size each step, since
  // converting an item may run Python code that changes the batch.
  for (Py_ssize_t i = convert_plain_prefix<kTrain>(items, n, out); i < Py_SIZE(obj); ++i) {
    PyObject* item = PyList_CheckExact(obj) ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
    if (!convert_item(item)) return false;
  }
  return true;
}

}  // namespace

bool to_predict_batch(PyObject* obj, TokenBatch& out) {
  return convert_batch<false>(obj, out);
}

bool to_train_batch(PyObject* obj, TokenBatch& out) {
  return convert_batch<true>(obj, out);
}

}  // namespace ombrel::lib
