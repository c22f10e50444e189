// The OmbrelField type.
#pragma once

#include <Python.h>

namespace ombrel::lib {

// The type object, created on first call and kept for the life of the process. Null with an
// exception set if it cannot be created.
PyObject* field_type();

}  // namespace ombrel::lib
