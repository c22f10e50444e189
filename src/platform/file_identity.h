// FileIdentity: which file an open descriptor refers to, independent of the path used to reach it.
#pragma once

#include <compare>
#include <cstdint>

namespace ombrel::platform {

// Two paths name the same file (hard links, symlinks, "a/../b") exactly when their identities are
// equal.
// An identity is only meaningful while something keeps the file alive: once the last link and the last
// open descriptor or mapping are gone, the file system may hand the inode number to a new file.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;

  friend auto operator<=>(const FileIdentity&, const FileIdentity&) = default;
};

}  // namespace ombrel::platform
