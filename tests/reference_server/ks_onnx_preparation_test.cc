#include "ks_onnx_preparation.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ks_memory_budget.h"
#include "ks_onnx_model_check.h"
#include "ks_onnx_network.h"
#include "onnx_model_builder.h"

namespace ks {
namespace server {
namespace {

using onnx::TensorProto;
using testing::OnnxModelBuilder;

std::optional<PreparedModel> prepare(const OnnxModelBuilder& builder) {
  return prepareForEngine(builder.bytes(), checkOnnxModel(builder.bytes()));
}

onnx::ModelProto parsed(const std::string& bytes) {
  onnx::ModelProto model;
  EXPECT_TRUE(model.ParseFromString(bytes));
  return model;
}

// The network loaded by the engine, run once on `inputs`; the outputs' values as T.
template <typename T, typename In>
std::vector<std::vector<T>> runPrepared(const OnnxModelBuilder& builder, const std::vector<const char*>& inputNames,
                                        std::vector<std::vector<In>> inputs,
                                        const std::vector<std::vector<int64_t>>& shapes,
                                        const std::vector<const char*>& outputNames, std::string* changes = nullptr) {
  const OnnxNetwork network(builder.bytes(), MemoryBudgetRef(MemoryBudget::create("test", 0)));
  if (changes != nullptr) *changes = network.changes();
  const Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  for (size_t i = 0; i < inputs.size(); ++i) {
    values.push_back(
        Ort::Value::CreateTensor<In>(memory, inputs[i].data(), inputs[i].size(), shapes[i].data(), shapes[i].size()));
  }
  std::vector<Ort::Value> outputs = network.run(Ort::RunOptions(), false, inputNames, values, outputNames);
  std::vector<std::vector<T>> results;
  for (Ort::Value& output : outputs) {
    const size_t count = output.GetTensorTypeAndShapeInfo().GetElementCount();
    const T* data = output.GetTensorData<T>();
    results.emplace_back(data, data + count);
  }
  return results;
}

// y = PRelu(x, slope) over x of `dims`, slope of three values per channel, written as exporters of opset 6
// wrote it: the initializer also declared as a graph input.
OnnxModelBuilder preluModel(int64_t opset, const std::vector<testing::Dim>& dims) {
  OnnxModelBuilder builder(opset);
  builder.input("x", TensorProto::FLOAT, dims).input("slope", TensorProto::FLOAT, {3});
  builder.output("y", TensorProto::FLOAT, dims);
  builder.initializer("slope", TensorProto::FLOAT, {3}, std::vector<float>{0.1f, 0.2f, 0.3f});
  builder.node("PRelu", {"x", "slope"}, {"y"});
  return builder;
}

TEST(OnnxPreparation, LeavesModelsTheEngineRunsAlone) {
  EXPECT_FALSE(prepare(preluModel(13, {2, 3, 4, 5})));
  OnnxModelBuilder floatMax;
  floatMax.input("a", TensorProto::FLOAT, {2}).input("b", TensorProto::FLOAT, {2});
  floatMax.output("y", TensorProto::FLOAT, {2});
  floatMax.node("Max", {"a", "b"}, {"y"});
  EXPECT_FALSE(prepare(floatMax));
}

TEST(OnnxPreparation, UpgradesAnOldPReluKeepingItsSlopeOnTheChannels) {
  const OnnxModelBuilder old = preluModel(6, {1, 3, 1, 2});
  const std::optional<PreparedModel> prepared = prepare(old);
  ASSERT_TRUE(prepared);
  EXPECT_EQ("opset 6 upgraded to 7", prepared->changes);
  const onnx::ModelProto model = parsed(prepared->bytes);
  EXPECT_EQ(7, model.opset_import(0).version());
  EXPECT_EQ("x", model.graph().input(0).name());
  EXPECT_EQ("y", model.graph().output(0).name());
  // Channel c scales its negative values by slope[c], whatever the last axis holds.
  std::string changes;
  const auto y = runPrepared<float, float>(old, {"x"}, {{-1, -2, -1, -2, -1, -2}}, {{1, 3, 1, 2}}, {"y"}, &changes);
  EXPECT_EQ("opset 6 upgraded to 7", changes);
  const std::vector<float> expected{-0.1f, -0.2f, -0.2f, -0.4f, -0.3f, -0.6f};
  ASSERT_EQ(expected.size(), y.at(0).size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_FLOAT_EQ(expected[i], y[0][i]) << i;
}

TEST(OnnxPreparation, AnUpgradedNetworkWhoseMaxNeedsNoRewriteKeepsEveryNode) {
  OnnxModelBuilder old(6);
  old.input("a", TensorProto::FLOAT, {2}).input("b", TensorProto::FLOAT, {2});
  old.output("y", TensorProto::FLOAT, {2});
  old.node("Max", {"a", "b"}, {"m"});
  old.node("Neg", {"m"}, {"y"});
  const std::optional<PreparedModel> prepared = prepare(old);
  ASSERT_TRUE(prepared);
  EXPECT_EQ("opset 6 upgraded to 7", prepared->changes);
  EXPECT_EQ(2, parsed(prepared->bytes).graph().node_size());
  EXPECT_EQ((std::vector<float>{-3, -4}),
            (runPrepared<float, float>(old, {"a", "b"}, {{1, 4}, {3, 2}}, {{2}, {2}}, {"y"}).at(0)));
}

TEST(OnnxPreparation, RefusesAnUpgradeItCannotMakeExactly) {
  // A slope fed at run time may hold one value per channel: broadcast from opset 7 on, it would not.
  OnnxModelBuilder fed(6);
  fed.input("x", TensorProto::FLOAT, {2, 3, 4}).input("slope", TensorProto::FLOAT, {3});
  fed.output("y", TensorProto::FLOAT, {2, 3, 4});
  fed.node("PRelu", {"x", "slope"}, {"y"});
  EXPECT_THROW(prepare(fed), std::invalid_argument);

  OnnxModelBuilder unknown(5);
  unknown.input("x", TensorProto::FLOAT, {2}).output("y", TensorProto::FLOAT, {2});
  unknown.node("NoSuchOperator", {"x"}, {"y"});
  try {
    prepare(unknown);
    ADD_FAILURE() << "upgraded an unknown operator";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(0, std::string(e.what()).find("The network imports operator set 5, older than the engine runs (7), "
                                            "and cannot be upgraded: "))
        << e.what();
  }
}

TEST(OnnxPreparation, RefusesToUpgradeAGraphThatReturnsAValueNothingDefines) {
  // ONNX's version converter ends the process on such a graph instead of refusing it.
  OnnxModelBuilder dangling(5);
  dangling.input("x", TensorProto::FLOAT, {2}).output("nowhere", TensorProto::FLOAT, {2});
  dangling.node("Relu", {"x"}, {"y"});
  try {
    prepare(dangling);
    ADD_FAILURE() << "upgraded a graph returning an undefined value";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(
        "The network imports operator set 5, older than the engine runs (7), and cannot be upgraded: the "
        "value 'nowhere' is used before anything defines it",
        e.what());
  }
}

TEST(OnnxPreparation, RefusesToUpgradeANodeWithFewerInputsThanItsOperatorTakes) {
  // ONNX's version converter ends the process on such a node instead of refusing it.
  OnnxModelBuilder lonely(6);
  lonely.input("x", TensorProto::FLOAT, {2, 2}).output("y", TensorProto::FLOAT, {2, 2});
  lonely.node("Div", {"x"}, {"y"}).set_name("half");
  try {
    prepare(lonely);
    ADD_FAILURE() << "upgraded a Div of one input";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(
        "The network imports operator set 6, older than the engine runs (7), and cannot be upgraded: the "
        "node 'half' (Div) has 1 inputs and 1 outputs, which its operator does not take",
        e.what());
  }
}

TEST(OnnxPreparation, RefusesToUpgradeANodeWithAnAttributeOfAnotherTypeThanItsOperatorGivesIt) {
  // The converter's broadcast adapter reads Mul's axis as an integer whatever it is.
  OnnxModelBuilder mistyped(2);
  mistyped.input("x", TensorProto::FLOAT, {2, 3}).output("y", TensorProto::FLOAT, {2, 3});
  onnx::NodeProto& mul = mistyped.node("Mul", {"x", "x"}, {"y"});
  mul.set_name("square");
  onnx::AttributeProto* axis = mul.add_attribute();
  axis->set_name("axis");
  axis->set_type(onnx::AttributeProto::FLOATS);
  axis->add_floats(1.0f);
  try {
    prepare(mistyped);
    ADD_FAILURE() << "upgraded a Mul whose axis is a list of floats";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(
        "The network imports operator set 2, older than the engine runs (7), and cannot be upgraded: the "
        "attribute 'axis' of node 'square' (Mul) is not of the type its operator gives it",
        e.what());
  }
}

TEST(OnnxPreparation, RunsInt16MaxAndMinThroughInt32) {
  OnnxModelBuilder builder;
  builder.input("a", TensorProto::INT16, {3}).input("b", TensorProto::INT16, {3});
  builder.output("high", TensorProto::INT16, {3}).output("low", TensorProto::INT16, {3});
  builder.node("Max", {"a", "b"}, {"high"});
  builder.node("Min", {"a", "b"}, {"low"});
  std::string changes;
  const auto outputs = runPrepared<int16_t, int16_t>(builder, {"a", "b"}, {{-32768, 7, 32767}, {32767, -7, -32768}},
                                                     {{3}, {3}}, {"high", "low"}, &changes);
  EXPECT_EQ("2 Max or Min on int16 through int32", changes);
  EXPECT_EQ((std::vector<int16_t>{32767, 7, 32767}), outputs.at(0));
  EXPECT_EQ((std::vector<int16_t>{-32768, -7, -32768}), outputs.at(1));
}

TEST(OnnxPreparation, RunsABatchFirstLstmAsTheSameLstmBetweenTransposes) {
  // Batch 2, sequence 3, input 1, hidden 1, one direction; weights 1 so every step differs.
  auto lstm = [](int64_t layout, const std::vector<testing::Dim>& x, const std::vector<testing::Dim>& y,
                 const std::vector<testing::Dim>& state) {
    OnnxModelBuilder builder(14);
    builder.input("x", TensorProto::FLOAT, x);
    builder.output("y", TensorProto::FLOAT, y).output("y_h", TensorProto::FLOAT, state);
    builder.output("y_c", TensorProto::FLOAT, state);
    builder.initializer("w", TensorProto::FLOAT, {1, 4, 1}, std::vector<float>{0.5f, -0.5f, 1.0f, 0.25f});
    builder.initializer("r", TensorProto::FLOAT, {1, 4, 1}, std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f});
    onnx::NodeProto& node = builder.node("LSTM", {"x", "w", "r"}, {"y", "y_h", "y_c"});
    onnx::AttributeProto* hidden = node.add_attribute();
    hidden->set_name("hidden_size");
    hidden->set_type(onnx::AttributeProto::INT);
    hidden->set_i(1);
    onnx::AttributeProto* attribute = node.add_attribute();
    attribute->set_name("layout");
    attribute->set_type(onnx::AttributeProto::INT);
    attribute->set_i(layout);
    return builder;
  };
  // The same sequences, batch first and sequence first: x1[b][s] = x0[s][b].
  const std::vector<float> batchFirst{1, 2, 3, -1, -2, -3};
  const std::vector<float> sequenceFirst{1, -1, 2, -2, 3, -3};
  std::string changes;
  const auto rewritten = runPrepared<float, float>(lstm(1, {2, 3, 1}, {2, 3, 1, 1}, {2, 1, 1}), {"x"}, {batchFirst},
                                                   {{2, 3, 1}}, {"y", "y_h", "y_c"}, &changes);
  EXPECT_EQ("1 batch-first recurrent layer through transposes", changes);
  const auto reference = runPrepared<float, float>(lstm(0, {3, 2, 1}, {3, 1, 2, 1}, {1, 2, 1}), {"x"}, {sequenceFirst},
                                                   {{3, 2, 1}}, {"y", "y_h", "y_c"});
  // y: [batch][seq] against [seq][batch]; the final states are [batch] against [batch] (one direction).
  for (int b = 0; b < 2; ++b) {
    for (int s = 0; s < 3; ++s) EXPECT_EQ(reference.at(0).at(s * 2 + b), rewritten.at(0).at(b * 3 + s)) << b << s;
  }
  EXPECT_EQ(reference.at(1), rewritten.at(1));
  EXPECT_EQ(reference.at(2), rewritten.at(2));
}

TEST(OnnxPreparation, RunsMomentumAsTheArithmeticOnnxDefinesItBy) {
  // x_new = x - r * v_new, v_new = alpha * v + beta' * (norm * x + g), beta' = 1 at t = 0 and beta after.
  auto momentum = [] {
    OnnxModelBuilder builder(13);
    builder.model().add_opset_import()->set_domain("ai.onnx.preview.training");
    builder.model().mutable_opset_import(1)->set_version(1);
    builder.input("r", TensorProto::FLOAT, {}).input("t", TensorProto::INT64, {});
    builder.input("x", TensorProto::FLOAT, {2}).input("g", TensorProto::FLOAT, {2}).input("v", TensorProto::FLOAT, {2});
    builder.output("x_new", TensorProto::FLOAT, {2}).output("v_new", TensorProto::FLOAT, {2});
    onnx::NodeProto& node = builder.node("Momentum", {"r", "t", "x", "g", "v"}, {"x_new", "v_new"});
    node.set_domain("ai.onnx.preview.training");
    for (const auto& [name, value] :
         {std::pair<const char*, float>{"alpha", 0.5f}, {"beta", 0.25f}, {"norm_coefficient", 0.125f}}) {
      onnx::AttributeProto* attribute = node.add_attribute();
      attribute->set_name(name);
      attribute->set_type(onnx::AttributeProto::FLOAT);
      attribute->set_f(value);
    }
    onnx::AttributeProto* mode = node.add_attribute();
    mode->set_name("mode");
    mode->set_type(onnx::AttributeProto::STRING);
    mode->set_s("standard");
    return builder;
  };
  for (const int64_t t : {0, 3}) {
    const OnnxNetwork network(momentum().bytes(), MemoryBudgetRef(MemoryBudget::create("test", 0)));
    EXPECT_EQ("1 training optimizer as its arithmetic", network.changes());
    const Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    float r = 0.5f;
    int64_t step = t;
    std::vector<float> x{1, -2}, g{4, 8}, v{2, 0};
    std::vector<Ort::Value> inputs;
    inputs.push_back(Ort::Value::CreateTensor<float>(memory, &r, 1, nullptr, 0));
    inputs.push_back(Ort::Value::CreateTensor<int64_t>(memory, &step, 1, nullptr, 0));
    const int64_t two = 2;
    for (std::vector<float>* values : {&x, &g, &v}) {
      inputs.push_back(Ort::Value::CreateTensor<float>(memory, values->data(), 2, &two, 1));
    }
    std::vector<Ort::Value> outputs =
        network.run(Ort::RunOptions(), false, {"r", "t", "x", "g", "v"}, inputs, {"x_new", "v_new"});
    const float beta = t == 0 ? 1.0f : 0.25f;
    for (int i = 0; i < 2; ++i) {
      const float vNew = 0.5f * v[i] + beta * (0.125f * x[i] + g[i]);
      EXPECT_FLOAT_EQ(vNew, outputs[1].GetTensorData<float>()[i]) << "t " << t << " v " << i;
      EXPECT_FLOAT_EQ(x[i] - r * vNew, outputs[0].GetTensorData<float>()[i]) << "t " << t << " x " << i;
    }
  }
}

}  // namespace
}  // namespace server
}  // namespace ks
