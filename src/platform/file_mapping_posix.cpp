#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <utility>

#include "platform/file_mapping.h"
#include "platform/live_mappings.h"
#include "platform/posix_io.h"

namespace ombrel::platform {
namespace {

// Stands in for the base of an empty file's view: non-null and aligned to any record size up to a
// page, like the base of a real view. Nothing is ever read or written through it.
std::byte* empty_view_placeholder() noexcept {
  static const long page = ::sysconf(_SC_PAGESIZE);
  return reinterpret_cast<std::byte*>(static_cast<uintptr_t>(page > 0 ? page : 4096));
}

}  // namespace

IoResult<FileMapping> FileMapping::open(const std::string& path) {
  if (auto refused = posix::check_path(path)) return std::move(*refused);

  const int raw = posix::retry_on_eintr([&] { return ::open(path.c_str(), O_RDWR | O_CLOEXEC); });
  if (raw < 0) return error_from_errno(errno);
  // The view outlives the descriptor; ScopedFd closes it whichever way this function returns.
  posix::ScopedFd fd(raw);

  // The length is read under the registry lock and the file registered before the lock is dropped, so
  // no save in this process can cut the file between our fstat and our registration.
  LiveMappings::Guard live = LiveMappings::lock();
  struct stat status;
  if (posix::retry_on_eintr([&] { return ::fstat(fd.get(), &status); }) != 0) {
    return error_from_errno(errno);
  }
  const FileIdentity identity = posix::identity_of(status);
  const auto length = static_cast<uint64_t>(status.st_size);
  if (status.st_size < 0 || length > uint64_t{std::numeric_limits<int64_t>::max()} ||
      length > uint64_t{std::numeric_limits<size_t>::max()}) {
    return own_error(IoErrorKind::kInvalidData, "memory map length overflows isize");
  }
  if (length == 0) return FileMapping(empty_view_placeholder(), 0, identity);

  live.add(identity);  // before mapping: if it throws (std::bad_alloc), no view is left behind
  void* view = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (view == MAP_FAILED) {
    const int saved = errno;
    live.remove(identity);
    return error_from_errno(saved);
  }
  return FileMapping(static_cast<std::byte*>(view), length, identity);
}

FileMapping::~FileMapping() {
  if (size_ == 0) return;
  ::munmap(data_, static_cast<size_t>(size_));
  // Unregister only after the view is gone: a save that sees the file as free may truncate it at once.
  LiveMappings::lock().remove(identity_);
}

}  // namespace ombrel::platform
