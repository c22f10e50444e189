#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/posix_io.h"
#include "platform/writable_file.h"

namespace ombrel::platform {

IoResult<WritableFile> WritableFile::open_for_save(const std::string& path) {
  if (auto refused = posix::check_path(path)) return std::move(*refused);

  // No O_TRUNC: the caller decides after learning the file's identity whether it may be cut.
  const int raw =
      posix::retry_on_eintr([&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666); });
  if (raw < 0) return error_from_errno(errno);
  posix::ScopedFd fd(raw);

  struct stat status;
  if (posix::retry_on_eintr([&] { return ::fstat(fd.get(), &status); }) != 0) {
    return error_from_errno(errno);  // ScopedFd closes after errno has been read
  }
  return WritableFile(fd.release(), posix::identity_of(status), S_ISREG(status.st_mode));
}

WritableFile::WritableFile(WritableFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), identity_(other.identity_), regular_(other.regular_) {}

WritableFile& WritableFile::operator=(WritableFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    identity_ = other.identity_;
    regular_ = other.regular_;
  }
  return *this;
}

WritableFile::~WritableFile() {
  close();
}

std::optional<IoError> WritableFile::truncate() {
  if (!regular_) return std::nullopt;
  if (posix::retry_on_eintr([&] { return ::ftruncate(fd_, 0); }) != 0) {
    return error_from_errno(errno);
  }
  return std::nullopt;
}

std::optional<IoError> WritableFile::write_all(std::span<const std::byte> bytes) {
  return posix::write_all(fd_, bytes);
}

std::optional<IoError> WritableFile::close() {
  if (fd_ < 0) return std::nullopt;
  return posix::close_fd(std::exchange(fd_, -1));
}

}  // namespace ombrel::platform
