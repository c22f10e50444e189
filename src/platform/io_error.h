// I/O errors as values: a kind, the OS code (0 for errors of our own) and the message that Python will see.
//
// The module layer maps `kind` to a Python exception class; nothing below it knows about Python.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace ombrel::platform {

enum class IoErrorKind {
  kNotFound,
  kPermissionDenied,
  kAlreadyExists,
  kWouldBlock,
  kTimedOut,
  kInterrupted,
  kBrokenPipe,
  kConnectionRefused,
  kConnectionReset,
  kConnectionAborted,
  kInvalidInput,
  kInvalidData,
  kWriteZero,
  kOther,
};

struct IoError {
  IoErrorKind kind = IoErrorKind::kOther;
  int os_code = 0;      // errno value, or 0 when the error is the operation's own
  std::string message;  // the complete text given to the Python exception
};

// Sorts an errno value into a kind (ENOENT -> not found, EACCES/EPERM -> permission denied, ...).
IoErrorKind kind_from_errno(int code);

// The error for an errno value: the system's message, then " (os error N)".
// This is the only place where an OS error code becomes an IoError; callers save errno into a local
// before any cleanup call that could overwrite it.
IoError error_from_errno(int code);

// An error of the operation's own (no OS code), e.g. {kWriteZero, "failed to write whole buffer"}.
inline IoError own_error(IoErrorKind kind, std::string message) {
  return IoError{kind, 0, std::move(message)};
}

// Either a value or the IoError that prevented it. (std::expected is C++23.)
template <class T>
class IoResult final {
 public:
  IoResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}        // NOLINT: implicit
  IoResult(IoError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit

  bool ok() const noexcept { return state_.index() == 0; }
  // REQUIRES: ok().
  T& value() noexcept { return *std::get_if<0>(&state_); }
  // REQUIRES: !ok().
  IoError& error() noexcept { return *std::get_if<1>(&state_); }

 private:
  std::variant<T, IoError> state_;
};

}  // namespace ombrel::platform
