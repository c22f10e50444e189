// Jobs: the units of work that the pool's queues carry, and how their completion is signalled.
//
// A queue holds a JobRef, two words: a pointer to a job record and the function that runs it. The
// record lives in the stack frame of the thread that made it, which stays blocked until the job has
// finished, so no job is ever allocated or copied.
//
// Two kinds of record:
//   - JoinJob: the right half of a join, queued on the joining worker's own deque. Either the
//     joining worker takes it back and runs it itself (run_inline), or a thief runs it through its
//     JobRef; the thief then publishes the end with a release store to `done_`, the last access it
//     makes to the record, and the joining worker reads it with an acquire load before it looks at
//     the outcome.
//   - InjectedJob: a job handed to the pool from a thread outside it. The outside thread sleeps on
//     the record's mutex and condition variable until a worker has run the job (after watching a
//     flag for a few microseconds, in case the job is that quick).
//   - PostedJob: a job that nobody waits for (ThreadPool::post). It owns itself: made on the heap by
//     the poster, deleted by the worker that runs it. Its body must not throw.
// JoinJob and InjectedJob catch whatever their body throws, so a job always finishes; the exception
// is kept and rethrown on the thread that waits for the job.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

namespace ombrel::pool {

class JobRef final {
 public:
  // `migrated` tells the job whether it runs on another thread than the one that made it.
  using Execute = void (*)(void* job, bool migrated) noexcept;

  JobRef(void* job, Execute execute) noexcept : job_(job), execute_(execute) {}

  // REQUIRES: the job has not been executed yet. The record may be gone once this returns.
  void execute(bool migrated) const noexcept { execute_(job_, migrated); }

  // Identity: one record is one job.
  bool operator==(const JobRef& other) const noexcept { return job_ == other.job_; }

 private:
  void* job_;
  Execute execute_;
};

// The right half of a join. `Body` is called as body(bool migrated).
template <class Body>
class JoinJob final {
 public:
  explicit JoinJob(Body& body) noexcept : body_(body) {}
  JoinJob(const JoinJob&) = delete;
  JoinJob& operator=(const JoinJob&) = delete;

  JobRef ref() noexcept { return JobRef(this, &JoinJob::execute_stolen); }

  // Runs the body on the thread that queued it, after taking the job back from its own deque.
  void run_inline(bool migrated) noexcept { run(migrated); }

  // Set once a thief has run the job. Read it with an acquire load: the body's effects and its
  // exception are visible after seeing it true.
  const std::atomic<bool>& done_flag() const noexcept { return done_; }

  // REQUIRES: the job has finished (run inline, or done_flag() seen true).
  void rethrow_if_failed() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  static void execute_stolen(void* record, bool migrated) noexcept {
    auto* job = static_cast<JoinJob*>(record);
    job->run(migrated);
    // Release: publishes the body's effects and error_. The joining thread may return and end the
    // record's lifetime as soon as it sees this, so it is the last access to *job.
    job->done_.store(true, std::memory_order_release);
  }

  void run(bool migrated) noexcept {
    try {
      body_(migrated);
    } catch (...) {
      error_ = std::current_exception();
    }
  }

  Body& body_;
  std::exception_ptr error_;
  std::atomic<bool> done_{false};
};

// A job handed in from outside the pool. `Body` is called as body() on a worker.
template <class Body>
class InjectedJob final {
 public:
  explicit InjectedJob(Body& body) noexcept : body_(body) {}
  InjectedJob(const InjectedJob&) = delete;
  InjectedJob& operator=(const InjectedJob&) = delete;

  JobRef ref() noexcept { return JobRef(this, &InjectedJob::execute); }

  // Sleeps until a worker has run the job, then rethrows what the body threw, if anything. A small
  // job is often done within microseconds, sooner than a sleeping thread can be woken, so the
  // thread first watches `finished_soon_` for a short while, yielding its processor between looks.
  // Either way it then takes the mutex, which the worker holds until its last access to the record.
  void wait_and_rethrow() {
    const auto deadline = std::chrono::steady_clock::now() + kWatch;
    while (!finished_soon_.load(std::memory_order_relaxed) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    {
      std::unique_lock<std::mutex> lock(mutex_);
      finished_cv_.wait(lock, [this] { return finished_; });
    }
    if (error_) std::rethrow_exception(error_);
  }

 private:
  static void execute(void* record, bool /*migrated*/) noexcept {
    auto* job = static_cast<InjectedJob*>(record);
    try {
      job->body_();
    } catch (...) {
      job->error_ = std::current_exception();
    }
    // Notify while holding the mutex: the waiter cannot see finished_ (and end the record's
    // lifetime) before this unlocks, so the condition variable is still alive when notified.
    std::lock_guard<std::mutex> lock(job->mutex_);
    job->finished_ = true;
    job->finished_soon_.store(true, std::memory_order_relaxed);  // a hint; the mutex orders
    job->finished_cv_.notify_one();
  }

  static constexpr std::chrono::microseconds kWatch{30};

  Body& body_;
  std::exception_ptr error_;  // written by the worker before finished_ is set under mutex_
  std::mutex mutex_;
  std::condition_variable finished_cv_;
  bool finished_ = false;                   // guarded by mutex_
  std::atomic<bool> finished_soon_{false};  // set with finished_, read without the mutex
};

// A job that owns itself. `Body` is called as body() on a worker and must not throw: there is no
// thread to rethrow on.
template <class Body>
class PostedJob final {
 public:
  static_assert(std::is_nothrow_invocable_v<Body&>, "a posted job reports its own failures");

  explicit PostedJob(Body body) : body_(std::move(body)) {}
  PostedJob(const PostedJob&) = delete;
  PostedJob& operator=(const PostedJob&) = delete;

  JobRef ref() noexcept { return JobRef(this, &PostedJob::execute); }

 private:
  static void execute(void* record, bool /*migrated*/) noexcept {
    auto* job = static_cast<PostedJob*>(record);
    job->body_();
    delete job;
  }

  Body body_;
};

}  // namespace ombrel::pool
