// Runs inferences for the server's front without any thread waiting on a worker process. Each network
// has a queue of its own, bounded and fair between sessions (FairQueue); a run leaves it for a free
// channel of the network's worker, its inputs are placed in the channel's memory (on the loop, or on
// the processor pool when they are large), and its message goes out. The reply, the run's time limit,
// its caller going away and the worker's end are events on the loop, which hands the outputs back (the
// pool encodes large ones). Only what must wait on a worker by nature waits, each on a thread of its
// own: starting a worker process and running again alone the runs a worker took down with it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "ks_event_loop.h"
#include "ks_fair_queue.h"
#include "ks_inference_engine.h"
#include "ks_task_pool.h"

namespace ks {
namespace server {

struct RunSchedulerOptions {
  size_t queueLimit = 1024;                // runs one network holds waiting
  size_t sessionQueueLimit = 64;           // of them, runs of one session
  std::chrono::milliseconds timeLimit{0};  // from a run's submission to its reply; 0: none
  std::chrono::milliseconds grace{1'000};  // after an interrupt, before the worker is killed
  size_t inferenceMemoryBytes = 0;         // what one run may allocate in the engine; 0: no bound
  // How long a run holding a channel may wait for room in the memory budget for its inputs before it
  // is placed anyway (and refused when they do not fit).
  std::chrono::milliseconds roomWait{2'000};
  // Inputs and outputs of more bytes than this are decoded and encoded on the pool, not the loop.
  size_t poolBytes = size_t{1} << 20;
};

// What the front wants done with one run. Its methods run on the loop thread or, for large tensors, on a
// pool thread; never two at once.
class RunJob {
 public:
  virtual ~RunJob() = default;
  // How many bytes place() decodes: past RunSchedulerOptions::poolBytes it runs on the pool.
  virtual size_t placeBytes() const = 0;
  // Puts the inputs in `run` and returns the repetitions asked for. Whatever it throws fails the run.
  virtual uint32_t place(InferenceEngine::Run& run) = 0;
  // The run succeeded: its outputs are in `run`, `milliseconds` is one repetition's mean.
  virtual void succeeded(InferenceEngine::Run& run, double milliseconds, uint32_t repetitions) = 0;
  // The run failed: `error` holds an EngineError, RunCrashed, or what place() threw.
  virtual void failed(std::exception_ptr error) = 0;
};

class RunScheduler {
 public:
  using Ticket = uint64_t;

  // Works on `loop`, from its thread; `pool` does the large tensors. Both must outlive it.
  RunScheduler(EventLoop& loop, TaskPool& pool, RunSchedulerOptions options);
  // Interrupts what is left and waits for the threads of its own (a worker's start may take its load's
  // time). The loop must not run meanwhile; the jobs left are dropped without a word.
  ~RunScheduler();
  RunScheduler(const RunScheduler&) = delete;
  RunScheduler& operator=(const RunScheduler&) = delete;

  enum class Refused { kNone, kNetworkFull, kSessionFull };
  // Loop thread. Queues `job` on `engine`'s network for session `owner`. Returns a ticket for
  // interrupt(), or 0 with `refused` set when the network's queue, or the session's share of it, is full
  // (the job is dropped unanswered).
  Ticket submit(std::shared_ptr<const InferenceEngine> engine, const std::string& owner, std::unique_ptr<RunJob> job,
                Refused& refused);
  // Loop thread. Ends the run: taken out of its queue, or told to stop in its worker (killed after the
  // grace); it fails with EngineError kInterrupted and `reason`. Nothing for a ticket that ended.
  void interrupt(Ticket ticket, const std::string& reason);
  // Any thread: interrupts every run, now and submitted from now on.
  void interruptAll(const std::string& reason);

  const RunSchedulerOptions& options() const { return options_; }
  // Any thread: runs waiting in a queue, and out (placing, in a worker, or being answered).
  size_t waiting() const { return waiting_.load(); }
  size_t out() const { return count_.load() - waiting_.load(); }

 private:
  struct Entry;
  struct Network;

  void pump(Network& network);
  void start(Entry& entry);
  void placed(Ticket ticket, uint32_t repetitions, const std::exception_ptr& error);
  void onChannel(int fd, uint32_t events);
  void onReply(Ticket ticket);
  void onWorkerEnded(Ticket ticket, const WorkerExit& exit);
  void aloneDone(Ticket ticket, const RanMessage& ran, const std::exception_ptr& error);
  void succeed(Entry& entry, const RanMessage& ran);
  void fail(Entry& entry, std::exception_ptr error);
  void release(Ticket ticket);
  void stopWatching(Entry& entry);
  // Erases the network's record once nothing waits or runs there, unless a pump is under way.
  void tidy(Network& network);
  void startWorker(Network& network);
  void failWaiting(Network& network, const std::exception_ptr& error);
  // Runs `work` on a thread of its own; it must not touch the scheduler but through post().
  void detach(std::function<void()> work);
  // `task` runs on the loop unless the scheduler is gone by then.
  void post(std::function<void()> task);

  EventLoop& loop_;
  TaskPool& pool_;
  const RunSchedulerOptions options_;
  std::shared_ptr<RunScheduler*> self_;  // what posted tasks hold to know the scheduler is still there
  Ticket nextTicket_ = 1;
  // Shared with the pool's task while one places or answers it.
  std::unordered_map<Ticket, std::shared_ptr<Entry>> entries_;
  std::map<const HostedNetwork*, std::unique_ptr<Network>> networks_;
  // The worker channels the loop watches, by descriptor. A channel stays watched from its first run
  // until its worker closes it, so a run costs no change to the epoll set.
  struct Channel {
    uint64_t worker = 0;  // WorkerProcess::serial()
    uint64_t key = 0;     // the loop's
    Ticket owner = 0;     // the run out on it; 0: none
  };
  std::unordered_map<int, Channel> channels_;
  std::atomic<size_t> waiting_{0};
  std::atomic<size_t> count_{0};  // entries
  std::mutex mutex_;              // guards the three below
  std::string stopReason_;
  std::list<std::thread> threads_;
  std::list<std::thread> ended_;
};

}  // namespace server
}  // namespace ks
