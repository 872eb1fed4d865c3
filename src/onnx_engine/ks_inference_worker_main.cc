// ks_inference_worker: runs one client network for the inference server, confined. The server starts it
// with posix_spawn and talks to it over descriptors it inherits: 3 is the control socket (hello, load,
// interrupt), 4 to 4+K-1 are K run channels, each with a shared region for its tensors; 1 and 2 are a pipe
// the server reads into its log, line by line and bounded. The program loads
// ONNX Runtime and starts every thread it will have, locks itself down, says hello, and only then reads the
// network. It ends when the server closes the control socket, or dies with the server.
#include <getopt.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ks_engine_error.h"
#include "ks_memory_budget.h"
#include "ks_onnx_network.h"
#include "ks_onnx_runtime.h"
#include "ks_placed_run.h"
#include "ks_shared_memory.h"
#include "ks_worker_channel.h"
#include "ks_worker_messages.h"
#include "ks_worker_sandbox.h"

namespace ks {
namespace server {
namespace {

constexpr int kControlFd = 3;
constexpr int kFirstChannelFd = 4;

const char kUsage[] =
    "Usage: ks_inference_worker --parent PID --channels K [--threads N] [--memory-mb N] [--region-mb N]\n"
    "Started by ks_inference_server, never by hand: descriptor 3 is its control socket, 4 to 4+K-1 its run\n"
    "channels.\n";

struct Options {
  pid_t parent = 0;
  unsigned channels = 0;
  unsigned threads = 1;
  size_t memoryBytes = 0;                // what the engine may allocate in all: the network and every run; 0: no bound
  size_t regionBytes = size_t{1} << 30;  // the largest shared region of one channel
};

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "ks_inference_worker: %s\n", why.c_str());
  std::_Exit(3);
}

Options parseOptions(int argc, char** argv) {
  static const option kOptions[] = {
      {"parent", required_argument, nullptr, 'p'},    {"channels", required_argument, nullptr, 'c'},
      {"threads", required_argument, nullptr, 't'},   {"memory-mb", required_argument, nullptr, 'm'},
      {"region-mb", required_argument, nullptr, 'r'}, {nullptr, 0, nullptr, 0}};
  Options options;
  int option = 0;
  while ((option = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    char* end = nullptr;
    const unsigned long long value = optarg != nullptr ? std::strtoull(optarg, &end, 10) : 0;
    if (optarg == nullptr || end == optarg || *end != '\0') {
      std::fputs(kUsage, stderr);
      std::exit(2);
    }
    switch (option) {
      case 'p': options.parent = static_cast<pid_t>(value); break;
      case 'c': options.channels = static_cast<unsigned>(value); break;
      case 't': options.threads = static_cast<unsigned>(value); break;
      case 'm': options.memoryBytes = static_cast<size_t>(value) << 20; break;
      case 'r': options.regionBytes = static_cast<size_t>(value) << 20; break;
      default: std::fputs(kUsage, stderr); std::exit(2);
    }
  }
  if (options.parent <= 0 || options.channels == 0 || options.channels > 256 || options.threads == 0 ||
      options.threads > 1024) {
    std::fputs(kUsage, stderr);
    std::exit(2);
  }
  return options;
}

bool isSocket(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
}

// The address space mapped now: the sandbox's limit comes on top of it.
size_t mappedBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  statm >> pages;
  return pages * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

// One run channel and the run going on over it.
struct Runner {
  WorkerChannel channel;
  SharedMemory region;
  std::mutex mutex;                    // guards the three below
  uint64_t sequence = 0;               // of the run going on, or the last one
  uint64_t interruptedSequence = 0;    // the highest run the server asked to stop
  Ort::RunOptions* options = nullptr;  // of the run going on
  std::atomic<bool> terminated{false};
};

class Worker {
 public:
  explicit Worker(const Options& options) : options_(options), runners_(options.channels) {
    for (unsigned i = 0; i < options.channels; ++i) {
      runners_[i].channel = WorkerChannel(UniqueFd(kFirstChannelFd + static_cast<int>(i)));
    }
    control_ = WorkerChannel(UniqueFd(kControlFd));
  }

  // Threads start before the lockdown forbids new ones; they wait for runs, which come after the load.
  void startRunners() {
    for (Runner& runner : runners_) std::thread([this, &runner] { serve(runner); }).detach();
  }

  void hello(const std::string& sandbox) {
    if (!control_.send(encode(HelloMessage{sandbox}))) std::_Exit(0);
  }

  // Serves the control socket until the server closes it.
  [[noreturn]] void control() {
    std::string message;
    for (;;) {
      UniqueFd fd;
      if (control_.receive(message, &fd) != WorkerChannel::Received::kMessage) std::_Exit(0);
      try {
        switch (typeOf(message)) {
          case WorkerMessageType::kLoad: load(message, std::move(fd)); break;
          case WorkerMessageType::kInterrupt: interrupt(message); break;
          default: die("unexpected message on the control socket");
        }
      } catch (const MalformedMessage& e) {
        die(std::string("malformed message from the server: ") + e.what());
      }
    }
  }

 private:
  void reply(const WorkerChannel& channel, const std::string& message) {
    if (!channel.send(message)) std::_Exit(0);
  }

  void load(const std::string& message, UniqueFd fd) {
    LoadMessage request;
    decode(message, request);
    FailedMessage failed;
    try {
      if (network_) throw EngineError(EngineError::Kind::kBadRequest, "a worker loads one network");
      if (!fd) throw EngineError(EngineError::Kind::kBadRequest, "the load came without the network");
      // Read-only and sealed: the bytes are the server's, and cannot change under the parser.
      const SharedMemory bytes = SharedMemory::adoptReadOnly(std::move(fd), size_t{4} << 30);
      const std::string_view model(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      auto network = std::make_shared<const OnnxNetwork>(
          model, MemoryBudgetRef(MemoryBudget::create("network", request.memoryLimit)), options_.threads > 1);
      LoadedMessage loaded;
      loaded.heldBytes = network->heldBytes();
      loaded.changes = network->changes();
      for (const OnnxValueInfo& value : network->inputs()) loaded.inputs.push_back(describe(value));
      for (const OnnxValueInfo& value : network->outputs()) loaded.outputs.push_back(describe(value));
      std::string text = encode(loaded);
      if (text.size() > WorkerChannel::kMaxMessageBytes || loaded.inputs.size() > kMaxWorkerValues ||
          loaded.outputs.size() > kMaxWorkerValues) {
        throw EngineError(EngineError::Kind::kBadNetwork, "the network's inputs and outputs are too many to describe");
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        network_ = std::move(network);
      }
      reply(control_, text);
      return;
    } catch (const EngineError& e) {
      failed.kind = e.kind();
      failed.text = e.what();
    } catch (const std::exception& e) {
      failed.kind = EngineError::Kind::kBadNetwork;
      failed.text = e.what();
    }
    reply(control_, encode(failed));
  }

  static ValueDescription describe(const OnnxValueInfo& value) {
    ValueDescription description;
    description.name = value.name.substr(0, kMaxValueName);
    description.dataType = value.dataType ? static_cast<int32_t>(*value.dataType) : -1;
    description.typeName = value.typeName;
    description.dims = value.dims;
    if (description.dims.size() > kMaxWorkerRank) description.dims.resize(kMaxWorkerRank);
    return description;
  }

  void interrupt(const std::string& message) {
    InterruptMessage request;
    decode(message, request);
    if (request.channel >= runners_.size()) die("an interrupt for a channel that does not exist");
    Runner& runner = runners_[request.channel];
    std::lock_guard<std::mutex> lock(runner.mutex);
    if (request.sequence > runner.interruptedSequence) runner.interruptedSequence = request.sequence;
    if (runner.options != nullptr && runner.sequence == request.sequence) {
      runner.terminated = true;
      runner.options->SetTerminate();
    }
  }

  std::shared_ptr<const OnnxNetwork> network() {
    std::lock_guard<std::mutex> lock(mutex_);
    return network_;
  }

  void serve(Runner& runner) {
    std::string message;
    for (;;) {
      UniqueFd fd;
      if (runner.channel.receive(message, &fd) != WorkerChannel::Received::kMessage) std::_Exit(0);
      RunMessage request;
      try {
        decode(message, request);
      } catch (const MalformedMessage& e) {
        die(std::string("malformed run from the server: ") + e.what());
      }
      Ort::RunOptions options;
      {
        std::lock_guard<std::mutex> lock(runner.mutex);
        runner.sequence = request.sequence;
        runner.options = &options;
        runner.terminated = runner.interruptedSequence >= request.sequence;
        if (runner.terminated) options.SetTerminate();
      }
      std::string text;
      try {
        if (fd) runner.region = SharedMemory::adopt(std::move(fd), options_.regionBytes);
        if (!runner.region || !runner.region.refresh(options_.regionBytes)) {
          throw EngineError(EngineError::Kind::kBadRequest, "the run's region is missing or too large");
        }
        const std::shared_ptr<const OnnxNetwork> loaded = network();
        if (!loaded) throw EngineError(EngineError::Kind::kBadRequest, "a run before the network was loaded");
        text = encode(runPlaced(*loaded, request, runner.region, options_.regionBytes, options, runner.terminated));
      } catch (const EngineError& e) {
        text = encode(FailedMessage{request.sequence, e.kind(), e.what()});
      } catch (const std::exception& e) {
        text = encode(FailedMessage{request.sequence, EngineError::Kind::kRunFailed, e.what()});
      }
      {
        std::lock_guard<std::mutex> lock(runner.mutex);
        runner.options = nullptr;
      }
      reply(runner.channel, text);
    }
  }

  const Options options_;
  std::vector<Runner> runners_;
  WorkerChannel control_;
  std::mutex mutex_;  // guards network_
  std::shared_ptr<const OnnxNetwork> network_;
};

}  // namespace
}  // namespace server
}  // namespace ks

int main(int argc, char** argv) {
  using namespace ks::server;
  // The allocator keeps what it was given instead of handing it back: glibc decides whether a thread's
  // heap may shrink by reading /proc/sys/vm/overcommit_memory the first time one would, a file the
  // sandbox forbids; and an inference that reuses the memory of the last one need not fault it in again.
  // Blocks of 32 MiB and more still come from and go back to the kernel.
  ::mallopt(M_TRIM_THRESHOLD, INT_MAX);
  ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
  const Options options = parseOptions(argc, argv);
  // A heap per thread, and a bound on them said here: left to itself, glibc counts the processors the
  // first time a process has more threads than heaps, by reading a file in /sys the sandbox forbids.
  ::mallopt(M_ARENA_MAX, static_cast<int>(options.channels + options.threads + 2));
  // Dies with the server, and not a moment later than it.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != options.parent) return 3;
  const int lastFd = kFirstChannelFd + static_cast<int>(options.channels) - 1;
  for (int fd = kControlFd; fd <= lastFd; ++fd) {
    if (!isSocket(fd)) die("descriptor " + std::to_string(fd) + " is not a socket from the server");
  }
  // Nothing else the server had open comes along.
  ::close_range(static_cast<unsigned>(lastFd) + 1, ~0U, 0);

  std::string sandbox = "namespaces=" + enterNamespaces();
  try {
    OnnxRuntime::configure(options.threads);
    OnnxRuntime::instance();
  } catch (const std::exception& e) {
    die(std::string("ONNX Runtime does not start: ") + e.what());
  }
  Worker worker(options);
  worker.startRunners();

  SandboxLimits limits;
  // The engine's budgets, the regions and the descriptors to come: a region per channel and the network.
  // A gibibyte more covers the allocator's own reserve for each thread.
  if (options.memoryBytes != 0) {
    limits.addressSpaceBytes =
        mappedBytes() + options.memoryBytes + options.channels * options.regionBytes + (size_t{1} << 30);
  }
  limits.maxDescriptors = lastFd + 1 + static_cast<int>(options.channels) + 8;
  limits.fileBytes = options.regionBytes;
  limits.lastChannelFd = lastFd;
#if defined(__SANITIZE_ADDRESS__)
  limits.addressSpaceBytes = 0;  // AddressSanitizer reserves terabytes of shadow memory
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  limits.addressSpaceBytes = 0;
#endif
#endif
  try {
    sandbox += "," + lockDown(limits);
  } catch (const std::exception& e) {
    die(e.what());
  }
  worker.hello(sandbox);
  worker.control();
}
