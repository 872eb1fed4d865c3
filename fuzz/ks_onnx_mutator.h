// Mutations of an ONNX model as the message it is, for the engine fuzzer: mutating its serialized bytes
// mostly makes models that do not parse, while each mutation here keeps the model a model, and most keep it
// close enough to a valid one that the engine gets past its first checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

namespace onnx {
class ModelProto;
}

namespace ks {
namespace fuzz {

enum class ModelMutation {
  kField,            // any scalar, enum or string field found by protobuf's reflection, or a repeated one's length
  kAttribute,        // a node's attribute changed, or one its operator's schema knows added
  kDimension,        // a dimension of a declared input, output or value, or its rank
  kElementType,      // the element type of a declared value, of a constant (its data resized) or of a Cast
  kInitializerSize,  // a constant's dimensions changed, its data resized to match
  kAddNode,          // a node of a registered operator on values the graph has, possibly made an output
  kDropNode,         // a node removed, its consumers fed from its first input
  kSwapOpType,       // a node's operator replaced by another registered one, attributes trimmed to its schema
  kOpset,            // the version of the default operator set imported
  kFeed,             // the bytes the fuzzer feeds the network's inputs from (see kFeedKey)
};
constexpr int kModelMutationCount = 10;

// The metadata entry of a model whose value the engine fuzzer fills the network's inputs from; without it,
// the inputs are filled from the model's own bytes.
constexpr const char kFeedKey[] = "ks_fuzz_feed";

// Not thread-safe; deterministic for a given seed.
class OnnxMutator {
 public:
  explicit OnnxMutator(uint32_t seed) : random_(seed) {}

  // Applies `mutation` to `model`. Returns false when the model has nothing it applies to (no node to drop,
  // no constant to resize, ...); the model is then unchanged.
  bool apply(ModelMutation mutation, onnx::ModelProto& model);

  // Applies one mutation chosen at random among those that apply to `model`; returns which.
  ModelMutation mutate(onnx::ModelProto& model);

 private:
  std::mt19937 random_;
};

// libFuzzer's custom mutation of a serialized model: `data` holds `size` bytes and has room for `maxSize`.
// A model is mutated as a message (now and then as bytes, so that the engine's refusals of broken models
// stay covered); bytes that do not parse as one, or a mutated model over `maxSize`, go to `mutateBytes`
// (libFuzzer's own mutator). Returns the new size.
size_t mutateSerializedModel(uint8_t* data, size_t size, size_t maxSize, unsigned seed,
                             size_t (*mutateBytes)(uint8_t* data, size_t size, size_t maxSize));

}  // namespace fuzz
}  // namespace ks
