// ThreadPool: a fixed set of worker threads that share work by stealing, and the process-wide pool.
//
// The pieces, each in its own file:
//   - Queues (job_queue.h): every worker owns a deque of jobs; it pushes and takes back at the
//     back, other workers steal from the front. Jobs from threads outside the pool go to one
//     injector queue.
//   - Sleeping (sleep.h): a worker that finds no work watches for new work for a few tens of
//     microseconds, yielding its processor between looks, then sleeps on an event count. Queuing
//     a job, finishing a stolen one and stopping the pool wake sleepers.
//   - Jobs (job.h): records of queued work, living in the frame of the thread that waits for them.
//   - Joining (here): a worker divides its work into halves a and b. It queues b, runs a, then
//     takes b back and runs it, unless a thief got it first; in that case it helps (steals and runs
//     other queued halves) until b is done, and sleeps whenever there is nothing to steal.
//   - Posted jobs (post): queued on the injector like an outside caller's job, but nobody waits for
//     them; a worker runs and frees each when it gets to it.
//   - Outside callers (run_from_outside): the job goes to the injector and the caller sleeps on the
//     job's own mutex and condition variable until a worker has run it (after a few microseconds
//     of watching, for quick jobs). The caller runs no pool work.
//
// Invariants:
//   - A worker's deque holds only the right halves of joins that are open on that worker's stack,
//     innermost at the back. Thieves take the front, so when a join finds its b gone, every older
//     entry is gone too: taking b back is one look at the back of the deque.
//   - A job record lives in the frame of the thread that waits for it, and that thread does not
//     leave the frame before the job has finished, so no queued reference dangles.
//   - A job always finishes. An exception is caught where the job runs and rethrown where it is
//     waited for; join rethrows only once both halves have finished, preferring a's exception to
//     b's.
//   - A joining worker steals only from other workers' deques, never from the injector: it helps
//     with work already under way instead of starting another caller's whole job, so a join waits
//     for pieces of other work at most, never for a whole unrelated batch.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

#include "pool/job.h"
#include "pool/job_queue.h"
#include "pool/sleep.h"

namespace ombrel::pool {

class ThreadPool final {
 public:
  // Starts one thread running `body`; throws std::system_error when the system refuses. A seam for
  // tests, which need thread creation to fail on demand.
  using SpawnThread = std::thread (*)(std::function<void()> body);
  static std::thread spawn_std_thread(std::function<void()> body);

  // Starts max(num_threads, 1) workers. If a thread cannot be started, the workers already running
  // are stopped and joined and the exception (std::system_error) propagates.
  explicit ThreadPool(std::size_t num_threads, SpawnThread spawn = &ThreadPool::spawn_std_thread);

  // Stops and joins the workers.
  // REQUIRES: no thread is inside join() or run_from_outside() of this pool.
  ~ThreadPool();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t num_threads() const noexcept { return workers_.size(); }

  // True on the pool's own worker threads.
  bool on_worker_thread() const noexcept { return current_worker() != nullptr; }

  // Runs a(bool migrated) and b(bool migrated), possibly in parallel, and returns when both have
  // finished. `migrated` is true when the half runs on another thread than the one that divided the
  // work: for b when a thief took it; for both halves when join is called from outside the pool.
  //   - On a worker: b is queued where idle workers can steal it, a runs on this thread, then b
  //     runs here too if nobody took it; otherwise this thread helps with other work until b is
  //     done.
  //   - Outside the pool: the pair is handed to the pool as one job (see run_from_outside) and the
  //     caller sleeps until both halves are done.
  // Exceptions: both halves always run to the end; then a's exception is rethrown if it threw, else
  // b's. A half that throws is still finished, so nothing refers to this frame afterwards.
  // Thread-safety: a and b may run concurrently with each other; they must not race.
  template <class A, class B>
  void join(A&& a, B&& b);

  // Runs job() on a worker while this thread sleeps on a mutex and condition variable until it has
  // finished, then rethrows the job's exception, if any. Called on a worker of this pool, it simply
  // runs job() in place (waiting for another worker could block the only one there is).
  template <class Job>
  void run_from_outside(Job&& job);

  // Queues job() to run on a worker when one gets to it, and returns at once. Nobody waits for it:
  // the job is moved to the heap and freed after it has run, so it must own or share what it uses
  // and stay correct however late it runs (typically it claims work from a shared counter and may
  // find none left). It must not throw. Jobs still queued when the pool is destroyed are run by the
  // stopping workers. Throws std::bad_alloc, with nothing queued, when memory runs out.
  template <class Job>
  void post(Job&& job);

 private:
  struct Worker;

  Worker* current_worker() const noexcept;
  template <class A, class B>
  void join_on_worker(Worker& self, A& a, B& b, bool divided_elsewhere);
  void push_local(Worker& self, JobRef job);
  bool take_back(Worker& self, JobRef job) noexcept;
  void help_until(Worker& self, const std::atomic<bool>& done) noexcept;
  void inject(JobRef job);
  std::optional<JobRef> steal(const Worker& thief) noexcept;
  void worker_main(Worker& self) noexcept;
  void stop_and_join() noexcept;

  // The worker record of the calling thread, or nullptr on a thread that is no pool's worker. Set
  // only by the worker itself, so a plain thread_local suffices.
  static thread_local Worker* this_thread_worker_;

  std::vector<std::unique_ptr<Worker>> workers_;  // fixed before the first thread starts
  JobQueue injector_;
  Sleep sleep_;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> threads_;  // used only by the constructor and the destructor
};

// Thrown by global_pool() when the process-wide pool cannot be created; what() is the reason (the
// message of the exception that stopped it, mostly std::system_error from starting a thread).
class PoolUnavailable final : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The process-wide pool, created on the first call (thread-safe) and never shut down. A process made
// by fork() starts without one, since the parent's workers do not exist there: the child's first
// call creates the child's own pool (the parent's pool object is left behind untouched). Its size is
// thread_count_from_env() of RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS and available_parallelism(), read
// when it is created. If it cannot be created (the system refuses to start a thread), throws
// PoolUnavailable; a later call tries again.
ThreadPool& global_pool();

namespace detail {
// global_pool() with the thread-starting seam exposed, for tests.
ThreadPool& global_pool(ThreadPool::SpawnThread spawn);
}  // namespace detail

template <class A, class B>
void ThreadPool::join(A&& a, B&& b) {
  if (Worker* self = current_worker()) {
    join_on_worker(*self, a, b, /*divided_elsewhere=*/false);
    return;
  }
  // Both halves then run on a worker while they were divided here, so both count as migrated.
  run_from_outside([&] { join_on_worker(*current_worker(), a, b, /*divided_elsewhere=*/true); });
}

template <class A, class B>
void ThreadPool::join_on_worker(Worker& self, A& a, B& b, bool divided_elsewhere) {
  JoinJob<B> right(b);
  push_local(self, right.ref());  // throws only if nothing was queued; then nothing has run either
  std::exception_ptr left_error;
  try {
    a(divided_elsewhere);
  } catch (...) {
    left_error = std::current_exception();
  }
  if (take_back(self, right.ref())) {
    right.run_inline(divided_elsewhere);
  } else {
    help_until(self, right.done_flag());
  }
  if (left_error) std::rethrow_exception(left_error);
  right.rethrow_if_failed();
}

template <class Job>
void ThreadPool::run_from_outside(Job&& job) {
  if (current_worker() != nullptr) {
    job();
    return;
  }
  InjectedJob<std::remove_reference_t<Job>> injected(job);
  inject(injected.ref());
  injected.wait_and_rethrow();
}

template <class Job>
void ThreadPool::post(Job&& job) {
  using Record = PostedJob<std::decay_t<Job>>;
  auto record = std::make_unique<Record>(std::forward<Job>(job));
  inject(record->ref());  // throws only if nothing was queued
  record.release();       // the worker that runs it deletes it
}

}  // namespace ombrel::pool

// The pool's one algorithm over index ranges; users of the pool get it with this header.
#include "pool/for_each_range.h"  // IWYU pragma: export
