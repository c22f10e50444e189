#include "platform/posix_io.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace ombrel::platform::posix {

std::optional<IoError> check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return own_error(IoErrorKind::kInvalidInput, "file name contained an unexpected NUL byte");
  }
  return std::nullopt;
}

std::optional<IoError> write_all(int fd, std::span<const std::byte> bytes, WriteCall write_call) {
  // write(2) leaves counts above SSIZE_MAX to the implementation; stay below.
  constexpr size_t kMaxPerCall = static_cast<size_t>(std::numeric_limits<ssize_t>::max());
  while (!bytes.empty()) {
    const size_t count = std::min(bytes.size(), kMaxPerCall);
    const ssize_t written = write_call(fd, bytes.data(), count);
    if (written < 0) {
      const int saved = errno;
      if (saved == EINTR) continue;
      return error_from_errno(saved);
    }
    if (written == 0) return own_error(IoErrorKind::kWriteZero, "failed to write whole buffer");
    bytes = bytes.subspan(static_cast<size_t>(written));
  }
  return std::nullopt;
}

std::optional<IoError> close_fd(int fd) {
  if (::close(fd) == 0) return std::nullopt;
  const int saved = errno;
  if (saved == EINTR) return std::nullopt;
  return error_from_errno(saved);
}

}  // namespace ombrel::platform::posix
