#include "lib/stop_word_cache.h"

#include <cstddef>
#include <string_view>
#include <utility>

#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/py_ref.h"
#include "ombrel/fixed_texts.h"

namespace ombrel::lib {
namespace {

struct StopWordCache {
  PyRef key;
  text::StopWordSet words;
  int borrowers = 0;  // calls using `words` right now
};
StopWordCache* g_stop_word_cache = nullptr;  // never freed: lives as long as the module

bool to_stop_words(PyObject* obj, text::StopWordSet& out) {
  if (!PyAnySet_Check(obj)) {
    raise_cannot_convert(obj, fixed_text::kSetTarget);
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

}  // namespace

StopWords::~StopWords() {
  if (lent_) --g_stop_word_cache->borrowers;
}

bool StopWords::take(PyObject* obj, const char* parameter) {
  const bool cacheable = PyFrozenSet_CheckExact(obj);
  if (cacheable && g_stop_word_cache != nullptr && g_stop_word_cache->key.get() == obj) {
    borrow_cache();
    return true;
  }
  if (!to_stop_words(obj, own_)) {
    prefix_argument_error(parameter);
    return false;
  }
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

void StopWords::borrow_cache() {
  ++g_stop_word_cache->borrowers;
  lent_ = true;
  table_ = &g_stop_word_cache->words;
}

}  // namespace ombrel::lib
