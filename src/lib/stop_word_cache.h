// The stop-word table of one `tokenize` call, and the process-wide cache of the last frozenset's table.
//
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
#pragma once

#include <Python.h>

#include "lib/text/stop_word_set.h"

namespace ombrel::lib {

// The stop-word table one call filters with: the cached one, lent for the call, or its own.
class StopWords final {
 public:
  StopWords() = default;
  StopWords(const StopWords&) = delete;
  StopWords& operator=(const StopWords&) = delete;
  ~StopWords();

  // Converts `obj` (or finds its table in the cache), applying the argument rule for `parameter` on
  // failure. False with an exception set on failure.
  bool take(PyObject* obj, const char* parameter);

  const text::StopWordSet& table() const { return *table_; }

 private:
  void borrow_cache();

  text::StopWordSet own_;
  const text::StopWordSet* table_ = nullptr;
  bool lent_ = false;
};

}  // namespace ombrel::lib
