#include "ombrel/worker_pool.h"

#include <string>

#include "ombrel/fault.h"
#include "ombrel/fixed_texts.h"

namespace ombrel {

pool::ThreadPool& worker_pool() {
  return detail::worker_pool(&pool::ThreadPool::spawn_std_thread);
}

pool::ThreadPool& detail::worker_pool(pool::ThreadPool::SpawnThread spawn) {
  try {
    return pool::detail::global_pool(spawn);
  } catch (const pool::PoolUnavailable& error) {
    throw InternalFault(std::string(fixed_text::kPoolStartFaultPrefix) + error.what());
  }
}

}  // namespace ombrel
