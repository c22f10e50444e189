// LiveMappings: the process-wide set of files that have a FileMapping view right now.
//
// Truncating a file that is mapped would cut the pages away under the view (and a later access would
// raise SIGBUS). Every FileMapping with a view registers its file's identity here for as long as the
// view exists, and a writer that is about to truncate checks the set first, holding the registry's lock
// across both the check and the truncation. FileMapping reads a file's length under the same lock, so
// a file cannot be truncated between the moment a mapping learns its length and its registration.
//
// The set covers this process only; another process that maps a file is not seen here.
//
// Thread-safety: all access goes through a Guard, which holds one process-wide mutex. Keep a Guard for
// the few system calls that must be atomic with the check; never call back into a FileMapping with one
// held (FileMapping takes the lock itself).
#pragma once

#include <mutex>

#include "platform/file_identity.h"

namespace ombrel::platform {

class FileMapping;

class LiveMappings final {
 public:
  class Guard final {
   public:
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard(Guard&&) noexcept = default;
    Guard& operator=(Guard&&) = delete;

    // True while at least one FileMapping holds a view of the file `id`.
    bool contains(const FileIdentity& id) const;

   private:
    friend class LiveMappings;
    friend class FileMapping;
    explicit Guard(std::unique_lock<std::mutex> lock) : lock_(std::move(lock)) {}

    // Counts one more / one fewer view of `id`. Only FileMapping calls these.
    void add(const FileIdentity& id);
    void remove(const FileIdentity& id) noexcept;

    std::unique_lock<std::mutex> lock_;
  };

  LiveMappings() = delete;

  // Takes the registry's lock; it is released when the Guard goes away.
  static Guard lock();
};

}  // namespace ombrel::platform
