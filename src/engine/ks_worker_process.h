// A worker process as the server holds it: started with posix_spawn (so no engine state ever exists in a
// process that forks), reached over a control socket and a few run channels, watched until it ends, and
// killed when it misbehaves, hangs or is no longer needed. Everything it says is checked as a client's
// words would be.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ks_engine_error.h"
#include "ks_held_memory.h"
#include "ks_run_control.h"
#include "ks_shared_memory.h"
#include "ks_worker_channel.h"
#include "ks_worker_log.h"
#include "ks_worker_messages.h"

namespace ks {
namespace server {

struct WorkerOptions {
  std::string program;                             // the worker program's path
  unsigned channels = 1;                           // runs it takes at once
  unsigned threads = 1;                            // intra-op threads one run may use
  size_t memoryBytes = 0;                          // what its engine may allocate in all (the sandbox's bound); 0: none
  size_t regionBytes = size_t{1} << 30;            // the largest shared region of one channel
  std::chrono::milliseconds startTimeout{30'000};  // from spawn to its hello
  // Where its run regions are counted, and bounded; null: nowhere. Must outlive the process.
  HeldMemory* memory = nullptr;
  // What a region keeps between runs: the pages past it are given back after each run that used them, so
  // a run far larger than the usual holds its memory only while it runs.
  size_t keptRegionBytes = size_t{4} << 20;
};

struct WorkerExit;

// How a worker process ended.
enum class WorkerEnd {
  kRunning,     // it has not
  kExited,      // it exited on its own
  kCrashed,     // a signal of its own doing (SIGSEGV, SIGFPE, SIGABRT from std::terminate, ...)
  kSandbox,     // SIGSYS: the sandbox killed it for a forbidden system call
  kKilled,      // SIGKILL the server did not send: the kernel's out-of-memory killer, most likely
  kTimedOut,    // the server killed it: a run did not stop within its grace after its time was up
  kMisbehaved,  // the server killed it: it broke the protocol
  kStopped,     // the server ended it: its network went, or the server stops
};

struct WorkerExit {
  WorkerEnd end = WorkerEnd::kRunning;
  int signal = 0;  // for the signal ends
  int status = 0;  // for kExited
};

// Told once, on the thread that reaps the process, how it ended.
using WorkerExitListener = std::function<void(const WorkerExit&)>;

// One fixed sentence per way a worker ends, the signal named, as a client reads it: "the engine process
// running the network crashed (signal 8, SIGFPE)".
std::string describeExit(const WorkerExit& exit);

// The name of the metric label for an end: "crashed", "sandbox", "killed", ...
const char* endName(WorkerEnd end);

class WorkerProcess {
 public:
  // Spawns `options.program` and waits for its hello. Its standard output and error are one pipe the
  // reaper reads: each line goes to `onLog` as WorkerLog bounds it, or nowhere when `onLog` is null.
  // Throws EngineError kWorkerLost (text from describeExit) when it ends or says anything else first,
  // std::system_error when it cannot be spawned.
  explicit WorkerProcess(const WorkerOptions& options, WorkerExitListener onExit = nullptr,
                         WorkerLog::Sink onLog = nullptr);
  // Ends the process (closing its sockets, then SIGKILL when it lingers) and reaps it.
  ~WorkerProcess();
  WorkerProcess(const WorkerProcess&) = delete;
  WorkerProcess& operator=(const WorkerProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Unique among the worker processes this process started: tells a channel's descriptor from an earlier
  // one of the same number.
  uint64_t serial() const { return serial_; }
  // What it could lock down, from its hello.
  const std::string& sandbox() const { return sandbox_; }

  // Has it load `network` (a region sealed read-only) within `memoryLimit`, waiting at most `timeout`.
  // Returns what it reports, checked. Throws EngineError: the kind the worker gives for a refusal, or
  // kWorkerLost when it ends, hangs past the timeout (then it is killed) or misbehaves.
  LoadedMessage load(const SharedMemory& network, uint64_t memoryLimit, std::chrono::milliseconds timeout);

  class Lease;
  // A run channel to itself; waits while all are in use. Thread-safe.
  Lease acquire();
  // A run channel if one is free now, else none. Thread-safe.
  std::optional<Lease> tryAcquire();

  // Calls `callback` once with how the process ended: on the reaper's thread when it ends, or at once on
  // this one when it has already been reaped. Thread-safe.
  void whenEnded(std::function<void(const WorkerExit&)> callback);

  // Gives its threads, those it has and those they start, the nice value `level`: above 0, other
  // processes' work takes the processors first. Does nothing when it has that value already. Thread-safe.
  void setNice(int level);
  int nice() const { return nice_.load(); }

  // Kills it, noting `why`, unless it ended already. Thread-safe.
  void kill(WorkerEnd why);
  // How it ended; kRunning when it has not ended within `wait`.
  WorkerExit awaitExit(std::chrono::milliseconds wait);
  bool running();

 private:
  struct Channel {
    WorkerChannel socket;
    SharedMemory region;
    bool regionSent = false;
    uint64_t sequence = 0;
    size_t charged = 0;  // bytes of the region counted in options_.memory
  };

  // The end the process reached, after killing it as misbehaved if its socket closed while it runs.
  WorkerExit lost();
  void interrupt(uint32_t channel, uint64_t sequence);
  void release(uint32_t channel);
  // Gives back what a channel's region holds past what it keeps between runs.
  void trim(Channel& channel);
  void charge(Channel& channel, size_t used);
  void reap();
  // Reads what the process writes to its standard output and error until it has gone.
  void readOutput();

  const WorkerOptions options_;
  const WorkerExitListener onExit_;
  const uint64_t serial_;
  WorkerLog log_;
  UniqueFd output_;  // the read end of its standard output and error
  // How long the last run took, from its message to its reply: a run's caller waits awake for its reply
  // only when the last one came that soon.
  std::atomic<int64_t> lastRunMicroseconds_{0};
  pid_t pid_ = -1;
  std::string sandbox_;
  WorkerChannel control_;
  std::vector<Channel> channels_;

  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::vector<uint32_t> free_;
  WorkerExit exit_;
  bool reaped_ = false;                        // waited for: its pid may be another process's now
  WorkerEnd killedFor_ = WorkerEnd::kRunning;  // why the server killed it, if it did
  std::vector<std::function<void(const WorkerExit&)>> endListeners_;
  std::atomic<int> nice_{0};
  std::thread reaper_;
};

// One run channel, held for one run at a time. Moves, does not copy; gives the channel back when it goes.
class WorkerProcess::Lease {
 public:
  Lease(Lease&& other) noexcept;
  Lease& operator=(Lease&&) = delete;
  Lease(const Lease&) = delete;
  ~Lease();

  // The channel's region, where the inputs go; grown with reserve() before run().
  SharedMemory& region();
  // Makes the region's first `bytes` usable, counting them in the server's memory and waiting at most
  // `wait` for room there; the file may grow further, by halves, up to the largest region. Returns false,
  // changing nothing, when the memory does not have room in time. Throws std::system_error.
  bool reserve(size_t bytes, std::chrono::milliseconds wait);

  // Sends `request` (its sequence is set here) and waits for the reply; `control`, when not null, may
  // interrupt it, after which the worker has `grace` to stop before it is killed. Returns the outputs,
  // checked to lie within the region (refreshed to what the worker grew it to). Throws EngineError: the
  // worker's refusal (kInterrupted with `control`'s reason), or kWorkerLost when the process ends, is
  // killed for running past the grace, or misbehaves (then it is killed).
  RanMessage run(RunMessage& request, const RunControl* control, std::chrono::milliseconds grace);

  // The same without waiting: send() sends the run (false when the process is gone), the channel's
  // descriptor becomes readable when the reply (or the process's end) is there, and poll() takes it.
  bool send(RunMessage& request);
  int descriptor() const;
  enum class Reply {
    kPending,  // not there yet
    kReady,    // `ran` holds the outputs, checked
    kClosed,   // the process closed the channel: it ended or is ending (see whenEnded)
  };
  // Throws EngineError: the worker's refusal (kInterrupted with `control`'s reason), kWorkerLost when it
  // broke the protocol (it is killed, not waited for).
  Reply poll(const RunMessage& request, const RunControl* control, RanMessage& ran);
  // Asks the worker to stop the run `request` sent; the caller decides how long to give it.
  void interrupt(const RunMessage& request);
  WorkerProcess& process() { return *worker_; }

 private:
  friend class WorkerProcess;
  Lease(WorkerProcess& worker, uint32_t channel) : worker_(&worker), channel_(channel) {}
  // Checks the reply `message` to `request`; throws MalformedMessage for one that breaks the protocol.
  RanMessage check(const std::string& message, const RunMessage& request, const RunControl* control);

  WorkerProcess* worker_;
  uint32_t channel_;
};

}  // namespace server
}  // namespace ks
