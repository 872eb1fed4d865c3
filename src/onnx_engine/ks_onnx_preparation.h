// What a network goes through before the engine sees it, so that it runs where ONNX Runtime alone would
// refuse it: a network of an operator set older than the engine's kernels is upgraded with ONNX's own
// version converter, and operators the engine has no kernel for in a type or layout are rewritten into
// equivalent ones it has. Each step computes exactly what the network computed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ks_onnx_model_check.h"

namespace onnx {
class GraphProto;
}

namespace ks {
namespace server {

// The oldest version of the default operator set the engine runs.
constexpr int64_t kOldestEngineOpset = 7;

struct PreparedModel {
  std::string bytes;    // the model the engine is to load, serialized
  std::string changes;  // what was done, for the log: "opset 6 upgraded to 7; 1 Max on int16 through int32"
};

// Nothing when `modelBytes` (a model checkOnnxModel accepted, which gave `summary`) goes to the engine as
// it came; else the prepared model, with the same inputs and outputs. Throws std::invalid_argument with the
// converter's reason when the model imports an operator set before kOldestEngineOpset and cannot be
// upgraded exactly.
std::optional<PreparedModel> prepareForEngine(std::string_view modelBytes, const OnnxModelSummary& summary);

// The rewrites, each on a main graph; each returns how many nodes it rewrote.
// Max and Min of int16 values, which the engine has no kernel for, through int32 and back; `typed` is the
// same graph with the value_info shape inference gave it, where the element types are read.
int rewriteInt16MinMax(onnx::GraphProto& graph, const onnx::GraphProto& typed);
// RNN, GRU and LSTM with layout 1 (batch first), which the engine refuses, as layout 0 between transposes.
int rewriteBatchwiseRecurrent(onnx::GraphProto& graph);
// The optimizers of ONNX's training domain (Adagrad, Momentum, Adam), which the engine has no kernels for,
// as the arithmetic ONNX defines them by, on float tensors; `typed` as for rewriteInt16MinMax.
int rewriteOptimizers(onnx::GraphProto& graph, const onnx::GraphProto& typed);

}  // namespace server
}  // namespace ks
