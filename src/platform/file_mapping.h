// FileMapping: a shared, readable and writable view of a whole existing file.
//
// Stores into the view go to the file's pages, and every other view of the file (in this process or
// another) sees them at once. The view stays valid after the descriptor that made it is closed, so a
// FileMapping keeps no descriptor, only the view and the file's identity. A file of length 0 gets no
// view: data() is then a non-null placeholder that must never be dereferenced.
//
// While a FileMapping holds a view, its file is registered in LiveMappings (see live_mappings.h) so
// that nobody in this process truncates it.
//
// Thread-safety: the object itself is used by one thread at a time; the bytes behind data() are shared
// memory, and callers synchronise access to them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file_identity.h"
#include "platform/io_error.h"

namespace ombrel::platform {

class FileMapping final {
 public:
  // Maps nothing; data() is null.
  FileMapping() noexcept = default;

  // Opens the existing file `path` (UTF-8) for reading and writing (never creating or truncating it)
  // and maps all of it from offset 0. The descriptor is closed before returning, on every path.
  // Errors: NUL in the path (kInvalidInput), the open/fstat/mmap errno, or a length above 2^63 - 1
  // (kInvalidData, "memory map length overflows isize").
  static IoResult<FileMapping> open(const std::string& path);

  FileMapping(FileMapping&& other) noexcept { swap(other); }
  FileMapping& operator=(FileMapping&& other) noexcept {
    if (this != &other) {
      FileMapping dropped(std::move(other));
      swap(dropped);
    }
    return *this;
  }
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  // Unmaps the view (if any) and unregisters the file.
  ~FileMapping();

  // Byte 0 of the file. Page-aligned when a view exists; a page-aligned placeholder when size() == 0.
  std::byte* data() const noexcept { return data_; }
  // The file's length when it was mapped.
  uint64_t size() const noexcept { return size_; }
  const FileIdentity& identity() const noexcept { return identity_; }

  void swap(FileMapping& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(identity_, other.identity_);
  }

 private:
  FileMapping(std::byte* data, uint64_t size, FileIdentity identity) noexcept
      : data_(data), size_(size), identity_(identity) {}

  std::byte* data_ = nullptr;
  uint64_t size_ = 0;  // 0: no view exists, nothing to unmap or unregister
  FileIdentity identity_;
};

}  // namespace ombrel::platform
