// Conversions from Python arguments to engine values.
//
// Each returns false with a Python exception set on failure. The exceptions are the raw ones (for
// example the interpreter's own OverflowError); the caller applies the argument-name rule
// (prefix_argument_error) once per parameter.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ombrel::lib {

// A vector of token ids that keeps short streams (the common case) off the heap.
class TokenVector final {
 public:
  // User-provided, so that value-initialisation (a std::tuple of arguments makes one) does not first
  // zero the inline array: that would cost more than converting a short stream.
  TokenVector() noexcept {}
  TokenVector(const TokenVector&) = delete;
  TokenVector& operator=(const TokenVector&) = delete;

  void reserve(std::size_t n) {
    if (n > capacity_) grow(n);
  }
  void push_back(uint32_t v) {
    if (size_ == capacity_) [[unlikely]]
      grow(capacity_ * 2);
    data_[size_++] = v;
  }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  const uint32_t* data() const noexcept { return data_; }
  std::span<const uint32_t> span() const noexcept { return {data_, size_}; }

 private:
  static constexpr std::size_t kInline = 64;

  void grow(std::size_t n) {
    const bool on_heap = data_ != inline_;
    heap_.resize(n);  // keeps the contents once they live in heap_
    if (!on_heap) std::copy(inline_, inline_ + size_, heap_.data());
    data_ = heap_.data();
    capacity_ = n;
  }

  uint32_t inline_[kInline];
  uint32_t* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
  std::vector<uint32_t> heap_;
};

bool to_u64(PyObject* obj, uint64_t* out);
bool to_u32(PyObject* obj, uint32_t* out);
bool to_i16(PyObject* obj, int16_t* out);
bool to_f32(PyObject* obj, float* out);
// True or False; also numpy's boolean scalar, through its truth-value slot.
bool to_bool(PyObject* obj, bool* out);
// A str (or subclass) as UTF-8 bytes.
bool to_utf8(PyObject* obj, std::string* out);
// A str (or subclass) as a view of its cached UTF-8 form. Valid while `obj` lives.
bool to_utf8_view(PyObject* obj, const char** data, Py_ssize_t* size);

// A sequence of ints (not a str) as unsigned 32-bit ids.
bool to_tokens(PyObject* obj, TokenVector& out);

}  // namespace ombrel::lib
