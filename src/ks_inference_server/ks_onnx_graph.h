// Reads the interface of an ONNX model: the names and tensor layouts of its graph's inputs and outputs.
#pragma once

#include <string>
#include <vector>

#include "ks_core/ks_tensor_layout.h"

namespace ks {
namespace server {

// One input or output of a graph.
struct OnnxValue {
  std::string name;
  TensorLayout layout;
};

// The inputs a caller feeds (initializers excluded) and the outputs of a graph, each in graph order.
struct OnnxGraph {
  std::vector<OnnxValue> inputs;
  std::vector<OnnxValue> outputs;
};

// Parses `modelBytes` (a serialized ONNX ModelProto) and describes its graph. Each layout has the
// value's element type, its dimensions in order, format NCHW for four dimensions and plain otherwise,
// no aligned size and no channel order. A dimension that is symbolic or unset counts as 1: the server
// runs batch 1. A scalar (rank 0) becomes one dimension of 1.
// Element types float, float16, int32, int16, int8, uint8 and int64 are understood.
// Throws std::invalid_argument, with a sentence saying why, when the bytes are not an ONNX model (empty,
// not a protobuf ModelProto, no IR version), the model has no graph or no output, a name is missing or
// repeated, or an input or output is not a tensor, has another element type, an unknown rank, more than
// four dimensions, or a dimension that is negative or beyond 32 bits.
OnnxGraph parse_onnx_graph(const std::string& modelBytes);

}  // namespace server
}  // namespace ks
