// The networks the server holds, one per distinct network: sessions that load byte-identical networks
// share one, which goes with its last user. Each is run by a worker process of its own, started again
// when it ends, so a network that crashes the engine costs its own requests only; a network that keeps
// ending its workers is quarantined for a while.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ks_sha256.h"
#include "ks_shared_memory.h"
#include "ks_worker_messages.h"
#include "ks_worker_process.h"

namespace ks {
namespace server {

struct EngineOptions {
  // The worker program; empty: ks_inference_worker beside this program, else in
  // ../lib/ks-inference-server/ from it.
  std::string workerProgram;
  unsigned threads = 0;     // intra-op threads one inference may use; 0: processors
  unsigned runsAtOnce = 0;  // inferences one network runs at once (the server's workers); 0: processors
  size_t networkMemoryBytes = size_t{2} << 30;  // what the engine may hold for one network; 0: no bound
  size_t totalNetworkMemoryBytes = 0;           // for all networks together; 0: no bound
  // Everything clients make the server hold: the loaded networks (their bytes and what the engine holds
  // for them) and the tensors of the runs (their regions). The networks may take half of it at most;
  // the runs take the rest and what the networks leave. 0: no bound.
  size_t memoryBudgetBytes = 0;
  // How long a run's tensors may wait for room in the budget before the request is refused.
  std::chrono::milliseconds roomWait{2'000};
  size_t inferenceMemoryBytes = size_t{2} << 30;   // what one inference may allocate; 0: no bound
  size_t regionBytes = size_t{1} << 30;            // the largest tensors of one inference, in and out together
  std::chrono::milliseconds loadTimeout{300'000};  // longest a load may take
  // After its time is up, how long a run has to stop before its worker process is killed.
  std::chrono::milliseconds stopGrace{1'000};
  // Worker processes a network may end in a row while loading, or sessions in a row whose runs ended its
  // worker processes (each proven alone), before it is quarantined.
  unsigned quarantineAfter = 3;
  std::chrono::seconds quarantineFor{300};
  // Where each line a worker process writes to its standard output or error goes, after "worker " and
  // the first 12 hex digits of its network's digest; null: nowhere. Called on the worker's reaper thread.
  std::function<void(const std::string& line)> workerLog;
};

// What /metrics tells of the worker processes.
struct WorkerCounts {
  uint64_t started = 0;
  uint64_t running = 0;
  std::map<WorkerEnd, uint64_t> ended;  // by how, kStopped included
  uint64_t quarantines = 0;
  uint64_t rerunAlone = 0;    // runs that were in a worker process as it ended, run again alone
  uint64_t crashingRuns = 0;  // of those, the ones that ended the fresh worker too
};

class NetworkRegistry;

// One distinct network: its bytes (kept by the server, so a new worker can load them again), what its
// first load reported, and the worker process running it. Thread-safe.
class HostedNetwork {
 public:
  ~HostedNetwork();
  HostedNetwork(const HostedNetwork&) = delete;
  HostedNetwork& operator=(const HostedNetwork&) = delete;

  // Every input to feed and every output, in graph order, as the engine declared them.
  const std::vector<ValueDescription>& inputs() const { return inputs_; }
  const std::vector<ValueDescription>& outputs() const { return outputs_; }
  // What the engine holds for it.
  size_t heldBytes() const { return heldBytes_; }
  // What the worker did to the network before loading it; empty when it runs as it came.
  const std::string& changes() const { return changes_; }
  // The SHA-256 of its bytes.
  const Sha256Digest& digest() const { return digest_; }
  // The network's bytes, as loaded.
  std::string_view bytes() const {
    return std::string_view(reinterpret_cast<const char*>(bytes_.data()), bytes_.size());
  }
  // The most one run's tensors, in and out together, may take in its region.
  size_t maxRegionBytes() const;
  // What clients make the server hold, and its budget.
  const HeldMemory& memory() const;

  class Lease;
  // A run channel of a live worker process for this network, after starting one and loading the network
  // again when the last one ended. Throws EngineError kQuarantined, or what a load throws.
  Lease lease() const;
  // The same without waiting: a free channel of the live worker process, or none when all are taken or
  // no worker runs the network (see workerRunning).
  std::optional<Lease> tryLease() const;
  bool workerRunning() const;
  // WorkerProcess::setNice on the live worker process, if there is one.
  void setWorkerNice(int level) const;
  // Starts a worker process for the network unless one runs, and waits for it to load: slow, for a
  // thread of its own. Throws as lease().
  void startWorker() const;

 private:
  friend class NetworkRegistry;
  struct Shared;
  HostedNetwork(std::shared_ptr<Shared> shared, const Sha256Digest& digest, SharedMemory bytes, size_t memoryLimit);
  // A new worker process of `channels` run channels with the network loaded; `loaded`, when not null,
  // receives what it reported. A worker that ends while loading counts toward the quarantine.
  std::shared_ptr<WorkerProcess> start(LoadedMessage* loaded, unsigned channels) const;
  // Runs `request`, whose inputs lie in `region`, again in a worker process of its own that runs nothing
  // else, one such run at a time, and puts its outputs in `region` where the reply says. Throws RunCrashed
  // when it ends that process too (noted against `owner`), else as Lease::run.
  RanMessage runAlone(RunMessage& request, WorkerProcess::Lease& region, const RunControl* control,
                      const std::string& owner) const;

  const std::shared_ptr<Shared> shared_;
  const Sha256Digest digest_;
  const SharedMemory bytes_;
  const size_t memoryLimit_;
  std::vector<ValueDescription> inputs_;
  std::vector<ValueDescription> outputs_;
  size_t heldBytes_ = 0;
  std::string changes_;
  mutable std::mutex mutex_;  // guards worker_
  mutable std::shared_ptr<WorkerProcess> worker_;
  mutable std::mutex aloneMutex_;  // held for one run alone; guards alone_ and waitingAlone_
  mutable std::shared_ptr<WorkerProcess> alone_;
  mutable std::atomic<unsigned> waitingAlone_{0};
};

// One run channel of the worker process of a network; keeps that process alive while held.
class HostedNetwork::Lease {
 public:
  SharedMemory& region() { return channel_.region(); }
  // As WorkerProcess::Lease::reserve, waiting as long as the options say. Throws EngineError kNoRoom
  // when there is no room in time.
  void reserve(size_t bytes);
  // The same waiting at most `wait`.
  void reserve(size_t bytes, std::chrono::milliseconds wait);
  // As WorkerProcess::Lease::run, with the network's grace. Counts as a run going on for the choice
  // between parallel and sequential runs. When the worker process ends under it (by any run's doing but
  // a stop), the run is run again alone (see runAlone), so that only a run that ends a worker by itself
  // fails with kWorkerLost, as RunCrashed, counted against `owner` (who asked for it: its session).
  RanMessage run(RunMessage& request, const RunControl* control, const std::string& owner = std::string());

  // The pieces of run() for a caller that does not wait: send() the run (false when the worker is gone),
  // poll() when channel().descriptor() is readable. While a run is out it counts as going on; it stops
  // counting when poll() has its end or the lease goes.
  bool send(RunMessage& request);
  WorkerProcess::Lease::Reply poll(const RunMessage& request, RanMessage& ran);
  // After the worker process ended under the run, by anyone's doing but a stop: runs it again alone as
  // run() does. Waits for a worker: for a thread of its own.
  RanMessage runAgainAlone(RunMessage& request, const RunControl* control, const std::string& owner);
  WorkerProcess::Lease& channel() { return channel_; }
  WorkerProcess& process() { return *worker_; }

  Lease(Lease&& other) noexcept;
  Lease& operator=(Lease&&) = delete;
  ~Lease();

 private:
  friend class HostedNetwork;
  Lease(const HostedNetwork& network, std::shared_ptr<WorkerProcess> worker)
      : network_(&network), worker_(std::move(worker)), channel_(worker_->acquire()) {}
  Lease(const HostedNetwork& network, std::shared_ptr<WorkerProcess> worker, WorkerProcess::Lease channel)
      : network_(&network), worker_(std::move(worker)), channel_(std::move(channel)) {}
  void settle();  // the run out is over

  const HostedNetwork* network_;
  std::shared_ptr<WorkerProcess> worker_;
  WorkerProcess::Lease channel_;
  bool out_ = false;  // a run sent and not yet settled
};

class NetworkRegistry {
 public:
  // Throws std::runtime_error when there is no worker program.
  explicit NetworkRegistry(EngineOptions options);
  ~NetworkRegistry();
  NetworkRegistry(const NetworkRegistry&) = delete;
  NetworkRegistry& operator=(const NetworkRegistry&) = delete;

  // The network whose bytes `modelBytes` holds (a region this call seals read-only): the one already held
  // when byte-identical bytes (by SHA-256) were loaded before and still have a user, else a new one,
  // loaded by a new worker process. Concurrent loads of the same bytes load once and all wait for it.
  // Throws EngineError: the worker's refusal (kBadNetwork, kOverBudget), kWorkerLost when it ended
  // while loading, kQuarantined; to every caller waiting for that load. The network may outlive the
  // registry.
  std::shared_ptr<const HostedNetwork> load(SharedMemory modelBytes);
  // The same for bytes in memory, copied into a region.
  std::shared_ptr<const HostedNetwork> load(const std::string& modelBytes);

  // The network of that digest when one is held now (loaded, not loading); null otherwise.
  std::shared_ptr<const HostedNetwork> held(const Sha256Digest& digest) const;

  // Networks held now, and what the engine holds for them together.
  size_t count() const;
  size_t heldBytes() const;
  WorkerCounts workerCounts() const;
  const HeldMemory& memory() const;
  const EngineOptions& options() const;

 private:
  std::shared_ptr<HostedNetwork::Shared> shared_;
};

}  // namespace server
}  // namespace ks
