// The engine's view of the process-wide pool: a pool that cannot be started is an internal fault with
// the message callers know. A program of its own, because the pool is created once per process and
// this test must see it not yet created.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "ombrel/fault.h"
#include "ombrel/worker_pool.h"

namespace ombrel {
namespace {

std::atomic<int> g_spawned{0};

std::thread spawn_refusing_third(std::function<void()> body) {
  if (g_spawned.fetch_add(1) == 2) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  return std::thread(std::move(body));
}

TEST(WorkerPool, AFailedStartIsAnInternalFaultThenALaterCallCreatesThePool) {
  ASSERT_EQ(setenv("RAYON_NUM_THREADS", "3", 1), 0);
  try {
    detail::worker_pool(&spawn_refusing_third);
    FAIL() << "no exception";
  } catch (const InternalFault& fault) {
    EXPECT_EQ(fault.message(),
              std::string("The global thread pool has not been initialized.: ") +
                  std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)).what());
  }
  pool::ThreadPool& workers = worker_pool();
  EXPECT_EQ(&workers, &pool::global_pool());
  EXPECT_EQ(workers.num_threads(), 3u);
  std::atomic<std::uint64_t> total{0};
  pool::for_each_range(workers, 1000, [&](std::uint64_t begin, std::uint64_t end) {
    total.fetch_add(end - begin, std::memory_order_relaxed);
  });
  EXPECT_EQ(total.load(), 1000u);
}

}  // namespace
}  // namespace ombrel
