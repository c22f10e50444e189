// How many workers the process-wide pool gets.
//
// The size is decided once, when the pool is created, from two environment variables and the number
// of logical processors this process may run on. The rule is a pure function so that it can be
// tested without touching the environment.
#pragma once

#include <cstddef>

namespace ombrel::pool {

// The environment variables that size the pool. Their names are fixed: programs set them to size it
// (ombrel/fixed_texts.h lists every such text; the pool depends on nothing of ours, so it keeps them).
inline constexpr char kNumThreadsVariable[] = "RAYON_NUM_THREADS";
inline constexpr char kNumCpusVariable[] = "RAYON_RS_NUM_CPUS";

// The pool size for the given values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (nullptr when
// unset):
//   - RAYON_NUM_THREADS if it holds an unsigned decimal integer greater than 0;
//   - logical_cpus if RAYON_NUM_THREADS holds 0 (RAYON_RS_NUM_CPUS is then not consulted);
//   - otherwise (unset, or not such a number) RAYON_RS_NUM_CPUS if it holds one greater than 0;
//   - otherwise logical_cpus.
// "Unsigned decimal integer" is strict: one or more ASCII digits and nothing else (no sign, no
// surrounding blanks), with a value that fits in std::size_t. A logical_cpus of 0 means the count
// is unknown and is read as 1, so the result is never 0.
std::size_t thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::size_t logical_cpus);

// The number of logical processors this process may run on: the size of its CPU affinity mask,
// falling back to std::thread::hardware_concurrency(), then to 1. Never 0.
std::size_t available_parallelism();

}  // namespace ombrel::pool
