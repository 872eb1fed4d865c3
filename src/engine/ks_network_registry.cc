#include "ks_network_registry.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

namespace ks {
namespace server {
namespace {

using Clock = std::chrono::steady_clock;

// A network's record of ended workers is kept for this many distinct networks at most.
constexpr size_t kMaxRecords = 4096;

std::string defaultWorkerProgram() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  for (const std::filesystem::path& candidate :
       {self.parent_path() / "ks_inference_worker",
        self.parent_path().parent_path() / "lib" / "ks-inference-server" / "ks_inference_worker"}) {
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

size_t productOrZero(size_t a, size_t b) { return a == 0 || b == 0 ? 0 : a * b; }

}  // namespace

struct HostedNetwork::Shared {
  struct Entry {
    std::weak_ptr<const HostedNetwork> network;
    std::shared_future<std::shared_ptr<const HostedNetwork>> loading;  // valid while the first load runs
  };
  // What a network did lately, and the end of its quarantine.
  struct Record {
    unsigned loadsEnded = 0;         // worker processes that ended while loading it, in a row
    std::set<std::string> culprits;  // sessions whose runs ended its workers, with no run succeeding since
    Clock::time_point quarantinedUntil{};
    std::string why;  // of the quarantine
  };

  EngineOptions options;
  WorkerOptions worker;
  std::unique_ptr<HeldMemory> memory;
  std::atomic<int> running{0};  // runs going on, in every worker

  // Throws EngineError kNoRoom: `what` needs `bytes` in all.
  [[noreturn]] void noRoom(const std::string& what, size_t bytes) const {
    const auto mebibytes = [](size_t count) { return std::to_string((count + (size_t{1} << 20) - 1) >> 20); };
    const size_t held = memory->held();
    const size_t free = memory->budget() > held ? memory->budget() - held : 0;
    throw EngineError(EngineError::Kind::kNoRoom, "the server's memory for clients is full: " + what + " need " +
                                                      mebibytes(bytes) + " MiB, and " + mebibytes(free) +
                                                      " MiB of its " + mebibytes(memory->budget()) +
                                                      " MiB budget are free now; try again shortly");
  }

  mutable std::mutex mutex;  // guards everything below
  std::map<Sha256Digest, Entry> entries;
  std::map<Sha256Digest, Record> records;
  WorkerCounts counts;
  size_t heldBytes = 0;

  // Throws EngineError kQuarantined while `digest` is quarantined. Call with `mutex` held.
  void checkQuarantineLocked(const Sha256Digest& digest) const {
    const auto found = records.find(digest);
    if (found == records.end()) return;
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(found->second.quarantinedUntil - Clock::now());
    if (left.count() <= 0) return;
    throw EngineError(EngineError::Kind::kQuarantined, "the network is quarantined: " + found->second.why +
                                                           ", and is refused for another " +
                                                           std::to_string(left.count() + 1) + " s");
  }

  void quarantineLocked(Record& record, std::string why) {
    record = Record{};
    record.quarantinedUntil = Clock::now() + options.quarantineFor;
    record.why = std::move(why);
    counts.quarantines += 1;
  }

  // The map stays bounded: records of networks not quarantined go first when it is full. Call with
  // `mutex` held.
  void trimLocked(const Sha256Digest& keep) {
    for (auto it = records.begin(); records.size() > kMaxRecords && it != records.end();) {
      it = it->second.quarantinedUntil < Clock::now() && it->first != keep ? records.erase(it) : std::next(it);
    }
  }

  void noteExit(const WorkerExit& exit) {
    std::lock_guard<std::mutex> lock(mutex);
    counts.ended[exit.end] += 1;
    counts.running -= 1;
  }

  // A network that kills the engine as it loads kills it for everyone: it alone is at fault.
  void noteLoadEnded(const Sha256Digest& digest) {
    std::lock_guard<std::mutex> lock(mutex);
    Record& record = records[digest];
    if (++record.loadsEnded >= options.quarantineAfter) {
      quarantineLocked(record, "it ended " + std::to_string(options.quarantineAfter) + " engine processes in a row");
    }
    trimLocked(digest);
  }

  void noteLoaded(const Sha256Digest& digest) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = records.find(digest);
    if (found != records.end()) found->second.loadsEnded = 0;
  }

  // A run proven to end workers: the network is at fault only once it does so for every session that
  // runs it, so one client's inputs never lock the others out of a network they share.
  void noteCrashingRun(const Sha256Digest& digest, const std::string& owner) {
    std::lock_guard<std::mutex> lock(mutex);
    counts.crashingRuns += 1;
    Record& record = records[digest];
    record.culprits.insert(owner);
    if (record.culprits.size() >= options.quarantineAfter) {
      quarantineLocked(record, "the runs of " + std::to_string(options.quarantineAfter) +
                                   " sessions in a row ended its engine processes, and none succeeded");
    }
    trimLocked(digest);
  }

  void noteRunSucceeded(const Sha256Digest& digest) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = records.find(digest);
    if (found == records.end()) return;
    found->second.culprits.clear();
    if (found->second.loadsEnded == 0 && found->second.quarantinedUntil < Clock::now()) records.erase(found);
  }

  void noteRerun() {
    std::lock_guard<std::mutex> lock(mutex);
    counts.rerunAlone += 1;
  }
};

HostedNetwork::HostedNetwork(std::shared_ptr<Shared> shared, const Sha256Digest& digest, SharedMemory bytes,
                             size_t memoryLimit)
    : shared_(std::move(shared)), digest_(digest), bytes_(std::move(bytes)), memoryLimit_(memoryLimit) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->checkQuarantineLocked(digest_);
  }
  LoadedMessage loaded;
  worker_ = start(&loaded, shared_->worker.channels);
  // The first load says what the network is; later ones load the same bytes.
  inputs_ = std::move(loaded.inputs);
  outputs_ = std::move(loaded.outputs);
  heldBytes_ = loaded.heldBytes;
  changes_ = std::move(loaded.changes);
}

HostedNetwork::~HostedNetwork() = default;

size_t HostedNetwork::maxRegionBytes() const { return shared_->options.regionBytes; }

const HeldMemory& HostedNetwork::memory() const { return *shared_->memory; }

void HostedNetwork::Lease::reserve(size_t bytes) { reserve(bytes, network_->shared_->options.roomWait); }

void HostedNetwork::Lease::reserve(size_t bytes, std::chrono::milliseconds wait) {
  const Shared& shared = *network_->shared_;
  if (!channel_.reserve(bytes, wait)) shared.noRoom("the request's tensors", bytes);
}

std::shared_ptr<WorkerProcess> HostedNetwork::start(LoadedMessage* loaded, unsigned channels) const {
  std::weak_ptr<Shared> weakShared = shared_;
  const Sha256Digest digest = digest_;
  {
    // Counted before it starts: its end, which the reaper notes, may come before anything else.
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->counts.started += 1;
    shared_->counts.running += 1;
  }
  WorkerLog::Sink log;
  if (shared_->options.workerLog) {
    log = [log = shared_->options.workerLog, prefix = "worker " + digestHex(digest).substr(0, 12) +
                                                      ": "](const std::string& line) { log(prefix + line); };
  }
  WorkerOptions options = shared_->worker;
  options.channels = channels;
  std::shared_ptr<WorkerProcess> worker;
  try {
    worker = std::make_shared<WorkerProcess>(
        options,
        [weakShared](const WorkerExit& exit) {
          if (std::shared_ptr<Shared> shared = weakShared.lock()) shared->noteExit(exit);
        },
        std::move(log));
  } catch (const std::system_error&) {
    // Not spawned: no reaper will note an end.
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->counts.running -= 1;
    throw;
  }
  LoadedMessage reported;
  try {
    reported = worker->load(bytes_, memoryLimit_, shared_->options.loadTimeout);
  } catch (const EngineError& e) {
    if (e.kind() == EngineError::Kind::kWorkerLost) shared_->noteLoadEnded(digest_);
    throw;
  }
  shared_->noteLoaded(digest_);
  if (loaded != nullptr) *loaded = std::move(reported);
  return worker;
}

HostedNetwork::Lease HostedNetwork::lease() const {
  std::shared_ptr<WorkerProcess> worker;
  {
    // Held while a new worker starts, so the requests that meet an ended one start one between them.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!worker_ || !worker_->running()) {
      worker_.reset();
      {
        std::lock_guard<std::mutex> sharedLock(shared_->mutex);
        shared_->checkQuarantineLocked(digest_);
      }
      worker_ = start(nullptr, shared_->worker.channels);
    }
    worker = worker_;
  }
  return Lease(*this, std::move(worker));
}

std::optional<HostedNetwork::Lease> HostedNetwork::tryLease() const {
  std::shared_ptr<WorkerProcess> worker;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!worker_ || !worker_->running()) return std::nullopt;
    worker = worker_;
  }
  std::optional<WorkerProcess::Lease> channel = worker->tryAcquire();
  if (!channel) return std::nullopt;
  return Lease(*this, std::move(worker), std::move(*channel));
}

bool HostedNetwork::workerRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return worker_ && worker_->running();
}

void HostedNetwork::setWorkerNice(int level) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (worker_) worker_->setNice(level);
}

void HostedNetwork::startWorker() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (worker_ && worker_->running()) return;
  worker_.reset();
  {
    std::lock_guard<std::mutex> sharedLock(shared_->mutex);
    shared_->checkQuarantineLocked(digest_);
  }
  worker_ = start(nullptr, shared_->worker.channels);
}

HostedNetwork::Lease::Lease(Lease&& other) noexcept
    : network_(other.network_),
      worker_(std::move(other.worker_)),
      channel_(std::move(other.channel_)),
      out_(std::exchange(other.out_, false)) {}

HostedNetwork::Lease::~Lease() { settle(); }

void HostedNetwork::Lease::settle() {
  if (out_) network_->shared_->running.fetch_sub(1);
  out_ = false;
}

bool HostedNetwork::Lease::send(RunMessage& request) {
  settle();
  request.parallel = network_->shared_->running.fetch_add(1) == 0;
  out_ = true;
  if (channel_.send(request)) return true;
  settle();
  return false;
}

WorkerProcess::Lease::Reply HostedNetwork::Lease::poll(const RunMessage& request, RanMessage& ran) {
  WorkerProcess::Lease::Reply reply;
  try {
    reply = channel_.poll(request, nullptr, ran);
  } catch (...) {
    settle();
    throw;
  }
  if (reply == WorkerProcess::Lease::Reply::kPending) return reply;
  settle();
  if (reply == WorkerProcess::Lease::Reply::kReady) network_->shared_->noteRunSucceeded(network_->digest_);
  return reply;
}

RanMessage HostedNetwork::Lease::runAgainAlone(RunMessage& request, const RunControl* control,
                                               const std::string& owner) {
  network_->shared_->noteRerun();
  return network_->runAlone(request, channel_, control, owner);
}

RanMessage HostedNetwork::Lease::run(RunMessage& request, const RunControl* control, const std::string& owner) {
  Shared& shared = *network_->shared_;
  request.parallel = shared.running.fetch_add(1) == 0;
  struct Done {
    std::atomic<int>& running;
    ~Done() { running.fetch_sub(1); }
  } done{shared.running};
  try {
    RanMessage ran = channel_.run(request, control, shared.options.stopGrace);
    shared.noteRunSucceeded(network_->digest_);
    return ran;
  } catch (const EngineError& e) {
    if (e.kind() != EngineError::Kind::kWorkerLost) throw;
    // Any run in the process may have ended it; runs are pure, so each is tried again by itself. Only a
    // stop (the network going, the server stopping) is no one's doing.
    const WorkerEnd end = worker_->awaitExit(std::chrono::milliseconds(0)).end;
    if (end == WorkerEnd::kStopped || end == WorkerEnd::kRunning) throw;
  }
  shared.noteRerun();
  return network_->runAlone(request, channel_, control, owner);
}

RanMessage HostedNetwork::runAlone(RunMessage& request, WorkerProcess::Lease& caller, const RunControl* control,
                                   const std::string& owner) const {
  const std::chrono::milliseconds grace = shared_->options.stopGrace;
  waitingAlone_.fetch_add(1);
  std::lock_guard<std::mutex> lock(aloneMutex_);
  struct Leave {
    const HostedNetwork& network;
    // The last run waiting to run alone takes the process with it: it is there for suspects only.
    ~Leave() {
      if (network.waitingAlone_.fetch_sub(1) == 1) network.alone_.reset();
    }
  } leave{*this};
  if (control != nullptr && control->interrupted()) {
    throw EngineError(EngineError::Kind::kInterrupted, control->reason());
  }
  if (!alone_ || !alone_->running()) {
    alone_.reset();
    {
      std::lock_guard<std::mutex> sharedLock(shared_->mutex);
      shared_->checkQuarantineLocked(digest_);
    }
    alone_ = start(nullptr, 1);
  }
  const std::shared_ptr<WorkerProcess> worker = alone_;
  WorkerProcess::Lease channel = worker->acquire();
  uint64_t inputsEnd = 0;
  for (const PlacedTensor& input : request.inputs) inputsEnd = std::max(inputsEnd, input.offset + input.bytes);
  if (!channel.reserve(inputsEnd, shared_->options.roomWait))
    shared_->noRoom("the inputs of a run again alone", inputsEnd);
  SharedMemory& own = channel.region();
  SharedMemory& region = caller.region();
  if (inputsEnd != 0) std::memcpy(own.data(), region.data(), inputsEnd);
  RanMessage ran;
  try {
    ran = channel.run(request, control, grace);
  } catch (const EngineError& e) {
    if (e.kind() != EngineError::Kind::kWorkerLost) throw;
    const WorkerEnd end = worker->awaitExit(std::chrono::milliseconds(0)).end;
    if (end == WorkerEnd::kStopped || end == WorkerEnd::kRunning) throw;
    shared_->noteCrashingRun(digest_, owner);
    throw RunCrashed(e.what());
  }
  uint64_t outputsEnd = 0;
  for (const PlacedTensor& output : ran.outputs) outputsEnd = std::max(outputsEnd, output.offset + output.bytes);
  if (!caller.reserve(outputsEnd, shared_->options.roomWait)) shared_->noRoom("the outputs", outputsEnd);
  for (const PlacedTensor& output : ran.outputs) {
    if (output.bytes != 0) std::memcpy(region.data() + output.offset, own.data() + output.offset, output.bytes);
  }
  shared_->noteRunSucceeded(digest_);
  return ran;
}

NetworkRegistry::NetworkRegistry(EngineOptions options) : shared_(std::make_shared<HostedNetwork::Shared>()) {
  if (options.workerProgram.empty()) options.workerProgram = defaultWorkerProgram();
  if (options.workerProgram.empty() || ::access(options.workerProgram.c_str(), X_OK) != 0) {
    throw std::runtime_error(
        "no worker program: ks_inference_worker is neither beside this program nor in "
        "../lib/ks-inference-server/ from it" +
        (options.workerProgram.empty() ? std::string() : " nor at " + options.workerProgram));
  }
  const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
  if (options.threads == 0) options.threads = processors;
  if (options.runsAtOnce == 0) options.runsAtOnce = processors;
  WorkerOptions& worker = shared_->worker;
  worker.program = options.workerProgram;
  worker.channels = options.runsAtOnce;
  worker.threads = options.threads;
  worker.regionBytes = options.regionBytes;
  // Two copies of the network (parallel and sequential runs), and every run at once at its limit.
  const size_t network = productOrZero(options.networkMemoryBytes, options.threads > 1 ? 2 : 1);
  const size_t runs = productOrZero(options.inferenceMemoryBytes, options.runsAtOnce);
  worker.memoryBytes = network == 0 || runs == 0 ? 0 : network + runs;
  // The networks take half the budget at most.
  if (options.memoryBudgetBytes != 0) {
    const size_t half = options.memoryBudgetBytes / 2;
    if (options.totalNetworkMemoryBytes == 0 || options.totalNetworkMemoryBytes > half) {
      options.totalNetworkMemoryBytes = half;
    }
  }
  shared_->memory = std::make_unique<HeldMemory>(options.memoryBudgetBytes);
  worker.memory = shared_->memory.get();
  shared_->options = std::move(options);
}

NetworkRegistry::~NetworkRegistry() = default;

std::shared_ptr<const HostedNetwork> NetworkRegistry::load(const std::string& modelBytes) {
  SharedMemory region = SharedMemory::create("ks-network", modelBytes.size());
  if (!modelBytes.empty()) std::memcpy(region.data(), modelBytes.data(), modelBytes.size());
  return load(std::move(region));
}

std::shared_ptr<const HostedNetwork> NetworkRegistry::load(SharedMemory modelBytes) {
  modelBytes.sealReadOnly();
  const Sha256Digest digest = sha256(modelBytes.data(), modelBytes.size());
  std::promise<std::shared_ptr<const HostedNetwork>> promise;
  size_t memoryLimit = shared_->options.networkMemoryBytes;
  {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    HostedNetwork::Shared::Entry& entry = shared_->entries[digest];
    if (std::shared_ptr<const HostedNetwork> held = entry.network.lock()) return held;
    if (entry.loading.valid()) {
      std::shared_future<std::shared_ptr<const HostedNetwork>> loading = entry.loading;
      lock.unlock();
      return loading.get();
    }
    const size_t total = shared_->options.totalNetworkMemoryBytes;
    if (total != 0) {
      const size_t room = total > shared_->heldBytes ? total - shared_->heldBytes : 0;
      if (room == 0) {
        shared_->entries.erase(digest);
        throw EngineError(EngineError::Kind::kOverBudget, "the loaded networks already hold the " +
                                                              std::to_string(total >> 20) +
                                                              " MiB of memory all networks may hold together");
      }
      if (memoryLimit == 0 || room < memoryLimit) memoryLimit = room;
    }
    const HeldMemory& memory = *shared_->memory;
    if (memory.budget() != 0) {
      const size_t held = memory.held();
      const size_t room = memory.budget() > held ? memory.budget() - held : 0;
      if (room <= modelBytes.size()) {
        shared_->entries.erase(digest);
        lock.unlock();
        shared_->noRoom("the network's bytes", modelBytes.size());
      }
      if (memoryLimit == 0 || room - modelBytes.size() < memoryLimit) memoryLimit = room - modelBytes.size();
    }
    entry.loading = promise.get_future().share();
  }

  std::shared_ptr<const HostedNetwork> network;
  try {
    auto* loaded = new HostedNetwork(shared_, digest, std::move(modelBytes), memoryLimit);
    // The entry goes with the network's last user; the shared state outlives both.
    std::weak_ptr<HostedNetwork::Shared> weakShared = shared_;
    const size_t held = loaded->heldBytes();
    // Its bytes and what the engine holds for it are in use now: counted, whether they fit or not (the
    // engine's share was bounded by the room there was).
    const size_t charged = held + loaded->bytes().size();
    shared_->memory->count(charged);
    network =
        std::shared_ptr<const HostedNetwork>(loaded, [weakShared, digest, held, charged](const HostedNetwork* gone) {
          if (std::shared_ptr<HostedNetwork::Shared> shared = weakShared.lock()) {
            shared->memory->give(charged);
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->heldBytes -= held;
            auto found = shared->entries.find(digest);
            if (found != shared->entries.end() && found->second.network.expired() && !found->second.loading.valid()) {
              shared->entries.erase(found);
            }
          }
          delete gone;
        });
  } catch (...) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->entries.erase(digest);
    promise.set_exception(std::current_exception());
    throw;
  }
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->heldBytes += network->heldBytes();
  HostedNetwork::Shared::Entry& entry = shared_->entries[digest];
  entry.network = network;
  entry.loading = {};
  promise.set_value(network);
  return network;
}

std::shared_ptr<const HostedNetwork> NetworkRegistry::held(const Sha256Digest& digest) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  const auto found = shared_->entries.find(digest);
  return found == shared_->entries.end() ? nullptr : found->second.network.lock();
}

size_t NetworkRegistry::count() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  size_t held = 0;
  for (const auto& entry : shared_->entries) held += entry.second.network.expired() ? 0 : 1;
  return held;
}

size_t NetworkRegistry::heldBytes() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->heldBytes;
}

WorkerCounts NetworkRegistry::workerCounts() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->counts;
}

const EngineOptions& NetworkRegistry::options() const { return shared_->options; }

const HeldMemory& NetworkRegistry::memory() const { return *shared_->memory; }

}  // namespace server
}  // namespace ks
