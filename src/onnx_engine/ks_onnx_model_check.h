// Checks what the engine takes on trust in an ONNX model before the engine sees it: that every constant
// tensor holds exactly the bytes its dimensions and type say, and that nothing points at files.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace ks {
namespace server {

struct OnnxModelSummary {
  int64_t defaultOpset = 0;  // the version of the default operator set it imports; 0 for none
  // Of the main graph: "Max" for the default domain, "DOMAIN:NAME" for the others.
  std::set<std::string> operators;
};

// Throws std::invalid_argument, with a sentence naming the tensor and saying why, when `modelBytes` is not
// a serialized ONNX model (empty, over protobuf's 2 GiB, unparseable, no IR version, no graph), or when any
// tensor it carries, in the main graph, in subgraphs of any depth or in model functions (initializers,
// sparse initializers, tensor attributes such as Constant's value), refers to external data, is segmented,
// has an unknown element type, a negative dimension or more than 2^63 elements, holds more or fewer values
// than its dimensions say, or is a sparse tensor whose indices fall outside its dense shape; or when an
// input of the graph is a tensor that does not declare its rank. Returns what the model's preparation for the
// engine needs to know (see prepareForEngine).
OnnxModelSummary checkOnnxModel(std::string_view modelBytes);

}  // namespace server
}  // namespace ks
