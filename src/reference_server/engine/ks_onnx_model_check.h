// Checks what the engine takes on trust in an ONNX model before the engine sees it: that every constant
// tensor holds exactly the bytes its dimensions and type say, and that nothing points at files.
#pragma once

#include <cstdint>
#include <string_view>

namespace ks {
namespace server {

// Throws std::invalid_argument, with a sentence naming the tensor and saying why, when `modelBytes` is not
// a serialized ONNX model (empty, over protobuf's 2 GiB, unparseable, no IR version, no graph), or when any
// tensor it carries, in the main graph, in subgraphs of any depth or in model functions (initializers,
// sparse initializers, tensor attributes such as Constant's value), refers to external data, is segmented,
// has an unknown element type, a negative dimension or more than 2^63 elements, holds more or fewer values
// than its dimensions say, or is a sparse tensor whose indices fall outside its dense shape; or when an
// input of the graph is a tensor that does not declare its rank. Returns the version of the default operator
// set the model imports; 0 when it imports none.
int64_t checkOnnxModel(std::string_view modelBytes);

}  // namespace server
}  // namespace ks
