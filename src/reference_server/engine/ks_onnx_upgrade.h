// Networks older than the engine: ONNX Runtime has no kernels for the operator sets before 7, so a network
// that imports one is upgraded with ONNX's own version converter before the engine sees it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ks {
namespace server {

// The oldest version of the default operator set the engine runs.
constexpr int64_t kOldestEngineOpset = 7;

struct UpgradedModel {
  std::string bytes;  // the upgraded model, serialized
  int64_t fromOpset;  // the default operator set it imported
  int64_t toOpset;    // the one it imports now
};

// Nothing when `opset`, the version of the default operator set `modelBytes` (a model checkOnnxModel
// accepted) imports, is kOldestEngineOpset or later, or 0 (none); else the model upgraded to that version,
// with the same inputs and outputs. Throws std::invalid_argument with the converter's reason when it cannot
// upgrade the model.
std::optional<UpgradedModel> upgradeOldOpset(std::string_view modelBytes, int64_t opset);

}  // namespace server
}  // namespace ks
