#include "ks_worker_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <system_error>
#include <utility>

#include "ks_core/ks_tensor_layout.h"

extern char** environ;

namespace ks {
namespace server {
namespace {

constexpr int kControlFd = 3;
constexpr int kMaxDimensions = 4;
// A worker whose priority could not be raised again.
constexpr int kNiceStuck = 100;

// How long a run's caller waits awake for the reply before it sleeps, when the last reply came as soon:
// then it saves the wake of a sleeping thread, which costs more than a small inference. Longer runs are
// waited for asleep, leaving the processor to the engine.
constexpr int kSpinMicroseconds = 50;

[[noreturn]] void lostWith(const WorkerExit& exit) {
  throw EngineError(EngineError::Kind::kWorkerLost, describeExit(exit));
}

const char* signalName(int signal) {
  switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGSYS: return "SIGSYS";
    case SIGKILL: return "SIGKILL";
    case SIGTERM: return "SIGTERM";
    case SIGXFSZ: return "SIGXFSZ";
    case SIGXCPU: return "SIGXCPU";
    case SIGTRAP: return "SIGTRAP";
    case SIGPIPE: return "SIGPIPE";
    default: return "a signal";
  }
}

// The environment a worker gets: none of the server's, but ONNX Runtime's telemetry opt-out (Microsoft's
// builds since 1.29 otherwise write a device id and an event store under $HOME and upload them; the
// variable was renamed once, hence both) and what the sanitizers of an instrumented build read: no leak
// check, no symbolizing and no handling of fatal signals, all of which would need what the sandbox
// forbids, so that a worker ends by the signal it met as it would uninstrumented.
std::vector<std::string> workerEnvironment() {
  std::vector<std::string> environment = {"PATH=/usr/bin:/bin", "ORT_DISABLE_TELEMETRY=1", "ORT_TELEMETRY_DISABLED=1"};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "ASAN_OPTIONS=", 13) == 0 || std::strncmp(*entry, "UBSAN_OPTIONS=", 14) == 0) {
      environment.emplace_back(*entry);
    }
  }
  const std::string quiet =
      "detect_leaks=0:symbolize=0:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
  bool asan = false;
  for (std::string& entry : environment) {
    if (entry.rfind("ASAN_OPTIONS=", 0) == 0) {
      entry += ":" + quiet;
      asan = true;
    }
  }
  if (!asan) environment.emplace_back("ASAN_OPTIONS=" + quiet);
  return environment;
}

// Checks one tensor of a reply against what the protocol can carry and the region holds.
bool plausible(const PlacedTensor& tensor, size_t regionSize) {
  if (tensor.dataType > static_cast<int32_t>(TensorDataType::kInt64)) return false;
  if (tensor.dims.empty() || tensor.dims.size() > kMaxDimensions) return false;
  for (int64_t dim : tensor.dims) {
    if (dim > INT32_MAX) return false;
  }
  return tensor.bytes <= UINT32_MAX && liesWithin(tensor, regionSize);
}

// A worker asks to be killed when its parent goes (PR_SET_PDEATHSIG), and Linux takes the parent to be the
// thread that spawned it, not the process: every worker is spawned by this one thread, which lives as long
// as the process, whatever thread asks for the worker.
class Spawner {
 public:
  static Spawner& instance() {
    static Spawner* spawner = new Spawner();  // never destroyed: its thread outlives every caller
    return *spawner;
  }

  // Runs `spawn` on the spawning thread and returns what it returned.
  int run(const std::function<int()>& spawn) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t ticket = ++asked_;
    tasks_.emplace_back(ticket, &spawn);
    changed_.notify_all();
    changed_.wait(lock, [&] { return results_.count(ticket) != 0; });
    const int result = results_[ticket];
    results_.erase(ticket);
    return result;
  }

 private:
  Spawner() {
    std::thread([this] { work(); }).detach();
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return !tasks_.empty(); });
      const auto [ticket, spawn] = tasks_.front();
      tasks_.pop_front();
      lock.unlock();
      const int result = (*spawn)();
      lock.lock();
      results_[ticket] = result;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t asked_ = 0;
  std::deque<std::pair<uint64_t, const std::function<int()>*>> tasks_;
  std::map<uint64_t, int> results_;
};

uint64_t nextSerial() {
  static std::atomic<uint64_t> serial{0};
  return ++serial;
}

}  // namespace

std::string describeExit(const WorkerExit& exit) {
  const std::string process = "the engine process running the network ";
  switch (exit.end) {
    case WorkerEnd::kRunning: return process + "is still running";
    case WorkerEnd::kExited: return process + "exited with status " + std::to_string(exit.status);
    case WorkerEnd::kCrashed:
      return process + "crashed (signal " + std::to_string(exit.signal) + ", " + signalName(exit.signal) + ")";
    case WorkerEnd::kSandbox:
      return process + "was killed by its sandbox (signal 31, SIGSYS): the network tried a system call it forbids";
    case WorkerEnd::kKilled:
      return process + "was killed (signal 9, SIGKILL), most likely by the kernel for want of memory";
    case WorkerEnd::kTimedOut: return process + "was killed: a run on it did not stop when its time was up";
    case WorkerEnd::kMisbehaved: return process + "was killed: it broke the protocol";
    case WorkerEnd::kStopped: return process + "was stopped by the server";
  }
  return process + "ended";
}

const char* endName(WorkerEnd end) {
  switch (end) {
    case WorkerEnd::kRunning: return "running";
    case WorkerEnd::kExited: return "exited";
    case WorkerEnd::kCrashed: return "crashed";
    case WorkerEnd::kSandbox: return "sandbox";
    case WorkerEnd::kKilled: return "killed";
    case WorkerEnd::kTimedOut: return "timed_out";
    case WorkerEnd::kMisbehaved: return "misbehaved";
    case WorkerEnd::kStopped: return "stopped";
  }
  return "unknown";
}

WorkerProcess::WorkerProcess(const WorkerOptions& options, WorkerExitListener onExit, WorkerLog::Sink onLog)
    : options_(options),
      onExit_(std::move(onExit)),
      serial_(nextSerial()),
      log_(onLog ? std::move(onLog) : [](const std::string&) {}),
      channels_(options.channels) {
  // The ends the child gets first go above every descriptor it will have, so no dup2 below overwrites
  // a descriptor another one still has to copy.
  const int firstFree = kControlFd + 1 + static_cast<int>(options.channels);
  std::vector<UniqueFd> childEnds;
  auto keep = [&](WorkerChannel child) {
    UniqueFd end = child.release();
    const int high = ::fcntl(end.get(), F_DUPFD_CLOEXEC, firstFree);
    if (high < 0) throw std::system_error(errno, std::generic_category(), "F_DUPFD_CLOEXEC");
    childEnds.emplace_back(high);
  };
  auto control = WorkerChannel::pair();
  control_ = std::move(control.first);
  keep(std::move(control.second));
  for (Channel& channel : channels_) {
    auto ends = WorkerChannel::pair();
    channel.socket = std::move(ends.first);
    keep(std::move(ends.second));
  }
  // Its standard output and error: never the server's own, which carry the request log.
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  output_.reset(output[0]);
  UniqueFd outputEnd(::fcntl(output[1], F_DUPFD_CLOEXEC, firstFree));
  ::close(output[1]);
  if (!outputEnd) throw std::system_error(errno, std::generic_category(), "F_DUPFD_CLOEXEC");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outputEnd.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, outputEnd.get(), 2);
  for (size_t i = 0; i < childEnds.size(); ++i) {
    posix_spawn_file_actions_adddup2(&actions, childEnds[i].get(), kControlFd + static_cast<int>(i));
  }
  const std::vector<std::string> arguments = {options.program,
                                              "--parent=" + std::to_string(::getpid()),
                                              "--channels=" + std::to_string(options.channels),
                                              "--threads=" + std::to_string(options.threads),
                                              "--memory-mb=" + std::to_string(options.memoryBytes >> 20),
                                              "--region-mb=" + std::to_string(options.regionBytes >> 20)};
  const std::vector<std::string> environment = workerEnvironment();
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  const int spawned = Spawner::instance().run(
      [&] { return ::posix_spawn(&pid_, options.program.c_str(), &actions, nullptr, argv.data(), envp.data()); });
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::system_error(spawned, std::generic_category(), "posix_spawn " + options.program);
  childEnds.clear();
  outputEnd.reset();
  reaper_ = std::thread([this] { reap(); });

  for (uint32_t i = 0; i < options.channels; ++i) free_.push_back(options.channels - 1 - i);
  try {
    std::string message;
    const auto got = control_.receive(message, nullptr, static_cast<int>(options.startTimeout.count()));
    if (got == WorkerChannel::Received::kTimedOut) {
      kill(WorkerEnd::kTimedOut);
      lostWith(awaitExit(std::chrono::seconds(5)));
    }
    if (got != WorkerChannel::Received::kMessage) lostWith(lost());
    HelloMessage hello;
    try {
      decode(message, hello);
    } catch (const MalformedMessage&) {
      kill(WorkerEnd::kMisbehaved);
      lostWith(awaitExit(std::chrono::seconds(5)));
    }
    sandbox_ = hello.sandbox;
  } catch (...) {
    // The destructor does not run for a constructor that throws.
    kill(WorkerEnd::kStopped);
    reaper_.join();
    throw;
  }
}

WorkerProcess::~WorkerProcess() {
  // Closing its sockets tells it to go; one that lingers is killed.
  control_ = WorkerChannel();
  for (Channel& channel : channels_) channel.socket = WorkerChannel();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (killedFor_ == WorkerEnd::kRunning) killedFor_ = WorkerEnd::kStopped;
    if (!changed_.wait_for(lock, std::chrono::seconds(1), [&] { return exit_.end != WorkerEnd::kRunning; }) &&
        !reaped_) {
      ::kill(pid_, SIGKILL);
    }
  }
  reaper_.join();
  if (options_.memory != nullptr) {
    for (Channel& channel : channels_) options_.memory->giveFromRegion(channel.charged);
  }
}

void WorkerProcess::readOutput() {
  // Only the process holds the write end, so the pipe ends when the process does.
  char bytes[4096];
  for (;;) {
    const ssize_t got = ::read(output_.get(), bytes, sizeof bytes);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    log_.feed(bytes, static_cast<size_t>(got));
  }
  log_.finish();
  output_.reset();
}

void WorkerProcess::reap() {
  readOutput();
  int status = 0;
  pid_t done = -1;
  do {
    done = ::waitpid(pid_, &status, 0);
  } while (done < 0 && errno == EINTR);
  std::unique_lock<std::mutex> lock(mutex_);
  WorkerExit exit;
  if (done < 0) {
    exit.end = WorkerEnd::kExited;
    exit.status = -1;
  } else if (WIFEXITED(status)) {
    exit.end = WorkerEnd::kExited;
    exit.status = WEXITSTATUS(status);
  } else {
    exit.signal = WTERMSIG(status);
    if (exit.signal == SIGKILL && killedFor_ != WorkerEnd::kRunning) {
      exit.end = killedFor_;
    } else if (exit.signal == SIGKILL) {
      exit.end = WorkerEnd::kKilled;
    } else if (exit.signal == SIGSYS) {
      exit.end = WorkerEnd::kSandbox;
    } else {
      exit.end = WorkerEnd::kCrashed;
    }
  }
  // One that exits when told to go counts as stopped, whatever its status.
  if (killedFor_ == WorkerEnd::kStopped && exit.end == WorkerEnd::kExited) exit.end = WorkerEnd::kStopped;
  // The listener hears of the end before anyone waiting for it does, so that whoever sees a worker gone
  // also sees it counted. The pid is no longer ours to signal from here on.
  reaped_ = true;
  lock.unlock();
  if (onExit_) onExit_(exit);
  lock.lock();
  exit_ = exit;
  changed_.notify_all();
  std::vector<std::function<void(const WorkerExit&)>> listeners;
  listeners.swap(endListeners_);
  lock.unlock();
  for (auto& listener : listeners) listener(exit);
}

void WorkerProcess::whenEnded(std::function<void(const WorkerExit&)> callback) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (exit_.end == WorkerEnd::kRunning) {
    endListeners_.push_back(std::move(callback));
    return;
  }
  const WorkerExit exit = exit_;
  lock.unlock();
  callback(exit);
}

std::optional<WorkerProcess::Lease> WorkerProcess::tryAcquire() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (free_.empty()) return std::nullopt;
  const uint32_t channel = free_.back();
  free_.pop_back();
  return Lease(*this, channel);
}

void WorkerProcess::setNice(int level) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int was = nice_.load();
  if (was == level || was == kNiceStuck) return;
  nice_ = level;
  if (reaped_) return;
  // Linux sets a nice value per thread: each of its threads is set, and threads they start inherit it.
  DIR* tasks = ::opendir(("/proc/" + std::to_string(pid_) + "/task").c_str());
  if (tasks == nullptr) return;
  bool refused = false;
  while (const dirent* task = ::readdir(tasks)) {
    const long tid = std::strtol(task->d_name, nullptr, 10);
    if (tid > 0 && ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), level) != 0) refused = true;
  }
  ::closedir(tasks);
  // Raising a priority again takes a RLIMIT_NICE that allows it (or CAP_SYS_NICE); without one the
  // process keeps the lower priority, and is not asked again.
  if (refused && level < was) nice_ = kNiceStuck;
}

void WorkerProcess::kill(WorkerEnd why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (reaped_) return;
  if (killedFor_ == WorkerEnd::kRunning) killedFor_ = why;
  ::kill(pid_, SIGKILL);
}

WorkerExit WorkerProcess::awaitExit(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, wait, [&] { return exit_.end != WorkerEnd::kRunning; });
  return exit_;
}

bool WorkerProcess::running() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !reaped_ && killedFor_ == WorkerEnd::kRunning;
}

WorkerExit WorkerProcess::lost() {
  // A socket closes as its process dies; the reaper follows within moments. A process whose socket
  // closed and that still runs has broken the protocol.
  WorkerExit exit = awaitExit(std::chrono::seconds(2));
  if (exit.end == WorkerEnd::kRunning) {
    kill(WorkerEnd::kMisbehaved);
    exit = awaitExit(std::chrono::seconds(5));
  }
  return exit;
}

LoadedMessage WorkerProcess::load(const SharedMemory& network, uint64_t memoryLimit,
                                  std::chrono::milliseconds timeout) {
  if (!control_.send(encode(LoadMessage{memoryLimit}), network.fd())) lostWith(lost());
  std::string message;
  const auto got =
      control_.receive(message, nullptr, timeout.count() > INT_MAX ? -1 : static_cast<int>(timeout.count()));
  if (got == WorkerChannel::Received::kTimedOut) {
    kill(WorkerEnd::kTimedOut);
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", static_cast<double>(timeout.count()) / 1000.0);
    throw EngineError(EngineError::Kind::kWorkerLost, std::string("the engine process loading the network did not "
                                                                  "finish within the ") +
                                                          limit + " s a load may take, and was killed");
  }
  if (got != WorkerChannel::Received::kMessage) lostWith(lost());
  try {
    if (typeOf(message) == WorkerMessageType::kFailed) {
      FailedMessage failed;
      decode(message, failed);
      if (failed.sequence != 0) throw MalformedMessage("a failure of a run during a load");
      throw EngineError(failed.kind, failed.text);
    }
    LoadedMessage loaded;
    decode(message, loaded);
    for (const auto* values : {&loaded.inputs, &loaded.outputs}) {
      for (const ValueDescription& value : *values) {
        if (value.dataType < -1 || value.dataType > static_cast<int32_t>(TensorDataType::kInt64)) {
          throw MalformedMessage("an unknown data type");
        }
        for (int64_t dim : value.dims) {
          if (dim < -1) throw MalformedMessage("a negative dimension");
        }
      }
    }
    return loaded;
  } catch (const MalformedMessage&) {
    kill(WorkerEnd::kMisbehaved);
    lostWith(awaitExit(std::chrono::seconds(5)));
  }
}

void WorkerProcess::interrupt(uint32_t channel, uint64_t sequence) {
  control_.send(encode(InterruptMessage{channel, sequence}));
}

WorkerProcess::Lease WorkerProcess::acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return !free_.empty(); });
  const uint32_t channel = free_.back();
  free_.pop_back();
  return Lease(*this, channel);
}

void WorkerProcess::trim(Channel& channel) {
  if (channel.charged <= options_.keptRegionBytes || !channel.region) return;
  try {
    channel.region.release(options_.keptRegionBytes);
  } catch (const std::system_error&) {
    return;  // still held, still counted
  }
  if (options_.memory != nullptr) options_.memory->giveFromRegion(channel.charged - options_.keptRegionBytes);
  channel.charged = options_.keptRegionBytes;
}

void WorkerProcess::charge(Channel& channel, size_t used) {
  if (used <= channel.charged) return;
  if (options_.memory != nullptr) options_.memory->countForRegion(used - channel.charged);
  channel.charged = used;
}

void WorkerProcess::release(uint32_t channel) {
  // Only the lease's holder touches its channel: trimmed before it is free for another.
  trim(channels_[channel]);
  std::lock_guard<std::mutex> lock(mutex_);
  free_.push_back(channel);
  changed_.notify_all();
}

WorkerProcess::Lease::Lease(Lease&& other) noexcept
    : worker_(std::exchange(other.worker_, nullptr)), channel_(other.channel_) {}

WorkerProcess::Lease::~Lease() {
  if (worker_ != nullptr) worker_->release(channel_);
}

SharedMemory& WorkerProcess::Lease::region() {
  Channel& channel = worker_->channels_[channel_];
  if (!channel.region) channel.region = SharedMemory::create("ks-run-region", 0);
  return channel.region;
}

bool WorkerProcess::Lease::reserve(size_t bytes, std::chrono::milliseconds wait) {
  Channel& channel = worker_->channels_[channel_];
  SharedMemory& shared = region();
  if (bytes > channel.charged) {
    HeldMemory* memory = worker_->options_.memory;
    if (memory != nullptr && !memory->takeForRegion(bytes - channel.charged, wait)) return false;
    channel.charged = bytes;
  }
  // Grown by halves at least, so a request of many tensors does not remap the region for each; the file
  // costs nothing until written.
  if (bytes > shared.size()) {
    shared.reserve(std::min(worker_->options_.regionBytes, std::max(bytes, shared.size() * 3 / 2)));
  }
  return true;
}

bool WorkerProcess::Lease::send(RunMessage& request) {
  Channel& channel = worker_->channels_[channel_];
  SharedMemory& shared = region();
  request.sequence = ++channel.sequence;
  // The region's descriptor goes once; the worker keeps it and sees every growth through it.
  if (!channel.socket.send(encode(request), channel.regionSent ? -1 : shared.fd())) return false;
  channel.regionSent = true;
  return true;
}

int WorkerProcess::Lease::descriptor() const { return worker_->channels_[channel_].socket.fd(); }

void WorkerProcess::Lease::interrupt(const RunMessage& request) { worker_->interrupt(channel_, request.sequence); }

WorkerProcess::Lease::Reply WorkerProcess::Lease::poll(const RunMessage& request, const RunControl* control,
                                                       RanMessage& ran) {
  std::string message;
  const auto got = worker_->channels_[channel_].socket.tryReceive(message);
  if (got == WorkerChannel::Received::kTimedOut) return Reply::kPending;
  if (got != WorkerChannel::Received::kMessage) return Reply::kClosed;
  try {
    ran = check(message, request, control);
    return Reply::kReady;
  } catch (const MalformedMessage&) {
    worker_->kill(WorkerEnd::kMisbehaved);
    lostWith(WorkerExit{WorkerEnd::kMisbehaved, SIGKILL, 0});
  }
}

RanMessage WorkerProcess::Lease::run(RunMessage& request, const RunControl* control, std::chrono::milliseconds grace) {
  WorkerProcess& worker = *worker_;
  Channel& channel = worker.channels_[channel_];
  if (!send(request)) lostWith(worker.lost());

  std::string message;
  bool interrupted = false;
  const auto sent = std::chrono::steady_clock::now();
  const bool spin = worker.lastRunMicroseconds_.load(std::memory_order_relaxed) <= kSpinMicroseconds;
  for (;;) {
    const int wakeFd = control != nullptr && !interrupted ? control->wakeFd() : -1;
    const int timeout = interrupted ? static_cast<int>(grace.count()) : -1;
    const auto got =
        channel.socket.receive(message, nullptr, timeout, wakeFd, interrupted || !spin ? 0 : kSpinMicroseconds);
    if (got == WorkerChannel::Received::kWoken) {
      interrupted = true;
      worker.interrupt(channel_, request.sequence);
      continue;
    }
    if (got == WorkerChannel::Received::kTimedOut) {
      // This run's own time was up: its caller hears that; other runs on the process hear that it was
      // killed.
      worker.kill(WorkerEnd::kTimedOut);
      worker.awaitExit(std::chrono::seconds(5));
      throw EngineError(EngineError::Kind::kInterrupted, control->reason());
    }
    if (got == WorkerChannel::Received::kClosed) lostWith(worker.lost());
    break;
  }
  worker.lastRunMicroseconds_.store(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - sent).count(),
      std::memory_order_relaxed);
  try {
    return check(message, request, control);
  } catch (const MalformedMessage&) {
    worker.kill(WorkerEnd::kMisbehaved);
    lostWith(worker.awaitExit(std::chrono::seconds(5)));
  }
}

RanMessage WorkerProcess::Lease::check(const std::string& message, const RunMessage& request,
                                       const RunControl* control) {
  WorkerProcess& worker = *worker_;
  Channel& channel = worker.channels_[channel_];
  SharedMemory& shared = region();
  if (typeOf(message) == WorkerMessageType::kFailed) {
    FailedMessage failed;
    decode(message, failed);
    if (failed.sequence != request.sequence || failed.kind == EngineError::Kind::kWorkerLost ||
        failed.kind == EngineError::Kind::kQuarantined) {
      throw MalformedMessage("a failure of another run");
    }
    if (failed.kind == EngineError::Kind::kInterrupted && control != nullptr && control->interrupted()) {
      throw EngineError(failed.kind, control->reason());
    }
    throw EngineError(failed.kind, failed.text);
  }
  RanMessage ran;
  decode(message, ran);
  if (ran.sequence != request.sequence || ran.outputs.size() != request.outputs.size()) {
    throw MalformedMessage("a reply to another run");
  }
  // A region only grows (it is sealed against shrinking), so outputs within what is mapped need no look
  // at its size; one past it makes the mapping follow the file, as far as the bound allows.
  bool mapped = true;
  for (const PlacedTensor& output : ran.outputs) mapped = mapped && liesWithin(output, shared.size());
  if (!mapped && !shared.refresh(worker.options_.regionBytes)) throw MalformedMessage("a region grown past its bound");
  uint64_t used = 0;
  for (size_t i = 0; i < ran.outputs.size(); ++i) {
    if (ran.outputs[i].index != i || !plausible(ran.outputs[i], shared.size())) {
      throw MalformedMessage("an output outside the region or the protocol");
    }
    used = std::max<uint64_t>(used, ran.outputs[i].offset + ran.outputs[i].bytes);
  }
  // The worker wrote the outputs where it chose: the memory is in use, whether it fit or not.
  worker.charge(channel, used);
  return ran;
}

}  // namespace server
}  // namespace ks
