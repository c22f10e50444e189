#include "platform/io_error.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace ombrel::platform {
namespace {

// strerror() may share a static buffer between threads; strerror_r comes in two flavours (GNU returns
// the text, XSI returns a status and fills the buffer). Overloads pick whichever the C library offers.
[[maybe_unused]] const char* strerror_text(char* returned, const char* /*buffer*/) {
  return returned;
}
[[maybe_unused]] const char* strerror_text(int status, const char* buffer) {
  return status == 0 ? buffer : "Unknown error";
}

}  // namespace

IoErrorKind kind_from_errno(int code) {
  switch (code) {
    case ENOENT: return IoErrorKind::kNotFound;
    case EACCES:
    case EPERM: return IoErrorKind::kPermissionDenied;
    case EEXIST: return IoErrorKind::kAlreadyExists;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return IoErrorKind::kWouldBlock;
    case ETIMEDOUT: return IoErrorKind::kTimedOut;
    case EINTR: return IoErrorKind::kInterrupted;
    case EPIPE: return IoErrorKind::kBrokenPipe;
    case ECONNREFUSED: return IoErrorKind::kConnectionRefused;
    case ECONNRESET: return IoErrorKind::kConnectionReset;
    case ECONNABORTED: return IoErrorKind::kConnectionAborted;
    default:
      // EISDIR, ENOSPC, EROFS, ... stay plain OSError, whatever subclass Python itself would pick.
      return IoErrorKind::kOther;
  }
}

IoError error_from_errno(int code) {
  char buffer[256];
  buffer[0] = '\0';
  const char* text = strerror_text(strerror_r(code, buffer, sizeof buffer), buffer);
  std::string message(text);
  message += " (os error ";
  message += std::to_string(code);
  message += ')';
  return IoError{kind_from_errno(code), code, std::move(message)};
}

}  // namespace ombrel::platform
