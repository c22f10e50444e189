#include "pool/job_queue.h"

namespace ombrel::pool {

void JobQueue::push_back(JobRef job) {
  std::lock_guard<std::mutex> lock(mutex_);
  jobs_.push_back(job);
}

bool JobQueue::pop_back_if(JobRef job) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (jobs_.empty() || !(jobs_.back() == job)) return false;
  jobs_.pop_back();
  return true;
}

std::optional<JobRef> JobQueue::pop_front() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  if (jobs_.empty()) return std::nullopt;
  const JobRef job = jobs_.front();
  jobs_.pop_front();
  return job;
}

}  // namespace ombrel::pool
