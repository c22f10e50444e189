// JobQueue: a double-ended queue of jobs behind one mutex.
//
// Each worker owns one, used as a work-stealing deque: the owner pushes and takes back at the back
// (last in, first out, so it finishes the innermost work first and keeps its cache warm), thieves
// take from the front (the oldest entry, which is the largest piece of work still undivided). The
// pool's injector is a JobQueue too, used first in, first out (push_back, pop_front).
//
// Thread-safety: every member may be called from any thread. A plain mutex is enough here: jobs are
// pushed once per division of a range, not once per item, so the queue is far from hot.
#pragma once

#include <deque>
#include <mutex>
#include <optional>

#include "pool/job.h"

namespace ombrel::pool {

class JobQueue final {
 public:
  JobQueue() = default;
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // May throw std::bad_alloc; the queue is then unchanged.
  void push_back(JobRef job);

  // Takes `job` off the back if it is the last entry; false if it is not there (a thief took it).
  bool pop_back_if(JobRef job) noexcept;

  // Takes the oldest entry, if any.
  std::optional<JobRef> pop_front() noexcept;

 private:
  std::mutex mutex_;
  std::deque<JobRef> jobs_;  // guarded by mutex_
};

}  // namespace ombrel::pool
