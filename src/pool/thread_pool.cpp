#include "pool/thread_pool.h"

#include <pthread.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "pool/thread_count.h"

namespace ombrel::pool {

struct ThreadPool::Worker {
  Worker(ThreadPool& owner, std::size_t position) : pool(&owner), index(position) {}

  ThreadPool* const pool;
  const std::size_t index;
  JobQueue deque;  // back: this worker; front: thieves
};

thread_local ThreadPool::Worker* ThreadPool::this_thread_worker_ = nullptr;

std::thread ThreadPool::spawn_std_thread(std::function<void()> body) {
  return std::thread(std::move(body));
}

ThreadPool::ThreadPool(std::size_t num_threads, SpawnThread spawn) {
  const std::size_t count = num_threads == 0 ? 1 : num_threads;
  workers_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) workers_.push_back(std::make_unique<Worker>(*this, i));
  threads_.reserve(count);
  try {
    for (const auto& worker : workers_) {
      Worker* const self = worker.get();
      threads_.push_back(spawn([this, self] { worker_main(*self); }));
    }
  } catch (...) {
    // The destructor will not run for a half-built pool; the threads already started must not
    // outlive it.
    stop_and_join();
    throw;
  }
}

ThreadPool::~ThreadPool() {
  stop_and_join();
}

ThreadPool::Worker* ThreadPool::current_worker() const noexcept {
  Worker* const worker = this_thread_worker_;
  return worker != nullptr && worker->pool == this ? worker : nullptr;
}

void ThreadPool::push_local(Worker& self, JobRef job) {
  self.deque.push_back(job);
  // Any woken worker can steal the job, so one is enough.
  sleep_.notify_one();
}

bool ThreadPool::take_back(Worker& self, JobRef job) noexcept {
  return self.deque.pop_back_if(job);
}

void ThreadPool::help_until(Worker& self, const std::atomic<bool>& done) noexcept {
  // Acquire: the stolen half's effects and exception are visible once `done` reads true.
  while (!done.load(std::memory_order_acquire)) {
    const std::uint64_t ticket = sleep_.ticket();
    if (done.load(std::memory_order_acquire)) break;
    if (const std::optional<JobRef> job = steal(self)) {
      job->execute(/*migrated=*/true);
      // Its owner may be asleep in this same loop, waiting for exactly this job.
      sleep_.notify_all();
      continue;
    }
    if (sleep_.spin_while_unchanged(ticket)) continue;
    sleep_.wait(ticket);
  }
}

void ThreadPool::inject(JobRef job) {
  injector_.push_back(job);
  // Joining workers ignore the injector, so notify_one might wake one of them and no idle worker.
  sleep_.notify_all();
}

std::optional<JobRef> ThreadPool::steal(const Worker& thief) noexcept {
  const std::size_t count = workers_.size();
  for (std::size_t step = 1; step < count; ++step) {
    Worker& victim = *workers_[(thief.index + step) % count];
    if (std::optional<JobRef> job = victim.deque.pop_front()) return job;
  }
  return std::nullopt;
}

void ThreadPool::worker_main(Worker& self) noexcept {
  this_thread_worker_ = &self;
  for (;;) {
    const std::uint64_t ticket = sleep_.ticket();
    // Halves of work already under way come first: they finish batches that callers wait for.
    if (const std::optional<JobRef> job = steal(self)) {
      job->execute(/*migrated=*/true);
      sleep_.notify_all();  // the owner of the half may be asleep waiting for it
      continue;
    }
    if (const std::optional<JobRef> job = injector_.pop_front()) {
      job->execute(/*migrated=*/true);  // injected jobs wake their caller themselves
      continue;
    }
    // Acquire pairs with the release in stop_and_join; stopping is only ever asked of an idle pool.
    if (stopping_.load(std::memory_order_acquire)) break;
    if (sleep_.spin_while_unchanged(ticket)) continue;
    sleep_.wait(ticket);
  }
  this_thread_worker_ = nullptr;
}

void ThreadPool::stop_and_join() noexcept {
  stopping_.store(true, std::memory_order_release);
  sleep_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

namespace {

// The process-wide pool. Written once, under g_global_pool_creation; read without the mutex on the
// fast path (acquire, pairing with the release store that publishes the constructed pool).
constinit std::atomic<ThreadPool*> g_global_pool{nullptr};
constinit std::mutex g_global_pool_creation;

// fork() copies only the calling thread: in the child the pool's workers are gone, and a job queued
// there would wait forever. The child therefore forgets the parent's pool (its object is left behind,
// never touched again: its queues and sleep mutex may have been held by workers at the moment of the
// fork) and makes its own on first use. The creation mutex is held across the fork, so that no other
// thread can be half-way through creating a pool then.
void before_fork() noexcept {
  g_global_pool_creation.lock();
}
void after_fork_in_parent() noexcept {
  g_global_pool_creation.unlock();
}
void after_fork_in_child() noexcept {
  g_global_pool.store(nullptr, std::memory_order_relaxed);
  g_global_pool_creation.unlock();
}
[[maybe_unused]] const int g_fork_handlers =
    pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);

}  // namespace

ThreadPool& global_pool() {
  return detail::global_pool(&ThreadPool::spawn_std_thread);
}

ThreadPool& detail::global_pool(ThreadPool::SpawnThread spawn) {
  if (ThreadPool* const pool = g_global_pool.load(std::memory_order_acquire)) return *pool;
  std::lock_guard<std::mutex> lock(g_global_pool_creation);
  // Relaxed: only ever stored under this mutex.
  if (ThreadPool* const pool = g_global_pool.load(std::memory_order_relaxed)) return *pool;
  const std::size_t size = thread_count_from_env(std::getenv(kNumThreadsVariable),
                                                 std::getenv(kNumCpusVariable), available_parallelism());
  try {
    // Never deleted: the pool serves every caller until the process ends, and joining its workers
    // during static destruction could wait on threads that are still running someone's batch.
    auto* const pool = new ThreadPool(size, spawn);
    g_global_pool.store(pool, std::memory_order_release);
    return *pool;
  } catch (const std::exception& error) {
    // Mostly std::system_error from std::thread; a size too large to allocate for lands here too.
    throw PoolUnavailable(error.what());
  }
}

}  // namespace ombrel::pool
