#include "ks_onnx_upgrade.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ks_engine_error.h"
#include "ks_memory_budget.h"
#include "ks_onnx_model_check.h"
#include "ks_onnx_network.h"
#include "onnx_model_builder.h"

namespace ks {
namespace server {
namespace {

using onnx::TensorProto;
using testing::OnnxModelBuilder;

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

onnx::ModelProto parsed(const std::string& bytes) {
  onnx::ModelProto model;
  EXPECT_TRUE(model.ParseFromString(bytes));
  return model;
}

TEST(OnnxUpgrade, LeavesModelsOfTheEnginesOpsetsAlone) {
  const OnnxModelBuilder current = preluModel(13, {2, 3, 4, 5});
  EXPECT_FALSE(upgradeOldOpset(current.bytes(), checkOnnxModel(current.bytes())));
  EXPECT_FALSE(upgradeOldOpset(current.bytes(), 0));
}

TEST(OnnxUpgrade, KeepsAnOldPReluSlopeOnTheChannelAxis) {
  const OnnxModelBuilder old = preluModel(6, {2, 3, 4, 5});
  const std::optional<UpgradedModel> upgraded = upgradeOldOpset(old.bytes(), checkOnnxModel(old.bytes()));
  ASSERT_TRUE(upgraded);
  EXPECT_EQ(6, upgraded->fromOpset);
  EXPECT_EQ(7, upgraded->toOpset);
  const onnx::ModelProto model = parsed(upgraded->bytes);
  EXPECT_EQ(7, model.opset_import(0).version());
  ASSERT_EQ(1, model.graph().initializer_size());
  EXPECT_EQ((std::vector<int64_t>{3, 1, 1}), std::vector<int64_t>(model.graph().initializer(0).dims().begin(),
                                                                  model.graph().initializer(0).dims().end()));
  EXPECT_EQ("x", model.graph().input(0).name());
  EXPECT_EQ(3, model.graph().input(1).type().tensor_type().shape().dim_size());
  EXPECT_EQ("y", model.graph().output(0).name());
}

TEST(OnnxUpgrade, RefusesWhatItCannotUpgradeExactly) {
  // A slope fed at run time may hold one value per channel: broadcast from opset 7 on, it would not.
  OnnxModelBuilder fed(6);
  fed.input("x", TensorProto::FLOAT, {2, 3, 4}).input("slope", TensorProto::FLOAT, {3});
  fed.output("y", TensorProto::FLOAT, {2, 3, 4});
  fed.node("PRelu", {"x", "slope"}, {"y"});
  EXPECT_THROW(upgradeOldOpset(fed.bytes(), 6), std::invalid_argument);

  OnnxModelBuilder unknown(5);
  unknown.input("x", TensorProto::FLOAT, {2}).output("y", TensorProto::FLOAT, {2});
  unknown.node("NoSuchOperator", {"x"}, {"y"});
  try {
    upgradeOldOpset(unknown.bytes(), 5);
    ADD_FAILURE() << "upgraded an unknown operator";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(0, std::string(e.what()).find("The network imports operator set 5, older than the engine runs (7), "
                                            "and cannot be upgraded: "))
        << e.what();
  }
}

TEST(OnnxUpgrade, TheEngineLoadsAnOldNetworkAndSaysItWasUpgraded) {
  const OnnxModelBuilder old = preluModel(6, {2, 3, 4, 5});
  const OnnxNetwork network(old.bytes(), MemoryBudgetRef(MemoryBudget::create("test", 0)));
  EXPECT_EQ(6, network.upgradedFrom());
  EXPECT_EQ(7, network.upgradedTo());
  ASSERT_EQ(1u, network.inputs().size());
  EXPECT_EQ("x", network.inputs()[0].name);
  EXPECT_EQ((std::vector<int64_t>{2, 3, 4, 5}), network.inputs()[0].dims);
}

}  // namespace
}  // namespace server
}  // namespace ks
