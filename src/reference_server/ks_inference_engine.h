// What one session runs: a loaded network, possibly shared with other sessions, with the inputs and
// outputs the session asked for in its order.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ks_core/ks_tensor.h"
#include "ks_core/ks_tensor_layout.h"
#include "ks_onnx_network.h"
#include "ks_run_control.h"

namespace ks {
namespace server {

// Bounds on one runTimed() call.
struct RunLimits {
  size_t memoryBytes = 0;         // what one run may allocate in the engine; 0: no bound
  RunControl* control = nullptr;  // lets another thread stop the runs; may be null
};

// Immutable after construction, so one engine may run on several threads at once.
class InferenceEngine {
 public:
  // Chooses the inputs and outputs of `network` named in `inputNames` and `outputNames`, in that order; an
  // empty list stands for all of them in graph order. Throws EngineError kBadRequest, with a sentence
  // naming the offending value and listing the network's own where a name is at fault, when a name is
  // unknown or given twice, a network input is left out (every input must be fed), or a chosen value is
  // not a tensor of one of the seven data types or has more than 4 dimensions.
  InferenceEngine(std::shared_ptr<const OnnxNetwork> network, const std::vector<std::string>& inputNames,
                  const std::vector<std::string>& outputNames);

  const std::vector<std::string>& inputNames() const { return inputNames_; }
  const std::vector<std::string>& outputNames() const { return outputNames_; }
  // The declared layouts: a dimension the graph leaves open counts as 1, a scalar as one dimension of 1;
  // four dimensions are NCHW, fewer plain.
  const std::vector<TensorLayout>& inputLayouts() const { return inputLayouts_; }
  const std::vector<TensorLayout>& outputLayouts() const { return outputLayouts_; }
  const OnnxNetwork& network() const { return *network_; }

  // Runs the network `repetitions` times on `inputs` (one per input, in inputNames() order) and returns the
  // mean wall-clock time of one run in milliseconds; `outputs` receives the last run's results, one per
  // output in outputNames() order, with the data type and dimensions the engine produced (a scalar as one
  // dimension of 1). With 0 repetitions it runs once for the outputs and returns 0. The input bytes are
  // read, never changed; `outputs` is unchanged when it throws.
  // Throws EngineError: kBadRequest when the count is wrong, an input's data type or rank differs from the
  // declared one, a fixed dimension differs (an open one may take any extent) or it holds fewer bytes
  // than its layout needs, or an output cannot be sent (more than 4 dimensions); kOverBudget when a run
  // needs more than `limits.memoryBytes`; kInterrupted when `limits.control` stopped it; kRunFailed with
  // the engine's own text otherwise.
  double runTimed(const std::vector<Tensor>& inputs, unsigned repetitions, std::vector<Tensor>& outputs,
                  const RunLimits& limits = {}) const;

 private:
  std::vector<Tensor> runOnce(const std::vector<Tensor>& inputs, const RunLimits& limits,
                              const RunControl& control) const;

  std::shared_ptr<const OnnxNetwork> network_;
  std::vector<std::string> inputNames_;
  std::vector<std::string> outputNames_;
  std::vector<const char*> inputNamePointers_;
  std::vector<const char*> outputNamePointers_;
  std::vector<const OnnxValueInfo*> inputs_;
  std::vector<const OnnxValueInfo*> outputs_;
  std::vector<TensorLayout> inputLayouts_;
  std::vector<TensorLayout> outputLayouts_;
};

}  // namespace server
}  // namespace ks
