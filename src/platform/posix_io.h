// POSIX helpers shared by the file and mapping implementations. Internal to the platform layer (and its
// tests); nothing outside src/platform includes this header.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "platform/file_identity.h"
#include "platform/io_error.h"

namespace ombrel::platform::posix {

// Refuses a path with an embedded NUL byte, which the C string API would silently cut short. Called
// before any system call sees the path.
std::optional<IoError> check_path(const std::string& path);

// Repeats `call` while it fails with EINTR. `call` returns -1 and sets errno on failure.
template <class Call>
auto retry_on_eintr(Call&& call) {
  for (;;) {
    const auto result = call();
    if (!(result == -1 && errno == EINTR)) return result;
  }
}

inline FileIdentity identity_of(const struct stat& status) {
  return FileIdentity{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
}

// The write(2) signature; a seam so tests can drive short writes, EINTR and zero-byte writes.
using WriteCall = ssize_t (*)(int fd, const void* buffer, size_t count);

// Writes all of `bytes` to `fd`: a short write is continued with the rest, EINTR is retried, a write
// that moves 0 bytes while bytes remain ends with {kWriteZero, "failed to write whole buffer"}, and any
// other failure is returned through error_from_errno. On error an unknown prefix has been written.
std::optional<IoError> write_all(int fd, std::span<const std::byte> bytes, WriteCall write_call = &::write);

// Closes `fd` and reports a failure. EINTR is not retried and not reported: Linux has released the
// descriptor by then, and a retry could close a descriptor another thread has just been given.
std::optional<IoError> close_fd(int fd);

// Owns a descriptor on the paths that give up early; close errors there are ignored because an earlier
// error is already being reported.
class ScopedFd final {
 public:
  explicit ScopedFd(int fd) noexcept : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }

  int get() const noexcept { return fd_; }
  // Hands the descriptor over; the ScopedFd no longer closes it.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace ombrel::platform::posix
