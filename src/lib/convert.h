// Conversions from Python arguments to engine values.
//
// Each returns false with a Python exception set on failure. The exceptions are the raw ones (for
// example the interpreter's own OverflowError); the caller applies the argument-name rule
// (prefix_argument_error) once per parameter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../ombrel/field.h"

namespace ombrel::lib {

// A vector of token ids that keeps short streams (the common case) off the heap.
class TokenVector final {
 public:
  TokenVector() = default;
  TokenVector(const TokenVector&) = delete;
  TokenVector& operator=(const TokenVector&) = delete;

  void reserve(std::size_t n) {
    if (n > kInline && heap_.capacity() < n) {
      if (heap_.empty()) heap_.assign(inline_, inline_ + size_);
      heap_.reserve(n);
    }
  }
  void push_back(uint32_t v) {
    if (heap_.empty() && size_ < kInline) {
      inline_[size_++] = v;
      return;
    }
    if (heap_.empty()) heap_.assign(inline_, inline_ + size_);
    heap_.push_back(v);
    ++size_;
  }
  std::size_t capacity() const noexcept { return heap_.empty() ? kInline : heap_.capacity(); }
  const uint32_t* data() const noexcept { return heap_.empty() ? inline_ : heap_.data(); }
  std::size_t size() const noexcept { return size_; }
  std::span<const uint32_t> span() const noexcept { return {data(), size_}; }

 private:
  static constexpr std::size_t kInline = 64;
  uint32_t inline_[kInline];
  std::size_t size_ = 0;
  std::vector<uint32_t> heap_;
};

bool to_u64(PyObject* obj, uint64_t* out);
bool to_u32(PyObject* obj, uint32_t* out);
bool to_i16(PyObject* obj, int16_t* out);
bool to_f32(PyObject* obj, float* out);
// A str (or subclass) as UTF-8 bytes.
bool to_utf8(PyObject* obj, std::string* out);
// A str (or subclass) as a view of its cached UTF-8 form. Valid while `obj` lives.
bool to_utf8_view(PyObject* obj, const char** data, Py_ssize_t* size);

// A sequence of ints (not a str) appended to `out` as unsigned 32-bit ids.
bool append_tokens(PyObject* obj, std::vector<uint32_t>& out);
bool to_tokens(PyObject* obj, TokenVector& out);

// A sequence of token sequences, flattened.
bool to_predict_batch(PyObject* obj, TokenBatch& out);
// A sequence of (token sequence, correct id) tuples, flattened.
bool to_train_batch(PyObject* obj, TokenBatch& out);

}  // namespace ombrel::lib
