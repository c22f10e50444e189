// WritableFile: a file opened for saving, written front to back, then closed.
//
// Opening creates a missing file but does not cut an existing one: the caller first learns which file
// it opened (identity()) and may decide not to touch it, then truncate()s, writes and close()s.
// Other openers keep the right to read, write, rename and delete the file meanwhile.
//
// Thread-safety: one WritableFile is used by one thread at a time.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "platform/file_identity.h"
#include "platform/io_error.h"

namespace ombrel::platform {

class WritableFile final {
 public:
  // Opens `path` (UTF-8) for writing only, creating it (mode 0666 less the umask) if missing, and
  // records its identity. A path containing NUL is refused before any system call.
  static IoResult<WritableFile> open_for_save(const std::string& path);

  WritableFile(WritableFile&& other) noexcept;
  WritableFile& operator=(WritableFile&& other) noexcept;
  WritableFile(const WritableFile&) = delete;
  WritableFile& operator=(const WritableFile&) = delete;
  // Closes the file if close() was not called; a close error is lost then.
  ~WritableFile();

  const FileIdentity& identity() const noexcept { return identity_; }

  // Cuts a regular file to length 0. Other kinds of file (character devices, pipes) have no length
  // to cut and are left alone, as opening them with O_TRUNC would. REQUIRES: not closed.
  std::optional<IoError> truncate();

  // Appends all of `bytes` at the current offset (short writes continued, EINTR retried).
  // REQUIRES: not closed.
  std::optional<IoError> write_all(std::span<const std::byte> bytes);

  // Closes the descriptor, whether or not the close reports an error; calling it again does nothing.
  std::optional<IoError> close();

 private:
  WritableFile(int fd, FileIdentity identity, bool regular) noexcept
      : fd_(fd), identity_(identity), regular_(regular) {}

  int fd_ = -1;
  FileIdentity identity_;
  bool regular_ = false;
};

}  // namespace ombrel::platform
