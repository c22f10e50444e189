// Every text of ombrel that must stay word for word.
//
// Why they are fixed: callers and existing programs match on them. Programs catch ombrel's exceptions
// and compare their messages, parse its binding errors, set its pool's environment variables and
// print its class's name. The conversion errors keep the wording of another runtime's bindings
// ("PyTuple", "`Vec`") rather than CPython's, and the pool's variables the names of that runtime's
// thread pool, because that is what those programs were written against. Changing a text here is a
// breaking change for them, even where a new wording would read better.
//
// The texts are made in three layers: the engine's faults here, the Python surface's conversion and
// binding errors in src/lib, and the pool's environment variables in the pool. This header sits in
// the engine, the lowest layer that both the engine and the surface may include. The pool depends on
// nothing of ours, so its two names are defined in pool/thread_count.h and only named again here.
#pragma once

#include "pool/thread_count.h"

namespace ombrel::fixed_text {

// --- Internal faults (reach Python as PanicException with the text as its message) ----------------

// A record whose synapse_count exceeds its eight slots.
inline constexpr char kSynapseIndexFault[] = "index out of bounds: the len is 8 but the index is 8";
// A field whose potentials array cannot be described (motor_count too large).
inline constexpr char kCapacityOverflowFault[] = "capacity overflow";
// A field whose record block cannot be described (sensory_count too large): the layout error.
inline constexpr char kLayoutFault[] =
    "Failed to create memory layout for ThreadBoundedNeuronField: LayoutError";
// A record block the system will not give.
inline constexpr char kAllocationFault[] = "Failed to allocate memory for ThreadBoundedNeuronField";
// Followed by the reason the process-wide worker pool could not be started.
inline constexpr char kPoolStartFaultPrefix[] = "The global thread pool has not been initialized.: ";

// --- The worker pool's environment variables (read once, when the pool is created) -----------------

inline constexpr const char* kNumThreadsVariable = pool::kNumThreadsVariable;  // "RAYON_NUM_THREADS"
inline constexpr const char* kNumCpusVariable = pool::kNumCpusVariable;        // "RAYON_RS_NUM_CPUS"

// --- The class as Python sees it -------------------------------------------------------------------

// The type is created from this dotted name, which sets __module__; its tp_name is then rewritten to
// the part after the dot, so that the class's own name carries no module prefix.
inline constexpr char kFieldTypeSpecName[] = "ombrel.OmbrelField";
inline constexpr char kFieldTypeName[] = "OmbrelField";
// The internal-fault exception type (derived from BaseException, not added to the module).
inline constexpr char kPanicExceptionName[] = "ombrel.PanicException";

// --- Argument binding (printf formats; <full name> is "OmbrelField.<method>()" or "tokenize()") ----

inline constexpr char kTooManyPositional[] = "%s takes %zu positional arguments but %zd %s given";
inline constexpr char kMissingArguments[] = "%s missing %zu required positional argument%s: %s";
inline constexpr char kUnexpectedKeyword[] = "%s got an unexpected keyword argument '%S'";
inline constexpr char kMultipleValues[] = "%s got multiple values for argument '%s'";

// --- Argument conversion ---------------------------------------------------------------------------

// A conversion TypeError becomes "argument '<parameter>': <its message>".
inline constexpr char kArgumentPrefix[] = "argument '%s': %S";
// '<qualified type name>' object cannot be converted to '<target>', with these targets:
inline constexpr char kCannotConvert[] = "'%U' object cannot be converted to '%s'";
inline constexpr char kSequenceTarget[] = "Sequence";
inline constexpr char kStringTarget[] = "PyString";
inline constexpr char kTupleTarget[] = "PyTuple";
inline constexpr char kSetTarget[] = "PySet";
inline constexpr char kBoolTarget[] = "PyBool";
inline constexpr const char* kFieldTarget = kFieldTypeName;
// A str given where a list of token ids is wanted.
inline constexpr char kStrIsNotAList[] = "Can't extract `str` to `Vec`";
// An int that does not fit the engine's integer type.
inline constexpr char kOutOfRange[] = "out of range integral type conversion attempted";
// A negative value in a signed integer buffer (the interpreter's own wording for the same int).
inline constexpr char kNegativeToUnsigned[] = "can't convert negative int to unsigned";
// A train_batch item that is a tuple of another length.
inline constexpr char kTupleLength[] = "expected tuple of length 2, but got tuple of length %zd";

// --- The borrow rule ---------------------------------------------------------------------------------

inline constexpr char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";
inline constexpr char kAlreadyBorrowed[] = "Already borrowed";

}  // namespace ombrel::fixed_text
