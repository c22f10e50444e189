// Module initialisation (single-phase).
//
// The module supports one interpreter per process: the first interpreter to initialise it is
// recorded, and any other is refused, because the type object and the module object are
// process-wide. Initialising again in the recording interpreter returns the module made the first
// time.
//
// The definition's m_size is 0, not -1. With -1 the interpreter keeps a copy of the module's
// dictionary after the first import and, on every later import in this process (after the module
// was removed from sys.modules, or in a subinterpreter), builds a new module from that copy without
// calling PyInit_ombrel: the same-module rule and the subinterpreter refusal would both be skipped,
// and a subinterpreter would share this interpreter's type objects. With 0 it calls PyInit_ombrel
// each time.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "lib/errors.h"
#include "lib/field_type.h"
#include "lib/py_ref.h"
#include "lib/tokenize_function.h"

namespace ombrel::lib {
namespace {

std::atomic<int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // one reference, kept for the life of the process

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "ombrel",
    "",       // an empty docstring
    0,        // no per-module state; every import runs PyInit_ombrel (see above)
    nullptr,  // no method table of its own: tokenize is added below
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Sets module.<name> and appends the name to __all__ (made on the first addition).
bool add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
  if (all == nullptr) {
    PyRef fresh = PyRef::steal(PyList_New(0));
    if (!fresh || PyModule_AddObjectRef(module, "__all__", fresh.get()) < 0) return false;
    all = fresh.get();  // the module keeps it alive
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all, text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* init_module() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1 && PyErr_Occurred()) return nullptr;
  int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id, std::memory_order_acq_rel) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "ombrel does not support subinterpreters: it can only be imported into the "
                    "interpreter that imported it first");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  PyRef module = PyRef::steal(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  PyObject* type = field_type();
  if (type == nullptr || !add_public(module.get(), "OmbrelField", type)) return nullptr;
  PyRef module_name = PyRef::steal(PyUnicode_FromString("ombrel"));
  if (!module_name) return nullptr;
  PyRef tokenize = PyRef::steal(PyCFunction_NewEx(tokenize_method_def(), module.get(), module_name.get()));
  if (!tokenize || !add_public(module.get(), "tokenize", tokenize.get())) return nullptr;

  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace ombrel::lib

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_ombrel() {
  try {
    return ombrel::lib::init_module();
  } catch (...) {
    return ombrel::lib::raise_current_exception();
  }
}
