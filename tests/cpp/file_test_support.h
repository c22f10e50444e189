// Helpers for tests that touch real files: a private temporary directory, whole-file reads and writes,
// and counts of this process's open descriptors and mappings (to catch leaks).
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace ombrel::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it at the end of the test.
class TempDir final {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/ombrel-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline bool exists(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

// Number of open descriptors of this process.
inline int open_fd_count() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the descriptor opendir itself holds
}

// Number of this process's mappings whose line in /proc/self/maps contains `needle` (a file's path,
// or a directory's path for every file in it).
inline int mapping_count(const std::string& needle) {
  std::ifstream maps("/proc/self/maps");
  int count = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.find(needle) != std::string::npos) ++count;
  }
  return count;
}

// A file this process may not open for writing, or "" when there is none. For an ordinary user that
// is a 0444 file in `dir`. Root passes every mode check, but a read-only sysfs attribute still refuses
// write access with EACCES, whatever the capabilities.
inline std::string read_only_file(const TempDir& dir) {
  if (::geteuid() != 0) {
    const std::string path = dir.file("read-only.bin");
    write_bytes(path, std::vector<uint8_t>(256, 0));
    ::chmod(path.c_str(), 0444);
    return path;
  }
  for (const char* candidate : {"/sys/devices/system/cpu/online", "/sys/devices/system/cpu/possible"}) {
    if (::access(candidate, F_OK) == 0) return candidate;
  }
  return {};
}

}  // namespace ombrel::testing
