// What one session runs: a network held by the server (possibly shared with other sessions), with the
// inputs and outputs the session asked for in its order. The network runs in its worker process; the
// tensors cross in the memory that process maps.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ks_core/ks_tensor.h"
#include "ks_core/ks_tensor_layout.h"
#include "ks_network_registry.h"
#include "ks_run_control.h"
#include "ks_tensor_json.h"

namespace ks {
namespace server {

// Bounds on one run.
struct RunLimits {
  size_t memoryBytes = 0;         // what one run may allocate in the engine; 0: no bound
  RunControl* control = nullptr;  // lets another thread stop the runs; may be null
  std::string owner;              // who asked (a session): a run that ends worker processes counts against it
};

// Immutable after construction, so one engine may run on several threads at once.
class InferenceEngine {
 public:
  // Chooses the inputs and outputs of `network` named in `inputNames` and `outputNames`, in that order; an
  // empty list stands for all of them in graph order. Throws EngineError kBadRequest, with a sentence
  // naming the offending value and listing the network's own where a name is at fault, when a name is
  // unknown or given twice, a network input is left out (every input must be fed), or a chosen value is
  // not a tensor of one of the seven data types or has more than 4 dimensions.
  InferenceEngine(std::shared_ptr<const HostedNetwork> network, const std::vector<std::string>& inputNames,
                  const std::vector<std::string>& outputNames);

  const std::vector<std::string>& inputNames() const { return inputNames_; }
  const std::vector<std::string>& outputNames() const { return outputNames_; }
  // The declared layouts: a dimension the graph leaves open counts as 1, a scalar as one dimension of 1;
  // four dimensions are NCHW, fewer plain.
  const std::vector<TensorLayout>& inputLayouts() const { return inputLayouts_; }
  const std::vector<TensorLayout>& outputLayouts() const { return outputLayouts_; }
  const HostedNetwork& network() const { return *network_; }

  class Run;
  // A run whose inputs are written straight into the worker's memory (see Run). Takes one of the worker
  // process's run channels for as long as the Run lives, starting a new process when the network's last
  // one ended. Throws EngineError: kQuarantined, or what reloading the network throws.
  Run begin() const;
  // The same on a channel already held (see HostedNetwork::tryLease), for a caller that does not wait.
  Run begin(HostedNetwork::Lease lease) const;

  // Runs the network `repetitions` times on `inputs` (one per input, in inputNames() order) and returns the
  // mean wall-clock time of one run in milliseconds; `outputs` receives the last run's results, one per
  // output in outputNames() order, with the data type and dimensions the engine produced (a scalar as one
  // dimension of 1). With 0 repetitions it runs once for the outputs and returns 0. The input bytes are
  // read, never changed; `outputs` is unchanged when it throws. Copies the tensors in and out; the
  // server decodes and encodes in place through begin().
  // Throws EngineError: kBadRequest when the count is wrong, an input's data type or rank differs from the
  // declared one, a fixed dimension differs (an open one may take any extent) or it holds fewer bytes
  // than its layout needs, or an output cannot be sent (more than 4 dimensions); kOverBudget when a run
  // needs more than `limits.memoryBytes`; kInterrupted when `limits.control` stopped it; kRunFailed with
  // the engine's own text; kWorkerLost when the worker process ended (the text says how: crash, sandbox,
  // time limit, ...), as RunCrashed once the run has ended one alone (other runs in a worker that ended
  // are run again, later, and succeed); kQuarantined.
  double runTimed(const std::vector<Tensor>& inputs, unsigned repetitions, std::vector<Tensor>& outputs,
                  const RunLimits& limits = {}) const;

 private:
  // Throws EngineError kBadRequest unless `layouts` fit the chosen inputs (count, type, rank, fixed
  // dimensions, a byte size).
  void checkInputs(const std::vector<TensorLayout>& layouts) const;

  std::shared_ptr<const HostedNetwork> network_;
  std::vector<std::string> inputNames_;
  std::vector<std::string> outputNames_;
  std::vector<uint32_t> inputIndices_;   // of each chosen input in the network's list
  std::vector<uint32_t> outputIndices_;  // of each chosen output
  std::vector<TensorLayout> inputLayouts_;
  std::vector<TensorLayout> outputLayouts_;
};

// One run in the worker's memory: place() gives the room for each input in turn (a request reader
// decodes into it), execute() checks and runs them, outputs() are views of the results where the worker
// put them. Not thread-safe; moves, does not copy.
class InferenceEngine::Run : public TensorPlacer {
 public:
  Run(Run&&) = default;
  ~Run() = default;

  // Room for the next input's `layout.byteSize()` bytes, valid until the next place(). Throws
  // EngineError kBadRequest when the inputs would pass the largest region a run may have, kNoRoom when
  // the server's memory budget has no room for them within the wait its options allow.
  unsigned char* place(const TensorLayout& layout) override;
  // From now on place() does not wait for room in the memory budget: it refuses at once.
  void neverWaitForRoom() { waitForRoom_ = false; }

  // Checks the placed inputs against the declared layouts and runs as runTimed() does, with its errors.
  // Returns the mean milliseconds of one repetition (0 for none).
  double execute(unsigned repetitions, const RunLimits& limits);

  // execute() in two halves for a caller that sends the run itself (through lease()) and takes the reply
  // when it comes: prepare() checks the placed inputs as execute() does and makes the run's message;
  // accept() makes the outputs of its reply and returns the mean milliseconds of one repetition.
  RunMessage prepare(unsigned repetitions, const RunLimits& limits) const;
  double accept(const RanMessage& ran);
  HostedNetwork::Lease& lease() { return lease_; }

  // The outputs, in the engine's outputNames() order, as views of the worker's memory: valid while the
  // Run lives.
  const std::vector<TensorView>& outputs() const { return outputs_; }

 private:
  friend class InferenceEngine;
  Run(const InferenceEngine& engine, HostedNetwork::Lease lease) : engine_(&engine), lease_(std::move(lease)) {}

  const InferenceEngine* engine_;
  HostedNetwork::Lease lease_;
  std::vector<TensorLayout> placedLayouts_;
  std::vector<uint64_t> placedOffsets_;
  uint64_t end_ = 0;  // of the last input placed
  bool waitForRoom_ = true;
  std::vector<TensorView> outputs_;
};

}  // namespace server
}  // namespace ks
