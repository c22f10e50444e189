// The module function `tokenize`.
#pragma once

#include <Python.h>

namespace ombrel::lib {

// The method definition of `tokenize`, bound to the module at initialisation.
PyMethodDef* tokenize_method_def();

}  // namespace ombrel::lib
