// The process-wide worker pool as the engine and the module use it.
//
// The pool layer reports a pool that cannot be started as pool::PoolUnavailable; for the engine that
// is an internal fault like any other, and it reaches Python as PanicException with the message
// "The global thread pool has not been initialized.: <reason>".
#pragma once

#include "pool/thread_pool.h"

namespace ombrel {

// pool::global_pool(), created on the first call. Throws InternalFault (message above) when the pool
// cannot be started; a later call tries again.
pool::ThreadPool& worker_pool();

namespace detail {
// worker_pool() with the pool's thread-starting seam exposed, for tests.
pool::ThreadPool& worker_pool(pool::ThreadPool::SpawnThread spawn);
}  // namespace detail

}  // namespace ombrel
