// Tests of the worker pool: sizing, the division of index ranges, stealing, sleeping, joining and
// the transport of exceptions to the waiting thread.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "pool/thread_count.h"
#include "pool/thread_pool.h"

namespace ombrel::pool {
namespace {

using Part = std::pair<std::uint64_t, std::uint64_t>;
using namespace std::chrono_literals;

// What a job throws in these tests: the pool carries any exception, so a type of the test's own.
class JobFault final : public std::exception {
 public:
  explicit JobFault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Every part a batch was cut into, in the order the parts started, with the thread that ran each.
class PartLog final {
 public:
  void add(std::uint64_t begin, std::uint64_t end) {
    std::lock_guard<std::mutex> lock(mutex_);
    parts_.emplace_back(begin, end);
    threads_.push_back(std::this_thread::get_id());
  }
  std::vector<Part> parts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return parts_;
  }
  std::set<std::thread::id> threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {threads_.begin(), threads_.end()};
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Part> parts_;
  std::vector<std::thread::id> threads_;
};

// The parts, sorted, must be non-empty and tile [0, n) without gaps or overlaps.
void expect_tiling(std::vector<Part> parts, std::uint64_t n) {
  std::sort(parts.begin(), parts.end());
  std::uint64_t next = 0;
  for (const auto& [begin, end] : parts) {
    EXPECT_EQ(begin, next) << "gap or overlap before part [" << begin << ", " << end << ")";
    EXPECT_LT(begin, end) << "empty part at " << begin;
    next = end;
  }
  EXPECT_EQ(next, n);
}

// Polls until `flag` is set; false after a generous timeout, so a broken pool fails instead of
// hanging.
bool wait_until_set(const std::atomic<bool>& flag) {
  for (auto waited = 0ms; waited < 10s; waited += 1ms) {
    if (flag.load(std::memory_order_acquire)) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

// Keeps one worker of a pool busy until released: it cannot steal meanwhile.
class BusyWorker final {
 public:
  explicit BusyWorker(ThreadPool& pool)
      : thread_([this, &pool] {
          pool.run_from_outside([this] {
            started_.store(true, std::memory_order_release);
            std::unique_lock<std::mutex> lock(mutex_);
            released_cv_.wait(lock, [this] { return released_; });
          });
        }) {
    EXPECT_TRUE(wait_until_set(started_));
  }
  ~BusyWorker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    released_cv_.notify_one();
    thread_.join();
  }

 private:
  std::atomic<bool> started_{false};
  std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;
  std::thread thread_;
};

double cpu_seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

TEST(ThreadCount, FollowsTheEnvironmentRule) {
  struct Case {
    const char* num_threads;
    const char* num_cpus;
    std::size_t logical;
    std::size_t expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, 4, 4},
      {"3", nullptr, 4, 3},
      {"3", "7", 4, 3},
      {"64", nullptr, 2, 64},
      {"007", nullptr, 4, 7},
      {"0", nullptr, 4, 4},
      {"0", "7", 4, 4},  // 0 means "the logical processors", not "unset"
      {"00", "7", 4, 4},
      {nullptr, "7", 4, 7},
      {"", "7", 4, 7},
      {"abc", "7", 4, 7},
      {"-1", "7", 4, 7},
      {"+3", "7", 4, 7},
      {" 3", "7", 4, 7},
      {"3 ", "7", 4, 7},
      {"3x", "7", 4, 7},
      {"1.5", nullptr, 4, 4},
      {"18446744073709551616", "7", 4, 7},  // one past the largest 64-bit value
      {"99999999999999999999999", nullptr, 4, 4},
      {nullptr, "0", 4, 4},
      {nullptr, "x", 4, 4},
      {nullptr, "18446744073709551616", 4, 4},
      {"bad", "bad", 6, 6},
      {nullptr, nullptr, 0, 1},  // an unknown processor count reads as 1
      {"0", nullptr, 0, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(thread_count_from_env(c.num_threads, c.num_cpus, c.logical), c.expected)
        << "RAYON_NUM_THREADS=" << (c.num_threads ? c.num_threads : "(unset)")
        << " RAYON_RS_NUM_CPUS=" << (c.num_cpus ? c.num_cpus : "(unset)") << " cpus=" << c.logical;
  }
  EXPECT_EQ(thread_count_from_env("18446744073709551615", nullptr, 4), 18446744073709551615ull);
}

TEST(ThreadCount, AvailableParallelismFollowsTheAffinityMask) {
  EXPECT_GE(available_parallelism(), 1u);
  // The mask read is the calling thread's; narrowing it on a thread of our own leaves others alone.
  std::size_t narrowed = 0;
  std::thread probe([&narrowed] {
    cpu_set_t one;
    CPU_ZERO(&one);
    cpu_set_t current;
    ASSERT_EQ(sched_getaffinity(0, sizeof(current), &current), 0);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &current)) {
        CPU_SET(cpu, &one);
        break;
      }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
    narrowed = available_parallelism();
  });
  probe.join();
  EXPECT_EQ(narrowed, 1u);
}

// With one worker nothing can be stolen, so the cuts follow the rule alone: the caller's cut gives
// two halves with budget 0, both migrated, so each is cut again with budget 1, and each of those
// once more. The single worker runs the parts left to right.
TEST(ForEachRange, OneWorkerCutsByTheRuleAndRunsInOrder) {
  ThreadPool pool(1);
  const std::vector<std::pair<std::uint64_t, std::vector<Part>>> cases = {
      {2, {{0, 1}, {1, 2}}},
      {3, {{0, 1}, {1, 2}, {2, 3}}},
      {5, {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}}},
      {100, {{0, 12}, {12, 25}, {25, 37}, {37, 50}, {50, 62}, {62, 75}, {75, 87}, {87, 100}}},
  };
  for (const auto& [n, expected] : cases) {
    PartLog log;
    for_each_range(pool, n, [&](std::uint64_t begin, std::uint64_t end) { log.add(begin, end); });
    EXPECT_EQ(log.parts(), expected) << "n=" << n;
  }
}

// With two workers and one of them busy, the other divides alone: the first two cuts leave four
// ranges of budget 2 (migrated halves get max(budget/2, 2)), each cut twice more: 16 parts.
TEST(ForEachRange, TwoWorkersWithoutStealingMakeSixteenParts) {
  ThreadPool pool(2);
  BusyWorker busy(pool);
  PartLog log;
  for_each_range(pool, 1000, [&](std::uint64_t begin, std::uint64_t end) { log.add(begin, end); });
  const std::vector<Part> expected = {
      {0, 62},    {62, 125},  {125, 187}, {187, 250}, {250, 312}, {312, 375}, {375, 437}, {437, 500},
      {500, 562}, {562, 625}, {625, 687}, {687, 750}, {750, 812}, {812, 875}, {875, 937}, {937, 1000},
  };
  EXPECT_EQ(log.parts(), expected);
  EXPECT_EQ(log.threads().size(), 1u);
}

TEST(ForEachRange, CoversEveryItemOnceAndNeverOnTheCaller) {
  ThreadPool pool(4);
  for (const std::uint64_t n : {2ull, 3ull, 7ull, 64ull, 1000ull, 100003ull}) {
    std::vector<std::atomic<int>> seen(n);
    PartLog log;
    for_each_range(pool, n, [&](std::uint64_t begin, std::uint64_t end) {
      log.add(begin, end);
      for (std::uint64_t i = begin; i < end; ++i) seen[i].fetch_add(1, std::memory_order_relaxed);
    });
    for (std::uint64_t i = 0; i < n; ++i) {
      ASSERT_EQ(seen[i].load(), 1) << "item " << i << " of " << n;
    }
    expect_tiling(log.parts(), n);
    EXPECT_EQ(log.threads().count(std::this_thread::get_id()), 0u) << "n=" << n;
  }
}

TEST(ForEachRange, BatchesBelowTwoRunDirectlyOnTheCaller) {
  ThreadPool pool(2);
  for (const std::uint64_t n : {0ull, 1ull}) {
    PartLog log;
    for_each_range(pool, n, [&](std::uint64_t begin, std::uint64_t end) { log.add(begin, end); });
    EXPECT_EQ(log.parts(), (std::vector<Part>{{0, n}}));
    EXPECT_EQ(log.threads(), std::set<std::thread::id>{std::this_thread::get_id()});
  }
}

TEST(ForEachRange, IdleWorkersStealFromABusyOne) {
  ThreadPool pool(4);
  PartLog log;
  std::vector<std::atomic<int>> seen(64);
  for_each_range(pool, 64, [&](std::uint64_t begin, std::uint64_t end) {
    log.add(begin, end);
    for (std::uint64_t i = begin; i < end; ++i) {
      std::this_thread::sleep_for(2ms);  // slow items: the others wake and take over queued halves
      seen[i].fetch_add(1, std::memory_order_relaxed);
    }
  });
  EXPECT_GE(log.threads().size(), 2u);
  expect_tiling(log.parts(), 64);
  for (const auto& count : seen) EXPECT_EQ(count.load(), 1);
}

TEST(ForEachRange, FaultEndsOnlyItsOwnPart) {
  ThreadPool pool(3);
  constexpr std::uint64_t kItems = 1000;
  constexpr std::uint64_t kBad = 437;
  std::vector<std::atomic<int>> seen(kItems);
  PartLog log;
  const auto body = [&](std::uint64_t begin, std::uint64_t end) {
    log.add(begin, end);
    for (std::uint64_t i = begin; i < end; ++i) {
      if (i == kBad) throw JobFault("bad item " + std::to_string(i));
      seen[i].fetch_add(1, std::memory_order_relaxed);
    }
  };
  try {
    for_each_range(pool, kItems, body);
    FAIL() << "the fault did not reach the caller";
  } catch (const JobFault& fault) {
    EXPECT_EQ(fault.message(), "bad item 437");
  }
  const std::vector<Part> parts = log.parts();
  expect_tiling(parts, kItems);
  const auto faulty = std::find_if(parts.begin(), parts.end(),
                                   [&](const Part& p) { return p.first <= kBad && kBad < p.second; });
  ASSERT_NE(faulty, parts.end());
  for (std::uint64_t i = 0; i < kItems; ++i) {
    const bool skipped = kBad <= i && i < faulty->second;
    EXPECT_EQ(seen[i].load(), skipped ? 0 : 1) << "item " << i;
  }

  // The pool is still whole afterwards.
  std::atomic<std::uint64_t> total{0};
  for_each_range(pool, kItems, [&](std::uint64_t begin, std::uint64_t end) {
    total.fetch_add(end - begin, std::memory_order_relaxed);
  });
  EXPECT_EQ(total.load(), kItems);
}

TEST(ForEachRange, NestedCallsFromInsideABody) {
  ThreadPool pool(3);
  constexpr std::uint64_t kOuter = 16;
  constexpr std::uint64_t kInner = 200;
  std::vector<std::atomic<int>> seen(kOuter * kInner);
  std::atomic<bool> inner_on_caller{false};
  const auto caller = std::this_thread::get_id();
  for_each_range(pool, kOuter, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t outer = begin; outer < end; ++outer) {
      for_each_range(pool, kInner, [&](std::uint64_t b, std::uint64_t e) {
        if (std::this_thread::get_id() == caller) inner_on_caller.store(true);
        for (std::uint64_t i = b; i < e; ++i) seen[outer * kInner + i].fetch_add(1);
      });
    }
  });
  for (const auto& count : seen) ASSERT_EQ(count.load(), 1);
  EXPECT_FALSE(inner_on_caller.load());
}

std::uint64_t parallel_fibonacci(ThreadPool& pool, unsigned n) {
  if (n < 2) return n;
  std::uint64_t left = 0;
  std::uint64_t right = 0;
  pool.join([&](bool) { left = parallel_fibonacci(pool, n - 1); },
            [&](bool) { right = parallel_fibonacci(pool, n - 2); });
  return left + right;
}

TEST(ThreadPool, DeeplyNestedJoins) {
  ThreadPool pool(3);
  EXPECT_EQ(parallel_fibonacci(pool, 20), 6765u);
}

TEST(ThreadPool, JoinTellsHalvesWhetherTheyMigrated) {
  {
    // From outside, both halves were divided on the caller and run on the worker. A join made on
    // that worker, with no other worker to steal, keeps both of its halves at home.
    ThreadPool pool(1);
    bool a = false, b = false, c = true, d = true;
    std::thread::id a_thread, b_thread;
    pool.join(
        [&](bool migrated) {
          a = migrated;
          a_thread = std::this_thread::get_id();
          pool.join([&](bool m) { c = m; }, [&](bool m) { d = m; });
        },
        [&](bool migrated) {
          b = migrated;
          b_thread = std::this_thread::get_id();
        });
    EXPECT_TRUE(a);
    EXPECT_TRUE(b);
    EXPECT_FALSE(c);
    EXPECT_FALSE(d);
    EXPECT_EQ(a_thread, b_thread);
    EXPECT_NE(a_thread, std::this_thread::get_id());
  }
  {
    // The left half waits until the right one has started, which only a thief can do.
    ThreadPool pool(2);
    std::atomic<bool> b_started{false};
    bool a = true, b = false, a_saw_b = false;
    std::thread::id a_thread, b_thread;
    pool.run_from_outside([&] {
      pool.join(
          [&](bool migrated) {
            a = migrated;
            a_thread = std::this_thread::get_id();
            a_saw_b = wait_until_set(b_started);
          },
          [&](bool migrated) {
            b = migrated;
            b_thread = std::this_thread::get_id();
            b_started.store(true, std::memory_order_release);
          });
    });
    EXPECT_TRUE(a_saw_b);
    EXPECT_FALSE(a);
    EXPECT_TRUE(b);
    EXPECT_NE(a_thread, b_thread);
  }
}

TEST(ThreadPool, JoinFinishesBothHalvesBeforeRethrowing) {
  ThreadPool pool(2);
  const auto run = [&](bool a_throws, bool b_throws, bool& a_done, bool& b_done) -> std::string {
    try {
      pool.join(
          [&](bool) {
            std::this_thread::sleep_for(1ms);
            a_done = true;
            if (a_throws) throw std::runtime_error("left");
          },
          [&](bool) {
            b_done = true;
            if (b_throws) throw std::logic_error("right");
          });
    } catch (const std::runtime_error& error) {
      return std::string("runtime_error ") + error.what();
    } catch (const std::logic_error& error) {
      return std::string("logic_error ") + error.what();
    }
    return "none";
  };
  const struct {
    bool a_throws, b_throws;
    const char* expected;
  } cases[] = {
      {false, false, "none"},
      {true, false, "runtime_error left"},
      {false, true, "logic_error right"},
      {true, true, "runtime_error left"},
  };
  for (const auto& c : cases) {
    bool a_done = false, b_done = false;
    EXPECT_EQ(run(c.a_throws, c.b_throws, a_done, b_done), c.expected);
    EXPECT_TRUE(a_done);
    EXPECT_TRUE(b_done);
  }

  // A stolen right half throws on the thief while the left half is still running here.
  std::atomic<bool> b_started{false};
  bool a_finished = false;
  EXPECT_THROW(pool.run_from_outside([&] {
    pool.join(
        [&](bool) {
          wait_until_set(b_started);
          std::this_thread::sleep_for(2ms);
          a_finished = true;
        },
        [&](bool) {
          b_started.store(true, std::memory_order_release);
          throw JobFault("stolen half failed");
        });
  }),
               JobFault);
  EXPECT_TRUE(a_finished);
}

TEST(ThreadPool, RunFromOutsideRunsOnAWorkerAndRethrows) {
  ThreadPool pool(2);
  EXPECT_FALSE(pool.on_worker_thread());
  std::thread::id ran_on;
  bool on_worker = false;
  bool nested_in_place = false;
  pool.run_from_outside([&] {
    ran_on = std::this_thread::get_id();
    on_worker = pool.on_worker_thread();
    // From a worker of the same pool the job runs in place instead of waiting on itself.
    pool.run_from_outside([&] { nested_in_place = std::this_thread::get_id() == ran_on; });
  });
  EXPECT_NE(ran_on, std::this_thread::get_id());
  EXPECT_TRUE(on_worker);
  EXPECT_TRUE(nested_in_place);

  try {
    pool.run_from_outside([] { throw JobFault("job failed"); });
    FAIL() << "no exception";
  } catch (const JobFault& fault) {
    EXPECT_EQ(fault.message(), "job failed");
  }
  // Another pool's worker is "outside" for this pool.
  ThreadPool other(1);
  bool other_on_worker = true;
  other.run_from_outside([&] { other_on_worker = pool.on_worker_thread(); });
  EXPECT_FALSE(other_on_worker);
}

// The pool knows nothing of its users' exception types: whatever a half or a job throws, a value of
// a class outside std::exception included, reaches the waiting thread as it was thrown.
TEST(ThreadPool, CarriesAnyExceptionToTheWaitingThread) {
  ThreadPool pool(2);
  try {
    pool.join([](bool) {}, [](bool) { throw 42; });
    FAIL() << "no exception";
  } catch (int value) {
    EXPECT_EQ(value, 42);
  }
  try {
    for_each_range(pool, 100, [](std::uint64_t begin, std::uint64_t end) {
      if (begin <= 77 && 77 < end) throw std::out_of_range("item 77");
    });
    FAIL() << "no exception";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ(error.what(), "item 77");
  }
}

TEST(ForEachRange, ConcurrentCallersEachGetTheirOwnOutcome) {
  ThreadPool pool(3);
  constexpr int kCallers = 4;
  constexpr int kRounds = 25;
  std::vector<std::string> problems(kCallers);
  std::vector<std::thread> callers;
  for (int caller = 0; caller < kCallers; ++caller) {
    callers.emplace_back([&, caller] {
      for (int round = 0; round < kRounds; ++round) {
        const std::uint64_t n = 2 + static_cast<std::uint64_t>(round * 37 + caller * 11) % 700;
        const bool fails = caller == 0 && round % 2 == 1;
        const std::string tag = std::to_string(caller) + "/" + std::to_string(round);
        std::vector<std::atomic<int>> seen(n);
        try {
          for_each_range(pool, n, [&](std::uint64_t begin, std::uint64_t end) {
            for (std::uint64_t i = begin; i < end; ++i) {
              if (fails && i == n / 2) throw JobFault(tag);
              seen[i].fetch_add(1, std::memory_order_relaxed);
            }
          });
          if (fails) problems[caller] += tag + ": no exception; ";
        } catch (const JobFault& fault) {
          if (!fails || fault.message() != tag) {
            problems[caller] += tag + ": got " + fault.message() + "; ";
          }
          continue;
        }
        for (std::uint64_t i = 0; i < n; ++i) {
          if (seen[i].load() != 1) {
            problems[caller] +=
                tag + ": item " + std::to_string(i) + " seen " + std::to_string(seen[i].load()) + " times; ";
            break;
          }
        }
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  for (int caller = 0; caller < kCallers; ++caller) EXPECT_EQ(problems[caller], "") << caller;
}

TEST(ThreadPool, WaitersSleepInsteadOfSpinning) {
  ThreadPool pool(4);
  std::atomic<std::uint64_t> total{0};
  for_each_range(pool, 10000, [&](std::uint64_t begin, std::uint64_t end) {
    total.fetch_add(end - begin, std::memory_order_relaxed);
  });
  ASSERT_EQ(total.load(), 10000u);

  // An idle pool: four spinning workers would burn about a second of CPU in 300 ms of wall time.
  const double process_before = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
  std::this_thread::sleep_for(300ms);
  EXPECT_LT(cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - process_before, 0.1);

  // A caller waiting for a long job sleeps on its condition variable.
  const double caller_before = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
  pool.run_from_outside([] { std::this_thread::sleep_for(300ms); });
  EXPECT_LT(cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - caller_before, 0.05);
}

TEST(ThreadPool, StartsAndStopsCleanly) {
  for (int round = 0; round < 20; ++round) {
    ThreadPool pool(3);
    std::atomic<std::uint64_t> total{0};
    for_each_range(pool, 100, [&](std::uint64_t begin, std::uint64_t end) {
      total.fetch_add(end - begin, std::memory_order_relaxed);
    });
    EXPECT_EQ(total.load(), 100u);
  }
  ThreadPool idle(2);  // never used
  ThreadPool at_least_one(0);
  EXPECT_EQ(at_least_one.num_threads(), 1u);
}

// A spawner that refuses the third thread, and counts the threads still alive.
std::atomic<int> g_spawned{0};
std::atomic<int> g_alive{0};

std::thread spawn_refusing_third(std::function<void()> body) {
  if (g_spawned.fetch_add(1) == 2) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
  return std::thread([body = std::move(body)] {
    g_alive.fetch_add(1);
    body();
    g_alive.fetch_sub(1);
  });
}

TEST(ThreadPool, FailedStartStopsTheThreadsAlreadyStarted) {
  g_spawned = 0;
  EXPECT_THROW(ThreadPool(4, &spawn_refusing_third), std::system_error);
  EXPECT_EQ(g_spawned.load(), 3);
  EXPECT_EQ(g_alive.load(), 0);
}

// Posted jobs run on the workers without anyone waiting for them, also when posted from several
// threads at once, and the jobs still queued when the pool is destroyed are run by the stopping
// workers (none is lost or leaked).
TEST(ThreadPool, PostedJobsRunOnWorkersAndNoneIsLostAtDestruction) {
  auto ran = std::make_shared<std::atomic<int>>(0);
  auto off_caller = std::make_shared<std::atomic<int>>(0);
  {
    ThreadPool pool(2);
    std::vector<std::thread> posters;
    for (int p = 0; p < 4; ++p) {
      posters.emplace_back([&pool, ran, off_caller] {
        const auto poster = std::this_thread::get_id();
        for (int i = 0; i < 250; ++i) {
          pool.post([ran, off_caller, poster]() noexcept {
            if (std::this_thread::get_id() != poster) off_caller->fetch_add(1);
            ran->fetch_add(1);
          });
        }
      });
    }
    for (std::thread& poster : posters) poster.join();
  }
  EXPECT_EQ(ran->load(), 1000);
  EXPECT_EQ(off_caller->load(), 1000);
}

// The only test that touches the process-wide pool: it must find it not yet created.
TEST(GlobalPool, ReportsAFailedStartThenCreatesOnePoolSizedFromTheEnvironment) {
  ASSERT_EQ(setenv("RAYON_NUM_THREADS", "3", 1), 0);
  ASSERT_EQ(setenv("RAYON_RS_NUM_CPUS", "5", 1), 0);
  g_spawned = 0;
  try {
    detail::global_pool(&spawn_refusing_third);
    FAIL() << "no exception";
  } catch (const PoolUnavailable& error) {
    EXPECT_EQ(std::string(error.what()),
              std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)).what());
  }
  EXPECT_EQ(g_alive.load(), 0);

  std::vector<ThreadPool*> seen(4, nullptr);
  std::vector<std::thread> callers;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    callers.emplace_back([&seen, i] { seen[i] = &global_pool(); });
  }
  for (std::thread& caller : callers) caller.join();
  ThreadPool& pool = global_pool();
  for (ThreadPool* p : seen) EXPECT_EQ(p, &pool);
  EXPECT_EQ(pool.num_threads(), 3u);

  std::atomic<std::uint64_t> total{0};
  for_each_range(pool, 1000, [&](std::uint64_t begin, std::uint64_t end) {
    total.fetch_add(end - begin, std::memory_order_relaxed);
  });
  EXPECT_EQ(total.load(), 1000u);
}

// fork() copies only the calling thread. A child must not inherit the parent's pool, whose workers do
// not exist there: its first use makes a pool of its own, which works. The child is killed by an alarm
// if it hangs, so a regression fails here instead of hanging the suite.
TEST(GlobalPool, AForkedChildMakesAPoolOfItsOwn) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a multi-threaded fork";
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a multi-threaded fork";
#endif
#endif
  ThreadPool& parent_pool = global_pool();
  std::atomic<std::uint64_t> warm{0};
  for_each_range(parent_pool, 64, [&](std::uint64_t b, std::uint64_t e) { warm.fetch_add(e - b); });
  ASSERT_EQ(warm.load(), 64u);

  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    alarm(30);
    ThreadPool& pool = global_pool();
    std::atomic<std::uint64_t> total{0};
    for_each_range(pool, 10000, [&](std::uint64_t begin, std::uint64_t end) {
      total.fetch_add(end - begin, std::memory_order_relaxed);
    });
    std::atomic<bool> posted{false};
    pool.post([&posted]() noexcept { posted.store(true); });
    while (!posted.load()) std::this_thread::yield();
    _exit(&pool != &parent_pool && total.load() == 10000 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child hung or crashed (signal " << WTERMSIG(status) << ")";
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // The parent's pool is untouched by the fork.
  EXPECT_EQ(&global_pool(), &parent_pool);
  std::atomic<std::uint64_t> total{0};
  for_each_range(parent_pool, 1000, [&](std::uint64_t b, std::uint64_t e) { total.fetch_add(e - b); });
  EXPECT_EQ(total.load(), 1000u);
}

}  // namespace
}  // namespace ombrel::pool
