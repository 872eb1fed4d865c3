#include "ks_http_worker_queue.h"

#include <utility>

namespace ks {
namespace server {

HttpWorkerQueue::HttpWorkerQueue(std::function<void(HttpJob&)> work, std::function<void()> finished)
    : run_(std::move(work)), finished_(std::move(finished)) {}

void HttpWorkerQueue::start(unsigned threads) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

void HttpWorkerQueue::push(std::unique_ptr<HttpJob> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    ++queued_;
    queue_.push_back(std::move(job));
  }
  ready_.notify_one();
}

std::vector<std::unique_ptr<HttpJob>> HttpWorkerQueue::takeFinished() {
  std::vector<std::unique_ptr<HttpJob>> done;
  std::lock_guard<std::mutex> lock(mutex_);
  done.swap(done_);
  return done;
}

void HttpWorkerQueue::close() {
  std::deque<std::unique_ptr<HttpJob>> unstarted;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    unstarted.swap(queue_);
    queued_ = 0;
  }
  ready_.notify_all();
}

void HttpWorkerQueue::join() {
  close();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

void HttpWorkerQueue::work() {
  for (;;) {
    std::unique_ptr<HttpJob> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [this] { return closed_ || !queue_.empty(); });
      if (closed_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
      --queued_;
      ++running_;
    }
    run_(*job);
    --running_;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_.push_back(std::move(job));
    }
    finished_();
  }
}

}  // namespace server
}  // namespace ks
