// Python glue of `tokenize`: converts the arguments, runs the tokenizer core with the interpreter
// lock held (the work is short and builds Python strings as it goes) and returns the list.
#include "lib/tokenize_function.h"

#include <array>
#include <string_view>
#include <vector>

#include "lib/binder.h"
#include "lib/convert.h"
#include "lib/errors.h"
#include "lib/py_ref.h"
#include "lib/stop_word_cache.h"
#include "lib/surface_texts.h"
#include "lib/text/tokenizer.h"
#include "lib/token_strings.h"

namespace ombrel::lib {
namespace {

// The function's declaration: its name and parameters; no docstring (its __doc__ is None).
struct Tokenize {
  static constexpr const char* kName = "tokenize";
  static constexpr std::array kParams{"text", "stop_words", "apply_stemming", "min_length"};
  static constexpr const char* kDoc = "";
};
using Texts = FunctionTexts<Tokenize>;

bool arg(const char* name, bool converted) {
  if (!converted) prefix_argument_error(name);
  return converted;
}

PyObject* tokenize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[Tokenize::kParams.size()];
  if (!bind_fastcall(Texts::kSignature, args, nargs, kwnames, argv)) return nullptr;
  try {
    const char* data;
    Py_ssize_t size;
    StopWords stop_words;
    bool apply_stemming;
    uint64_t min_length;
    const auto& names = Tokenize::kParams;
    if (!arg(names[0], to_utf8_view(argv[0], &data, &size))) return nullptr;
    if (!stop_words.take(argv[1], names[1])) return nullptr;
    if (!arg(names[2], to_bool(argv[2], &apply_stemming))) return nullptr;
    if (!arg(names[3], to_u64(argv[3], &min_length))) return nullptr;

    TokenStrings& strings = token_strings();
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
        if (strings.scratch.capacity() > TokenStrings::kKeptScratch)
          std::vector<PyObject*>().swap(strings.scratch);
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
    const bool done =
        text::for_each_token(std::string_view(data, static_cast<std::size_t>(size)), stop_words.table(),
                             apply_stemming, min_length, [&](std::string_view token, bool ascii) {
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

PyMethodDef kTokenizeDef = {Tokenize::kName,
                            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tokenize)),
                            METH_FASTCALL | METH_KEYWORDS, Texts::kDocSlot.data()};

}  // namespace

PyMethodDef* tokenize_method_def() {
  return &kTokenizeDef;
}

}  // namespace ombrel::lib
