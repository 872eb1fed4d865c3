// Hostile networks where the engine runs them: each input is an ONNX model that goes through the worker's
// own path in this process (the check, the preparation, ONNX Runtime's session within the network's memory
// budget) and, when it loads, one placed run on inputs filled from the model's feed (see kFeedKey), within
// the inference budget and a time limit. Our code is instrumented, so its coverage guides the mutations;
// ONNX Runtime is not, so what it answers (its error texts, which operators load and run) is counted as
// coverage of its own. The engine's typed refusals are the expected outcomes. An exception of any other
// type is a finding of ours and aborts with a line saying so; ONNX Runtime ending the process is expected
// (the sandbox contains it in production), so the target runs in libFuzzer's fork mode (scripts/fuzz) and
// scripts/fuzz-sort tells the two apart.
#include <onnx/onnx_pb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <typeinfo>
#include <vector>

#include "ks_engine_error.h"
#include "ks_memory_budget.h"
#include "ks_onnx_model_check.h"
#include "ks_onnx_mutator.h"
#include "ks_onnx_network.h"
#include "ks_onnx_runtime.h"
#include "ks_placed_run.h"
#include "ks_shared_memory.h"
#include "ks_worker_messages.h"

namespace {

using ks::server::EngineError;

// What one network may hold and one inference may allocate, as a server might configure them. An
// allocation by ONNX Runtime larger than this went past both (libFuzzer's -malloc_limit_mb catches it).
constexpr size_t kBudget = size_t{256} << 20;
// Inputs larger than this are not fed: the run would measure the feed, not the network.
constexpr uint64_t kMaxFeedBytes = uint64_t{1} << 20;
constexpr size_t kMaxRegionBytes = size_t{64} << 20;
// A run may legitimately last as long as its inputs say (a loop's trip count): the server's time limit ends
// it, and the fuzzer's ends it well before libFuzzer's timeout.
constexpr std::chrono::milliseconds kRunLimit{1000};

// ONNX Runtime's answers as coverage: libFuzzer counts these beside its own counters, so a model that makes
// the engine say something new, or load or run an operator it has not seen load or run, is kept.
constexpr size_t kOutcomeCounters = 1 << 14;
__attribute__((used, section("__libfuzzer_extra_counters"))) uint8_t outcomeCounters[kOutcomeCounters];

enum class Stage : uint8_t { kRefused, kLoaded, kRunRefused, kRan };

uint64_t hashOf(std::string_view text, uint64_t hash = 14695981039346656037ULL) {
  for (const char c : text) hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ULL;
  return hash;
}

void count(uint64_t hash) {
  uint8_t& counter = outcomeCounters[hash % kOutcomeCounters];
  if (counter != UINT8_MAX) ++counter;
}

// A refusal's kind and the shape of its text: letters outside quotes and parentheses, so that names and
// numbers do not make every refusal new.
void countRefusal(Stage stage, const EngineError& error) {
  std::string shape;
  char closing = 0;
  for (const char* c = error.what(); *c != '\0' && shape.size() < 120; ++c) {
    if (closing != 0) {
      if (*c == closing) closing = 0;
    } else if (*c == '\'' || *c == '"') {
      closing = *c;
    } else if (*c == '(') {
      closing = ')';
    } else if ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || *c == ' ') {
      shape += *c;
    }
  }
  count(hashOf(shape, static_cast<uint64_t>(stage) * 31 + static_cast<uint64_t>(error.kind())));
}

// Each operator of the main graph with how far the network got.
void countOperators(const onnx::ModelProto& model, Stage stage) {
  for (const onnx::NodeProto& node : model.graph().node()) {
    count(hashOf(node.op_type(), hashOf(node.domain(), static_cast<uint64_t>(stage) + 1)));
  }
}

// Ends runs that go past kRunLimit, from a thread of its own, as the server's interrupt does.
class RunWatchdog {
 public:
  RunWatchdog() {
    std::thread([this] { watch(); }).detach();
  }

  void arm(const Ort::RunOptions* options, std::atomic<bool>* terminated) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_ = options;
    terminated_ = terminated;
    deadline_ = std::chrono::steady_clock::now() + kRunLimit;
    wake_.notify_one();
  }
  void disarm() {
    std::lock_guard<std::mutex> lock(mutex_);
    options_ = nullptr;
  }

 private:
  [[noreturn]] void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (options_ == nullptr) {
        wake_.wait(lock);
      } else if (wake_.wait_until(lock, deadline_) == std::cv_status::timeout && options_ != nullptr &&
                 std::chrono::steady_clock::now() >= deadline_) {
        terminated_->store(true);
        const_cast<Ort::RunOptions*>(options_)->SetTerminate();
        options_ = nullptr;
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  const Ort::RunOptions* options_ = nullptr;
  std::atomic<bool>* terminated_ = nullptr;
  std::chrono::steady_clock::time_point deadline_;
};

RunWatchdog& watchdog() {
  static RunWatchdog* runs = new RunWatchdog();
  return *runs;
}

// Bytes to fill inputs from, cycled.
class Feed {
 public:
  explicit Feed(std::string_view bytes) : bytes_(bytes.empty() ? std::string_view("\1", 1) : bytes) {}
  uint8_t next() { return static_cast<uint8_t>(bytes_[position_++ % bytes_.size()]); }

 private:
  std::string_view bytes_;
  size_t position_ = 0;
};

// One run of `network` as the worker would do it for a client that fed every input and asked for every
// output it can be sent. Returns false when no client could ask for such a run (the server refuses it
// before it reaches a worker).
bool run(const ks::server::OnnxNetwork& network, Feed& feed) {
  ks::server::RunMessage request;
  request.sequence = 1;
  request.memoryLimit = kBudget;
  uint64_t end = 0;
  for (size_t i = 0; i < network.inputs().size(); ++i) {
    const ks::server::OnnxValueInfo& input = network.inputs()[i];
    if (!input.dataType || input.dims.size() > 4) return false;
    ks::server::PlacedTensor placed;
    placed.index = static_cast<uint32_t>(i);
    placed.dataType = static_cast<int32_t>(*input.dataType);
    // A client chooses the dimensions the graph leaves open.
    for (const int64_t dim : input.dims) placed.dims.push_back(dim < 0 ? 1 + feed.next() % 4 : dim);
    if (!ks::server::placedByteCount(placed.dataType, placed.dims, placed.bytes) || placed.bytes > kMaxFeedBytes) {
      return false;
    }
    placed.offset = ks::server::alignedOffset(end);
    end = placed.offset + placed.bytes;
    if (end > kMaxFeedBytes) return false;
    request.inputs.push_back(std::move(placed));
  }
  for (size_t i = 0; i < network.outputs().size(); ++i) {
    const ks::server::OnnxValueInfo& output = network.outputs()[i];
    if (output.dataType && output.dims.size() <= 4) request.outputs.push_back(static_cast<uint32_t>(i));
  }
  if (request.outputs.empty()) return false;

  ks::server::SharedMemory region = ks::server::SharedMemory::create("ks_engine_fuzzer", end);
  for (uint64_t i = 0; i < end; ++i) region.data()[i] = feed.next();
  Ort::RunOptions options;
  std::atomic<bool> terminated{false};
  watchdog().arm(&options, &terminated);
  try {
    ks::server::runPlaced(network, request, region, kMaxRegionBytes, options, terminated);
  } catch (...) {
    watchdog().disarm();
    throw;
  }
  watchdog().disarm();
  return true;
}

// With KS_ENGINE_FUZZER_TIMES in the environment, the processor time each stage took, summed over the
// inputs and printed at exit: what bounds the executions a second, whatever else the machine runs. The check
// is timed on its own (and so runs twice); the session's creation is the load less the check.
struct StageTimes {
  bool enabled = std::getenv("KS_ENGINE_FUZZER_TIMES") != nullptr;
  double check = 0;
  double load = 0;
  double run = 0;
  size_t inputs = 0;
  size_t loads = 0;
  size_t runs = 0;
};
StageTimes& stageTimes() {
  static StageTimes* times = new StageTimes();
  return *times;
}
double processorSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}
void printStageTimes() {
  const StageTimes& t = stageTimes();
  std::fprintf(stderr,
               "ks_engine_fuzzer: %zu inputs, %zu loaded, %zu ran; mean ms per input: check %.3f, load or refusal "
               "(check, preparation, session) %.3f, run %.3f\n",
               t.inputs, t.loads, t.runs, t.inputs ? 1e3 * t.check / t.inputs : 0.0,
               t.inputs ? 1e3 * t.load / t.inputs : 0.0, t.inputs ? 1e3 * t.run / t.inputs : 0.0);
}

[[noreturn]] void untyped(const char* what) {
  std::fprintf(stderr, "ks_engine_fuzzer: FINDING: an exception that is not the engine's typed refusal: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ks::server::OnnxRuntime::configure(1);
  ks::server::OnnxRuntime::instance();
  watchdog();
  if (stageTimes().enabled) std::atexit(printStageTimes);
  return 0;
}

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed) {
  return ks::fuzz::mutateSerializedModel(data, size, maxSize, seed, LLVMFuzzerMutate);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // What the model says of itself, for the feed and the outcome counters; the engine parses it on its own.
  onnx::ModelProto model;
  const bool parsed = size < (size_t{1} << 31) && model.ParseFromArray(data, static_cast<int>(size));
  std::string_view feedBytes = bytes;
  for (const onnx::StringStringEntryProto& entry : model.metadata_props()) {
    if (entry.key() == ks::fuzz::kFeedKey) feedBytes = entry.value();
  }
  Feed feed(feedBytes);
  Stage stage = Stage::kRefused;
  StageTimes& times = stageTimes();
  double start = times.enabled ? processorSeconds() : 0;
  try {
    if (times.enabled) {
      ++times.inputs;
      try {
        ks::server::checkOnnxModel(bytes);
      } catch (const std::invalid_argument&) {
      }
      times.check += processorSeconds() - start;
      start = processorSeconds();
    }
    const ks::server::OnnxNetwork network(
        bytes, ks::server::MemoryBudgetRef(ks::server::MemoryBudget::create("network", kBudget)));
    stage = Stage::kLoaded;
    if (times.enabled) {
      times.load += processorSeconds() - start;
      ++times.loads;
      start = processorSeconds();
    }
    if (run(network, feed)) stage = Stage::kRan;
    if (times.enabled && stage == Stage::kRan) {
      times.run += processorSeconds() - start;
      ++times.runs;
    }
  } catch (const EngineError& e) {
    if (times.enabled && stage == Stage::kRefused) times.load += processorSeconds() - start;
    countRefusal(stage == Stage::kLoaded ? Stage::kRunRefused : Stage::kRefused, e);
    if (stage == Stage::kLoaded) stage = Stage::kRunRefused;
  } catch (const std::exception& e) {
    untyped((std::string(typeid(e).name()) + ": " + e.what()).c_str());
  } catch (...) {
    untyped("an object that is not a std::exception");
  }
  if (parsed) countOperators(model, stage);
  return 0;
}
