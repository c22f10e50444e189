// available_parallelism() for POSIX systems with CPU affinity masks (Linux, glibc).
//
// Another operating system gets its own file beside this one.
#include <sched.h>

#include <cerrno>
#include <cstddef>
#include <thread>

#include "pool/thread_count.h"

namespace ombrel::pool {
namespace {

// The number of CPUs in this process's affinity mask, or 0 if it cannot be read. The mask is grown
// until the kernel accepts its size (EINVAL means "too small" on machines with very many CPUs).
std::size_t affinity_cpu_count() {
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return 0;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    const bool ok = sched_getaffinity(0, size, set) == 0;
    const int saved_errno = errno;
    const int count = ok ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (ok) return static_cast<std::size_t>(count);
    if (saved_errno != EINVAL) return 0;  // only a too-small mask is worth another try
  }
  return 0;
}

}  // namespace

std::size_t available_parallelism() {
  if (const std::size_t count = affinity_cpu_count(); count > 0) return count;
  if (const unsigned count = std::thread::hardware_concurrency(); count > 0) return count;
  return 1;
}

}  // namespace ombrel::pool
