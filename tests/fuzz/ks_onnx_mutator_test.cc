#include "ks_onnx_mutator.h"

#include <onnx/defs/schema.h>
#include <onnx/onnx_pb.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ks_onnx_model_check.h"
#include "reference_server/onnx_model_builder.h"

namespace ks {
namespace fuzz {
namespace {

using onnx::TensorProto;

constexpr uint32_t kSeeds = 300;

// y = (Relu(x + w) * c) and, beside it, an If whose branches are graphs of their own.
onnx::ModelProto smallModel() {
  server::testing::OnnxModelBuilder builder(13);
  builder.input("x", TensorProto::FLOAT, {1, 4}).input("cond", TensorProto::BOOL, {1});
  builder.output("y", TensorProto::FLOAT, {1, 4}).outputOfAnyShape("z", TensorProto::FLOAT);
  builder.initializer<float>("w", TensorProto::FLOAT, {4}, {1, 2, 3, 4});
  onnx::NodeProto& constant = builder.node("Constant", {}, {"c"});
  onnx::AttributeProto* value = constant.add_attribute();
  value->set_name("value");
  value->set_type(onnx::AttributeProto::TENSOR);
  value->mutable_t()->set_data_type(TensorProto::FLOAT);
  value->mutable_t()->add_float_data(2.0f);
  builder.node("Add", {"x", "w"}, {"a"});
  builder.node("Relu", {"a"}, {"b"});
  builder.node("Mul", {"b", "c"}, {"y"});
  onnx::NodeProto& branch = builder.node("If", {"cond"}, {"z"});
  for (const char* name : {"then_branch", "else_branch"}) {
    onnx::AttributeProto* attribute = branch.add_attribute();
    attribute->set_name(name);
    attribute->set_type(onnx::AttributeProto::GRAPH);
    onnx::GraphProto* graph = attribute->mutable_g();
    onnx::NodeProto* node = graph->add_node();
    node->set_op_type("Identity");
    node->add_input("x");
    node->add_output(std::string(name) + "_out");
    graph->add_output()->set_name(std::string(name) + "_out");
  }
  return builder.model();
}

// The names of the main graph's nodes' inputs and outputs that nothing defines before them.
std::vector<std::string> undefinedValues(const onnx::GraphProto& graph) {
  std::set<std::string> defined{""};
  for (const onnx::ValueInfoProto& input : graph.input()) defined.insert(input.name());
  for (const TensorProto& tensor : graph.initializer()) defined.insert(tensor.name());
  std::vector<std::string> undefined;
  for (const onnx::NodeProto& node : graph.node()) {
    for (const std::string& input : node.input()) {
      if (defined.count(input) == 0) undefined.push_back(input);
    }
    defined.insert(node.output().begin(), node.output().end());
  }
  for (const onnx::ValueInfoProto& output : graph.output()) {
    if (defined.count(output.name()) == 0) undefined.push_back(output.name());
  }
  return undefined;
}

TEST(OnnxMutator, EveryMutationLeavesAModelThatSerializesAndParses) {
  for (int kind = 0; kind < kModelMutationCount; ++kind) {
    for (uint32_t seed = 0; seed < kSeeds; ++seed) {
      onnx::ModelProto model = smallModel();
      OnnxMutator(seed).apply(static_cast<ModelMutation>(kind), model);
      onnx::ModelProto parsed;
      ASSERT_TRUE(parsed.ParseFromString(model.SerializeAsString())) << "mutation " << kind << ", seed " << seed;
    }
  }
}

TEST(OnnxMutator, StepsAnAttributeAtTheEndOfItsRangeWithoutOverflowing) {
  // Stepping INT64_MAX up or INT64_MIN down overflowed, which UndefinedBehaviorSanitizer reports.
  for (const int64_t edge : {INT64_MAX, INT64_MIN}) {
    std::set<int64_t> values;
    for (uint32_t seed = 0; seed < kSeeds; ++seed) {
      onnx::ModelProto model = smallModel();
      onnx::AttributeProto* axis = model.mutable_graph()->mutable_node(1)->add_attribute();
      axis->set_name("axis");
      axis->set_type(onnx::AttributeProto::INT);
      axis->set_i(edge);
      OnnxMutator(seed).apply(ModelMutation::kAttribute, model);
      for (const onnx::AttributeProto& attribute : model.graph().node(1).attribute()) {
        if (attribute.name() == "axis") values.insert(attribute.i());
      }
    }
    EXPECT_EQ(1u, values.count(edge == INT64_MAX ? INT64_MIN : INT64_MAX)) << edge;
  }
}

TEST(OnnxMutator, ResizedConstantsHoldWhatTheirDimensionsSaySoTheCheckPassesThem) {
  for (uint32_t seed = 0; seed < kSeeds; ++seed) {
    onnx::ModelProto model = smallModel();
    ASSERT_TRUE(OnnxMutator(seed).apply(ModelMutation::kInitializerSize, model));
    EXPECT_NO_THROW(server::checkOnnxModel(model.SerializeAsString())) << "seed " << seed;
  }
}

TEST(OnnxMutator, ADroppedNodesConsumersAndOutputsReadItsFirstInput) {
  for (uint32_t seed = 0; seed < kSeeds; ++seed) {
    onnx::ModelProto model = smallModel();
    ASSERT_TRUE(OnnxMutator(seed).apply(ModelMutation::kDropNode, model));
    EXPECT_EQ(std::vector<std::string>{}, undefinedValues(model.graph())) << "seed " << seed;
  }
}

TEST(OnnxMutator, AddsRegisteredOperatorsOnValuesDefinedBeforeThem) {
  int added = 0;
  for (uint32_t seed = 0; seed < kSeeds; ++seed) {
    onnx::ModelProto model = smallModel();
    ASSERT_TRUE(OnnxMutator(seed).apply(ModelMutation::kAddNode, model));
    if (model.graph().node_size() != smallModel().graph().node_size() + 1) continue;  // added to a branch
    ++added;
    EXPECT_EQ(std::vector<std::string>{}, undefinedValues(model.graph())) << "seed " << seed;
    for (const onnx::NodeProto& node : model.graph().node()) {
      if (node.name().rfind("fuzz_", 0) != 0) continue;
      EXPECT_NE(nullptr, onnx::OpSchemaRegistry::Schema(node.op_type(), node.domain())) << node.op_type();
    }
  }
  EXPECT_GT(added, static_cast<int>(kSeeds) / 2);
}

TEST(OnnxMutator, ASwappedOperatorKeepsOnlyTheAttributesItsSchemaKnows) {
  for (uint32_t seed = 0; seed < kSeeds; ++seed) {
    onnx::ModelProto model = smallModel();
    ASSERT_TRUE(OnnxMutator(seed).apply(ModelMutation::kSwapOpType, model));
    for (const onnx::NodeProto& node : model.graph().node()) {
      const onnx::OpSchema* schema = onnx::OpSchemaRegistry::Schema(node.op_type(), 13, node.domain());
      if (schema == nullptr) continue;
      for (const onnx::AttributeProto& attribute : node.attribute()) {
        EXPECT_EQ(1u, schema->attributes().count(attribute.name())) << node.op_type() << "." << attribute.name();
      }
    }
  }
}

size_t byteMutations = 0;
size_t countingByteMutator(uint8_t*, size_t size, size_t) {
  ++byteMutations;
  return size;
}

TEST(OnnxMutator, LeavesBytesThatAreNoModelToTheByteMutator) {
  std::vector<uint8_t> garbage(64, 0xff);
  byteMutations = 0;
  EXPECT_EQ(garbage.size(), mutateSerializedModel(garbage.data(), garbage.size(), 4096, 1, countingByteMutator));
  EXPECT_EQ(1u, byteMutations);

  const std::string bytes = smallModel().SerializeAsString();
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  data.resize(1 << 16);
  byteMutations = 0;
  const size_t size = mutateSerializedModel(data.data(), bytes.size(), data.size(), 3, countingByteMutator);
  EXPECT_EQ(0u, byteMutations);
  onnx::ModelProto mutated;
  EXPECT_TRUE(mutated.ParseFromArray(data.data(), static_cast<int>(size)));
}

}  // namespace
}  // namespace fuzz
}  // namespace ks
