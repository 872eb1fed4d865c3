// The handler threads and the queue between them and the loop: complete requests go in as jobs, run on
// a worker, and come back with their replies for the loop to take.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ks_http_message.h"
#include "ks_unique_fd.h"

namespace ks {
namespace server {

// Who writes a reply that a worker has ready: the worker itself, straight to the socket (a reply sooner,
// without waking the loop first), unless the loop began streaming it already.
enum HttpClaim : int { kUnclaimed = 0, kLoopStreams = 1, kWorkerWrites = 2 };

// A complete request on its way to a worker, and back with its reply.
struct HttpJob {
  uint64_t connection = 0;
  const std::function<void(HttpRequest&, HttpResponse&)>* handler = nullptr;
  HttpRequest request;
  HttpResponse response;
  size_t budget = 0;  // body bytes it holds
  // For the worker's own write: the connection's socket (a duplicate, so that a connection the loop
  // closes meanwhile never lends its number to another), what the head says, and who writes.
  UniqueFd socket;
  bool keepAlive = true;
  bool http10 = false;
  bool headOnly = false;
  std::shared_ptr<std::atomic<int>> claim;
  // The client had closed the connection by the time a worker took the job: the handler did not run.
  bool clientGone = false;
  // The reply the worker wrote, as it went on the wire, and how much of it the socket took.
  bool direct = false;
  std::string wire;
  size_t sent = 0;
};

class HttpWorkerQueue {
 public:
  // `work` runs each job on a worker thread; `finished` is called after each, to wake the loop.
  HttpWorkerQueue(std::function<void(HttpJob&)> work, std::function<void()> finished);
  ~HttpWorkerQueue() { join(); }
  HttpWorkerQueue(const HttpWorkerQueue&) = delete;
  HttpWorkerQueue& operator=(const HttpWorkerQueue&) = delete;

  void start(unsigned threads);
  void push(std::unique_ptr<HttpJob> job);
  // The jobs done since the last call.
  std::vector<std::unique_ptr<HttpJob>> takeFinished();
  // Workers take no more jobs once their current one is done; jobs not yet started are dropped.
  void close();
  // close(), then waits for the workers to end.
  void join();

  size_t queued() const { return queued_.load(); }    // waiting for a worker
  size_t running() const { return running_.load(); }  // with a worker

 private:
  void work();

  const std::function<void(HttpJob&)> run_;
  const std::function<void()> finished_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;  // guards the three below
  std::condition_variable ready_;
  std::deque<std::unique_ptr<HttpJob>> queue_;
  std::vector<std::unique_ptr<HttpJob>> done_;
  bool closed_ = false;
  std::atomic<size_t> queued_{0};
  std::atomic<size_t> running_{0};
};

}  // namespace server
}  // namespace ks
