// InternalFault: a broken invariant or an impossible resource request inside the engine.
//
// Engine code throws it; it unwinds through the worker pool to the calling thread and is turned into
// the module's PanicException at the Python boundary, never earlier.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace ombrel {

class InternalFault final : public std::exception {
 public:
  explicit InternalFault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

}  // namespace ombrel
