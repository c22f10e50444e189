// Batch arguments (predict_batch's batch_tokens, train_batch's batch) flattened into a TokenBatch.
//
// Each returns false with a Python exception set on failure, raw as for the other conversions
// (convert.h); the caller applies the argument-name rule.
#pragma once

#include <Python.h>

#include "ombrel/field.h"

namespace ombrel::lib {

// A sequence of token sequences, flattened.
bool to_predict_batch(PyObject* obj, TokenBatch& out);
// A sequence of (token sequence, correct id) tuples, flattened.
bool to_train_batch(PyObject* obj, TokenBatch& out);

}  // namespace ombrel::lib
