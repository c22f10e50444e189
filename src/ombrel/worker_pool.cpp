#include "ombrel/worker_pool.h"

#include <string>

#include "ombrel/fault.h"

namespace ombrel {

pool::ThreadPool& worker_pool() { return detail::worker_pool(&pool::ThreadPool::spawn_std_thread); }

pool::ThreadPool& detail::worker_pool(pool::ThreadPool::SpawnThread spawn) {
  try {
    return pool::detail::global_pool(spawn);
  } catch (const pool::PoolUnavailable& error) {
    throw InternalFault(std::string("The global thread pool has not been initialized.: ") +
                        error.what());
  }
}

}  // namespace ombrel
