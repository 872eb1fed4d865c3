// Threads for work that costs processor time and nothing else (encoding, decoding): tasks are run in the
// order posted, by whichever thread is free. A task must not wait on I/O or on another process.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace ks {
namespace server {

class TaskPool {
 public:
  using Task = std::function<void()>;

  // `threads` 0: one per processor.
  explicit TaskPool(unsigned threads = 0);
  // Runs the tasks already posted, then joins.
  ~TaskPool();
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;

  // Thread-safe.
  void post(Task task);
  size_t threads() const { return threads_.size(); }

 private:
  void work();

  std::mutex mutex_;  // guards the two below
  std::condition_variable ready_;
  std::deque<Task> tasks_;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace server
}  // namespace ks
