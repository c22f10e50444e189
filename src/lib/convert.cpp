// Argument conversions.
//
// Token lists are the hot path: exact lists and tuples of small exact ints are read directly, and
// integer buffers of the built-in and numpy array types are read without creating an object per
// element. Every other object goes through the interpreter's sequence and iteration protocols, and
// each fast path raises exactly what the generic path would raise for the same input.
#include "lib/convert.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <thread>

#include "lib/errors.h"
#include "lib/py_ref.h"
#include "pool/thread_pool.h"

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

// An integer buffer format reduced to what conversion needs; false for anything else.
struct IntFormat {
  bool is_signed;
  Py_ssize_t width;
};

bool int_format(const Py_buffer& view, IntFormat* out) {
  const char* format = view.format != nullptr ? view.format : "B";
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if (format[0] == '\0' || format[1] != '\0') return false;
  switch (format[0]) {
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': out->is_signed = true; break;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': out->is_signed = false; break;
    default: return false;
  }
  out->width = view.itemsize;
  return out->width == 1 || out->width == 2 || out->width == 4 || out->width == 8;
}

// n values `stride` bytes apart, with the errors that converting the same values as ints raises.
template <class Out>
bool append_values(const char* base, Py_ssize_t n, Py_ssize_t stride, IntFormat format,
                   Out& out) {
  for (Py_ssize_t i = 0; i < n; ++i) {
    const char* p = base + i * stride;
    uint64_t value;
    if (format.is_signed) {
      int64_t s;
      switch (format.width) {
        case 1: { int8_t x; std::memcpy(&x, p, 1); s = x; break; }
        case 2: { int16_t x; std::memcpy(&x, p, 2); s = x; break; }
        case 4: { int32_t x; std::memcpy(&x, p, 4); s = x; break; }
        default: { std::memcpy(&s, p, 8); break; }
      }
      if (s < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
        return false;
      }
      value = static_cast<uint64_t>(s);
    } else {
      switch (format.width) {
        case 1: { uint8_t x; std::memcpy(&x, p, 1); value = x; break; }
        case 2: { uint16_t x; std::memcpy(&x, p, 2); value = x; break; }
        case 4: { uint32_t x; std::memcpy(&x, p, 4); value = x; break; }
        default: { std::memcpy(&value, p, 8); break; }
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
bool has_faithful_buffer(PyObject* obj) {
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

Py_ssize_t stride_of(const Py_buffer& view, int dim) {
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
  return append_values(static_cast<const char*>(view->buf), view->shape[0], stride_of(*view, 0),
                       format, out)
             ? 1
             : -1;
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
Py_ssize_t fill_plain(PyObject* const* items, const std::vector<PyObject* const*>& values,
                      TokenBatch& out, Py_ssize_t begin, Py_ssize_t end) {
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
// The unit of that shared work: a run of streams holding about this many tokens.
constexpr uint64_t kChunkTokens = uint64_t{1} << 13;

// The values of a batch's plain prefix read by this thread together with whichever pool workers are
// free to help. The work is cut into chunks of consecutive streams that threads claim from a shared
// counter. The calling thread holds the interpreter lock, so it must never wait for work that is not
// its own: were it to wait for the pool while the pool is busy with another thread's batch, every
// Python thread would stop until that batch was done. So the caller claims chunks itself from the
// start, helpers posted to the pool join in only if a worker gets to them while chunks remain, and
// at the end the caller waits only for chunks already claimed, each a few microseconds of running
// work. A helper that starts late finds the counter spent and returns without touching the batch;
// the state it shares with the caller is reference-counted, so it may outlive the call.
template <bool kTrain>
class SharedFill final {
 public:
  SharedFill(PyObject* const* items, const std::vector<PyObject* const*>& values, TokenBatch& out,
             Py_ssize_t streams)
      : items_(items), values_(values), out_(out), streams_(streams), first_bad_(streams) {
    const uint64_t tokens = out.tokens.size();
    const uint64_t chunks = std::max<uint64_t>(1, tokens / kChunkTokens);
    streams_per_chunk_ = std::max<Py_ssize_t>(1, static_cast<Py_ssize_t>(
                                                     (static_cast<uint64_t>(streams) + chunks - 1) / chunks));
    chunks_ = static_cast<uint64_t>((streams + streams_per_chunk_ - 1) / streams_per_chunk_);
  }

  uint64_t chunks() const { return chunks_; }

  // Claims and fills chunks until none is left. Safe to call at any time, also after the call that
  // made this state has returned: then the first claim fails and nothing else is touched.
  void work() noexcept {
    for (;;) {
      const uint64_t chunk = next_.fetch_add(1, std::memory_order_relaxed);
      if (chunk >= chunks_) return;
      const Py_ssize_t begin = static_cast<Py_ssize_t>(chunk) * streams_per_chunk_;
      const Py_ssize_t end = std::min(streams_, begin + streams_per_chunk_);
      // A stream that is not plain ends the prefix; chunks wholly after it need no work.
      if (first_bad_.load(std::memory_order_relaxed) >= begin) {
        const Py_ssize_t bad = fill_plain<kTrain>(items_, values_, out_, begin, end);
        if (bad != end) lower_first_bad(bad);
      }
      // Release: this chunk's values are visible to the caller once it counts the chunk done.
      finished_.fetch_add(1, std::memory_order_release);
    }
  }

  // The caller's side: works, then waits for the chunks other threads claimed, and returns how many
  // streams were converted (the index of the first that was not plain).
  Py_ssize_t work_and_finish() noexcept {
    work();
    while (finished_.load(std::memory_order_acquire) != chunks_) std::this_thread::yield();
    return first_bad_.load(std::memory_order_relaxed);
  }

 private:
  void lower_first_bad(Py_ssize_t bad) noexcept {
    Py_ssize_t seen = first_bad_.load(std::memory_order_relaxed);
    while (bad < seen && !first_bad_.compare_exchange_weak(seen, bad, std::memory_order_relaxed)) {
    }
  }

  PyObject* const* const items_;
  const std::vector<PyObject* const*>& values_;
  TokenBatch& out_;
  const Py_ssize_t streams_;
  Py_ssize_t streams_per_chunk_;
  uint64_t chunks_;
  std::atomic<uint64_t> next_{0};
  std::atomic<uint64_t> finished_{0};
  std::atomic<Py_ssize_t> first_bad_;
};

// Converts the leading items of a batch that need nothing from the interpreter (exact lists or
// tuples of small non-negative exact ints, and for a train batch exact 2-tuples whose id is one
// too) and returns how many it converted. No Python code runs here, so the batch cannot change
// while it is read; the caller converts the remaining items one by one, as if from the start.
//
// First the lengths, on this thread, so that the flat token array is sized once and every stream
// has its place; then the values, for a large batch shared with idle pool workers (SharedFill). The
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
    const auto fill = std::make_shared<SharedFill<kTrain>>(items, values, out, plain);
    const uint64_t helpers = std::min<uint64_t>(workers->num_threads(), fill->chunks() - 1);
    for (uint64_t h = 0; h < helpers; ++h) {
      try {
        workers->post([fill]() noexcept { fill->work(); });
      } catch (const std::bad_alloc&) {
        break;  // fewer helpers; this thread does the rest
      }
    }
    converted = fill->work_and_finish();
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

bool to_predict_batch(PyObject* obj, TokenBatch& out) { return convert_batch<false>(obj, out); }

bool to_train_batch(PyObject* obj, TokenBatch& out) { return convert_batch<true>(obj, out); }

}  // namespace ombrel::lib
