// Python glue of `tokenize`: converts the arguments, runs the tokenizer core with the interpreter
// lock held (the work is short and builds Python strings as it goes) and returns the list.
#include "lib/tokenize_function.h"

#include <bit>
#include <cstring>
#include <string_view>
#include <vector>

#include "lib/binder.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/py_ref.h"
#include "lib/text/tokenizer.h"

namespace ombrel::lib {
namespace {

constexpr const char* kParams[] = {"text", "stop_words", "apply_stemming", "min_length"};
constexpr Signature kSig = make_signature("tokenize()", kParams);

bool arg(const char* name, bool converted) {
  if (!converted) prefix_argument_error(name);
  return converted;
}

bool to_stop_words(PyObject* obj, text::StopWordSet& out) {
  if (!PyAnySet_Check(obj)) {
    raise_cannot_convert(obj, "PySet");
    return false;
  }
  out.reserve(static_cast<std::size_t>(PySet_GET_SIZE(obj)));
  // Iterating through the protocol honours a subclass's own __iter__; whatever it raises passes on.
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    const char* data;
    Py_ssize_t size;
    if (!to_utf8_view(item.get(), &data, &size)) return false;
    out.insert(std::string_view(data, static_cast<std::size_t>(size)));
  }
  return !PyErr_Occurred();
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
    raise_cannot_convert(obj, "PyBool");
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

// The table built from the last exact frozenset passed, kept with a reference to that very object.
// A frozenset and its str elements cannot change, and the reference keeps the object's identity from
// being reused, so the table stays exact for as long as the same object is passed again; callers that
// tokenize many texts with one frozenset then pay for the table once. Touched only with the
// interpreter lock held.
//
// Converting the later arguments may run Python code (an __index__, a __bool__) that calls tokenize
// again, with another frozenset. The cached table is therefore lent to a call for its whole run, and
// while it is lent it is never replaced: a nested call with another frozenset builds a table of its
// own instead.
struct StopWordCache {
  PyRef key;
  text::StopWordSet words;
  int borrowers = 0;  // calls using `words` right now
};
StopWordCache* g_stop_word_cache = nullptr;  // never freed: lives as long as the module

// The stop-word table one call filters with: the cached one, lent for the call, or its own.
class StopWords final {
 public:
  StopWords() = default;
  StopWords(const StopWords&) = delete;
  StopWords& operator=(const StopWords&) = delete;
  ~StopWords() {
    if (lent_) --g_stop_word_cache->borrowers;
  }

  // Converts `obj` (or finds its table in the cache). False with an exception set on failure.
  bool take(PyObject* obj) {
    const bool cacheable = PyFrozenSet_CheckExact(obj);
    if (cacheable && g_stop_word_cache != nullptr && g_stop_word_cache->key.get() == obj) {
      borrow_cache();
      return true;
    }
    if (!arg("stop_words", to_stop_words(obj, own_))) return false;
    table_ = &own_;
    if (!cacheable) return true;
    if (g_stop_word_cache == nullptr) g_stop_word_cache = new StopWordCache();
    if (g_stop_word_cache->borrowers > 0) return true;  // an outer call filters with it
    PyRef previous = std::move(g_stop_word_cache->key);
    g_stop_word_cache->key = PyRef::borrow(obj);
    g_stop_word_cache->words = std::move(own_);
    borrow_cache();
    // `previous` goes last, once the cache is whole and lent: freeing the old frozenset may run
    // Python code (a str subclass's __del__) that calls tokenize.
    return true;
  }

  const text::StopWordSet& table() const { return *table_; }

 private:
  void borrow_cache() {
    ++g_stop_word_cache->borrowers;
    lent_ = true;
    table_ = &g_stop_word_cache->words;
  }

  text::StopWordSet own_;
  const text::StopWordSet* table_ = nullptr;
  bool lent_ = false;
};

// Token strings handed out recently, found by their bytes. Words repeat: a million tokens of
// text hold a few tens of thousands of distinct words, so most tokens are found here and handed
// out again as the same str object. That saves an allocation and a copy per token, and a caller's
// dictionary look-up then finds the string's hash already computed in the object (and, when its
// key is this very object, needs no comparison either). Strings are immutable, so sharing them
// cannot be observed except through their identity, which the language leaves unspecified for
// equal strings. Direct-mapped: a slot holds the last token that hashed to it, with one reference.
// Touched only with the interpreter lock held; never freed (lives as long as the module).
class TokenStrings final {
 public:
  // A new reference to a str holding `token`, or null with an exception set.
  PyObject* get(std::string_view token, bool ascii) {
    if (token.size() > kMaxBytes) return make_str(token, ascii);
    const Key key = key_of(token);
    Slot& slot = slots_[slot_of(key)];
    if (slot.str != nullptr && slot.key.words[0] == key.words[0] &&
        slot.key.words[1] == key.words[1] && slot.key.words[2] == key.words[2]) {
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

  // Up to 7 bytes as the low bytes of a word, the rest zero, with a few loads and no call: the
  // loads overlap when the bytes do not fill them, and overlapping bytes are equal, so or-ing the
  // loaded values puts every byte in its place.
  static uint64_t short_word(const char* p, std::size_t n) {
    if (n >= 4) {
      uint32_t lo;
      uint32_t hi;
      std::memcpy(&lo, p, 4);
      std::memcpy(&hi, p + n - 4, 4);
      return uint64_t{lo} | (uint64_t{hi} << (8 * (n - 4)));
    }
    if (n == 0) return 0;
    const auto byte = [&](std::size_t i) { return uint64_t{static_cast<unsigned char>(p[i])}; };
    return byte(0) | (byte(n / 2) << (8 * (n / 2))) | (byte(n - 1) << (8 * (n - 1)));
  }

  // REQUIRES: token.size() <= kMaxBytes.
  static Key key_of(std::string_view token) {
    static_assert(std::endian::native == std::endian::little);
    const char* p = token.data();
    const std::size_t n = token.size();
    Key key{};
    if (n < 8) {
      key.words[0] = short_word(p, n);
    } else {
      std::memcpy(&key.words[0], p, 8);
      if (n < 16) {
        key.words[1] = short_word(p + 8, n - 8);
      } else {
        std::memcpy(&key.words[1], p + 8, 8);
        key.words[2] = short_word(p + 16, n - 16);
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
};
TokenStrings* g_token_strings = nullptr;
constexpr std::size_t kKeptScratch = std::size_t{1} << 16;  // entries

PyObject* tokenize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[4];
  if (!bind_fastcall(kSig, args, nargs, kwnames, argv)) return nullptr;
  try {
    const char* data;
    Py_ssize_t size;
    StopWords stop_words;
    bool apply_stemming;
    uint64_t min_length;
    if (!arg("text", to_utf8_view(argv[0], &data, &size))) return nullptr;
    if (!stop_words.take(argv[1])) return nullptr;
    if (!arg("apply_stemming", to_bool(argv[2], &apply_stemming))) return nullptr;
    if (!arg("min_length", to_u64(argv[3], &min_length))) return nullptr;

    if (g_token_strings == nullptr) g_token_strings = new TokenStrings();
    TokenStrings& strings = *g_token_strings;
    // The strings are collected first and the list is made once at its final length, in a vector
    // kept between calls. No Python code runs meanwhile in this interpreter (a collection that an
    // allocation asks for waits for the interpreter's next check), but should a call ever come in
    // while the vector is in use, it collects into a vector of its own.
    std::vector<PyObject*> own;
    const bool borrowed = !strings.scratch_lent;
    std::vector<PyObject*>& made = borrowed ? strings.scratch : own;
    strings.scratch_lent = true;
    struct GiveBack {
      TokenStrings& strings;
      bool borrowed;
      ~GiveBack() {
        if (!borrowed) return;
        strings.scratch_lent = false;
        // Kept for the next call, unless a huge text made it huge.
        if (strings.scratch.capacity() > kKeptScratch) std::vector<PyObject*>().swap(strings.scratch);
      }
    } give_back{strings, borrowed};
    made.clear();
    struct DropOnFailure {
      std::vector<PyObject*>& made;
      ~DropOnFailure() {
        for (PyObject* s : made) Py_DECREF(s);
        made.clear();
      }
    } drop{made};
    const bool done = text::for_each_token(
        std::string_view(data, static_cast<std::size_t>(size)), stop_words.table(), apply_stemming,
        min_length, [&](std::string_view token, bool ascii) {
          PyObject* s = strings.get(token, ascii);
          if (s == nullptr) return false;
          made.push_back(s);
          return true;
        });
    if (!done) return nullptr;
    PyObject* result = PyList_New(static_cast<Py_ssize_t>(made.size()));
    if (result == nullptr) return nullptr;
    for (std::size_t i = 0; i < made.size(); ++i) {
      PyList_SET_ITEM(result, static_cast<Py_ssize_t>(i), made[i]);  // takes the reference
    }
    made.clear();
    return result;
  } catch (...) {
    return raise_current_exception();
  }
}

PyMethodDef kTokenizeDef = {
    "tokenize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tokenize)),
    METH_FASTCALL | METH_KEYWORDS, "tokenize(text, stop_words, apply_stemming, min_length)\n--\n\n"};

}  // namespace

PyMethodDef* tokenize_method_def() { return &kTokenizeDef; }

}  // namespace ombrel::lib
