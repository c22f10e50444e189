// TokenStrings: the str objects of recently made tokens, handed out again for repeated words.
//
// Token strings handed out recently, found by their bytes. Words repeat: a million tokens of
// text hold a few tens of thousands of distinct words, so most tokens are found here and handed
// out again as the same str object. That saves an allocation and a copy per token, and a caller's
// dictionary look-up then finds the string's hash already computed in the object (and, when its
// key is this very object, needs no comparison either). Strings are immutable, so sharing them
// cannot be observed except through their identity, which the language leaves unspecified for
// equal strings. Direct-mapped: a slot holds the last token that hashed to it, with one reference.
// Touched only with the interpreter lock held; never freed (lives as long as the module).
#pragma once

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "lib/text/byte_loads.h"

namespace ombrel::lib {

class TokenStrings final {
 public:
  // A new reference to a str holding `token`, or null with an exception set.
  PyObject* get(std::string_view token, bool ascii) {
    if (token.size() > kMaxBytes) return make_str(token, ascii);
    const Key key = key_of(token);
    Slot& slot = slots_[slot_of(key)];
    if (slot.str != nullptr && slot.key.words[0] == key.words[0] && slot.key.words[1] == key.words[1] &&
        slot.key.words[2] == key.words[2]) {
      Py_INCREF(slot.str);
      return slot.str;
    }
    PyObject* str = make_str(token, ascii);
    if (str == nullptr) return nullptr;
    Py_XDECREF(slot.str);
    Py_INCREF(str);
    slot.str = str;
    slot.key = key;
    return str;
  }

 private:
  static constexpr std::size_t kMaxBytes = 23;  // 24 key bytes, the last one for the size
  static constexpr int kSlotBits = 14;          // 16,384 slots of 32 bytes

  struct Key {
    uint64_t words[3];
  };
  struct Slot {
    Key key;
    PyObject* str = nullptr;
  };

  // REQUIRES: token.size() <= kMaxBytes.
  static Key key_of(std::string_view token) {
    static_assert(std::endian::native == std::endian::little);
    const char* p = token.data();
    const std::size_t n = token.size();
    Key key{};
    if (n < 8) {
      key.words[0] = text::load_up_to_8_le(p, n);
    } else {
      std::memcpy(&key.words[0], p, 8);
      if (n < 16) {
        key.words[1] = text::load_up_to_8_le(p + 8, n - 8);
      } else {
        std::memcpy(&key.words[1], p + 8, 8);
        key.words[2] = text::load_up_to_8_le(p + 16, n - 16);
      }
    }
    key.words[2] |= static_cast<uint64_t>(n) << 56;  // the last byte holds the size
    return key;
  }

  static std::size_t slot_of(const Key& key) {
    uint64_t h = key.words[0] * 0x9E3779B97F4A7C15ull;
    h ^= (key.words[1] + (h >> 31)) * 0xC2B2AE3D27D4EB4Full;
    h ^= (key.words[2] + (h >> 29)) * 0x165667B19E3779F9ull;
    return static_cast<std::size_t>(h >> (64 - kSlotBits));
  }

  static PyObject* make_str(std::string_view token, bool ascii) {
    if (ascii) {
      PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(token.size()), 127);
      if (s != nullptr && !token.empty()) std::memcpy(PyUnicode_1BYTE_DATA(s), token.data(), token.size());
      return s;
    }
    return PyUnicode_DecodeUTF8(token.data(), static_cast<Py_ssize_t>(token.size()), "strict");
  }

  Slot slots_[std::size_t{1} << kSlotBits];

 public:
  // A vector for one call's strings, kept between calls so that its memory is reused, and whether
  // a call is using it.
  std::vector<PyObject*> scratch;
  bool scratch_lent = false;
  // The most entries `scratch` keeps between calls; a huge text's vector is given back.
  static constexpr std::size_t kKeptScratch = std::size_t{1} << 16;
};

// The process-wide store, made on first use. REQUIRES: the interpreter lock is held.
TokenStrings& token_strings();

}  // namespace ombrel::lib
