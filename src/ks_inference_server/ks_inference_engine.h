// One loaded ONNX network that the server runs on the CPU, with the inputs and outputs a session asked for.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ks_core/ks_tensor.h"
#include "ks_core/ks_tensor_layout.h"

namespace ks {
namespace server {

// Not thread-safe: calls on one engine must be serialised by the caller (the server holds a lock per
// session). Different engines share nothing and may run at the same time.
class InferenceEngine {
 public:
  // Loads the ONNX network `onnxModel` for the CPU. `inputNames` and `outputNames` name the network's own
  // inputs and outputs in the order run() takes and returns them; an empty list stands for all of them
  // in graph order. Every network input must be among `inputNames`, since run() feeds them all.
  // Throws std::invalid_argument, with a sentence naming the offending name and listing the network's
  // names where a name is at fault, when: the bytes are not a usable ONNX model (see parse_onnx_graph),
  // a name is unknown or given twice, a network input is left out, a chosen input or output is not
  // float32, or OpenCV cannot load the network ("cannot load network: ...").
  InferenceEngine(const std::string& onnxModel, const std::vector<std::string>& inputNames,
                  const std::vector<std::string>& outputNames);
  ~InferenceEngine();

  // A moved-from engine may only be destroyed or assigned to.
  InferenceEngine(InferenceEngine&&) noexcept;
  InferenceEngine& operator=(InferenceEngine&&) noexcept;
  InferenceEngine(const InferenceEngine&) = delete;
  InferenceEngine& operator=(const InferenceEngine&) = delete;

  // In the order given at construction. Output layouts are the declared ones; run() reports the extents
  // the network actually produced.
  const std::vector<std::string>& inputNames() const;
  const std::vector<std::string>& outputNames() const;
  const std::vector<TensorLayout>& inputLayouts() const;
  const std::vector<TensorLayout>& outputLayouts() const;

  // Runs the network once on `inputs` (one per input, in inputNames() order) and returns new tensors, one
  // per output in outputNames() order, each with the declared data type and the dimensions computed.
  // The input bytes are read, never changed.
  // Throws std::invalid_argument when the count is wrong or an input's data type or dimensions differ from
  // its declared layout or it holds fewer bytes than its layout needs; std::runtime_error
  // ("inference failed: ...") when the network fails to run.
  std::vector<Tensor> run(const std::vector<Tensor>& inputs);

  // Runs the network `repetitions` times on `inputs` and returns the mean wall-clock duration of one run
  // in milliseconds; `outputs` receives the last run's results. With 0 repetitions it still runs once so
  // that `outputs` is filled, but returns 0. Throws like run(); `outputs` is unchanged when it throws.
  double runTimed(const std::vector<Tensor>& inputs, unsigned repetitions, std::vector<Tensor>& outputs);

 private:
  struct Impl;  // keeps OpenCV out of the server's headers
  std::unique_ptr<Impl> impl_;
};

}  // namespace server
}  // namespace ks
