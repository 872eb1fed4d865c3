#include "ks_onnx_model_check.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "onnx_model_builder.h"
#include "support/expect_throw.h"

namespace ks {
namespace server {
namespace {

using onnx::TensorProto;
using testing::OnnxModelBuilder;

// y = x + w over four floats, with `w` as the test sets it up.
OnnxModelBuilder addModel() {
  OnnxModelBuilder builder;
  builder.input("x", TensorProto::FLOAT, {4}).output("y", TensorProto::FLOAT, {4});
  builder.node("Add", {"x", "w"}, {"y"});
  return builder;
}

std::string checkError(const OnnxModelBuilder& builder) {
  return ks::testing::thrownMessage<std::invalid_argument>([&] { checkOnnxModel(builder.bytes()); });
}

TEST(OnnxModelCheck, AcceptsTensorsThatHoldWhatTheirDimensionsSay) {
  OnnxModelBuilder raw = addModel();
  raw.initializer("w", TensorProto::FLOAT, {4}, std::vector<float>{1, 2, 3, 4});
  EXPECT_NO_THROW(checkOnnxModel(raw.bytes()));

  OnnxModelBuilder typed = addModel();
  onnx::TensorProto& w = typed.initializer("w", TensorProto::FLOAT, {2, 2}, "");
  w.clear_raw_data();
  for (float v : {1.f, 2.f, 3.f, 4.f}) w.add_float_data(v);
  EXPECT_NO_THROW(checkOnnxModel(typed.bytes()));

  OnnxModelBuilder packed = addModel();  // 4-bit values: five of them take three bytes
  packed.initializer("w", 22, {5}, std::string(3, '\x11'));
  EXPECT_NO_THROW(checkOnnxModel(packed.bytes()));
}

TEST(OnnxModelCheck, RefusesAnInitializerShorterOrLongerThanItsDimensions) {
  OnnxModelBuilder shorter = addModel();
  shorter.initializer("w", TensorProto::FLOAT, {1000}, std::string(8, '\0'));
  EXPECT_EQ("The network's tensor 'w' holds 8 bytes of data where its dimensions say 4000.", checkError(shorter));

  OnnxModelBuilder longer = addModel();
  longer.initializer("w", TensorProto::INT64, {1}, std::string(16, '\0'));
  EXPECT_EQ("The network's tensor 'w' holds 16 bytes of data where its dimensions say 8.", checkError(longer));

  OnnxModelBuilder typed = addModel();
  onnx::TensorProto& w = typed.initializer("w", TensorProto::FLOAT16, {3}, "");
  w.clear_raw_data();
  w.add_int32_data(1);
  EXPECT_EQ("The network's tensor 'w' holds 1 values where its dimensions say 3.", checkError(typed));
}

TEST(OnnxModelCheck, RefusesAbsurdDimensionsBeforeMultiplyingThem) {
  OnnxModelBuilder negative = addModel();
  negative.initializer("w", TensorProto::FLOAT, {-1, 4}, "");
  EXPECT_EQ("The network's tensor 'w' has the negative dimension -1.", checkError(negative));

  OnnxModelBuilder overflow = addModel();  // 2^32 * 2^32 wraps to 0 in 64 bits, which an empty tensor matches
  overflow.initializer("w", TensorProto::FLOAT, {int64_t{1} << 32, int64_t{1} << 32}, "");
  EXPECT_EQ("The network's tensor 'w' has more than 2^63 elements.", checkError(overflow));
}

TEST(OnnxModelCheck, RefusesExternalDataWhateverItNames) {
  OnnxModelBuilder external = addModel();
  onnx::TensorProto& w = external.initializer("w", TensorProto::FLOAT, {4}, "");
  w.clear_raw_data();
  w.set_data_location(TensorProto::EXTERNAL);
  onnx::StringStringEntryProto* location = w.add_external_data();
  location->set_key("location");
  location->set_value("../../etc/passwd");
  EXPECT_EQ(
      "The network's tensor 'w' refers to external data; this server takes a network as one file and opens no "
      "other.",
      checkError(external));
}

TEST(OnnxModelCheck, LooksIntoConstantNodesAndSubgraphsOfAnyDepth) {
  OnnxModelBuilder constant = addModel();
  onnx::AttributeProto* value = constant.node("Constant", {}, {"w"}).add_attribute();
  value->set_name("value");
  value->set_type(onnx::AttributeProto::TENSOR);
  OnnxModelBuilder::fillTensor(value->mutable_t(), "c", TensorProto::FLOAT, {4}, std::string(4, '\0'));
  EXPECT_EQ(
      "The network's tensor 'c' in attribute 'value' of node '' (Constant) holds 4 bytes of data where its "
      "dimensions say 16.",
      checkError(constant));

  // An If whose branch holds a Loop whose body holds the short initializer.
  OnnxModelBuilder nested = addModel();
  onnx::GraphProto inner;
  OnnxModelBuilder::fillTensor(inner.add_initializer(), "deep", TensorProto::FLOAT, {100}, std::string(4, '\0'));
  onnx::GraphProto branch;
  onnx::AttributeProto* body = branch.add_node()->add_attribute();
  body->set_name("body");
  *body->mutable_g() = inner;
  onnx::AttributeProto* thenBranch = nested.node("If", {"c"}, {"w"}).add_attribute();
  thenBranch->set_name("then_branch");
  *thenBranch->mutable_g() = branch;
  EXPECT_EQ("The network's tensor 'deep' holds 4 bytes of data where its dimensions say 400.", checkError(nested));
}

TEST(OnnxModelCheck, RefusesSparseIndicesOutsideTheDenseShape) {
  OnnxModelBuilder sparse = addModel();
  onnx::SparseTensorProto* w = sparse.model().mutable_graph()->add_sparse_initializer();
  w->add_dims(4);
  OnnxModelBuilder::fillTensor(w->mutable_values(), "w", TensorProto::FLOAT, {2}, std::string(8, '\0'));
  const std::vector<int64_t> indices = {1, 4};
  OnnxModelBuilder::fillTensor(w->mutable_indices(), "", TensorProto::INT64, {2},
                               std::string(reinterpret_cast<const char*>(indices.data()), 16));
  EXPECT_EQ("The network's tensor 'w' (initializer) has the index 4 outside its dense shape.", checkError(sparse));
}

TEST(OnnxModelCheck, RefusesAnInputThatDoesNotDeclareItsRank) {
  // Fed a tensor of too few dimensions, the engine's RNN kernel ends the process instead of failing the run.
  OnnxModelBuilder rnn = addModel();
  rnn.initializer("w", TensorProto::FLOAT, {4}, std::vector<float>{1, 2, 3, 4});
  rnn.model().mutable_graph()->mutable_input(0)->mutable_type()->mutable_tensor_type()->clear_shape();
  EXPECT_EQ("The network's input 'x' does not declare its rank; this server runs networks whose inputs do.",
            checkError(rnn));
}

TEST(OnnxModelCheck, RefusesALoopWhoseBodyHasNoNode) {
  OnnxModelBuilder loop;
  loop.input("m", TensorProto::INT64, {}).input("x", TensorProto::FLOAT, {1}).output("y", TensorProto::FLOAT, {1});
  onnx::NodeProto& node = loop.node("Loop", {"m", "", "x"}, {"y"});
  node.set_name("forever");
  onnx::AttributeProto* body = node.add_attribute();
  body->set_name("body");
  body->set_type(onnx::AttributeProto::GRAPH);
  body->mutable_g()->set_name("empty");
  EXPECT_EQ(
      "The Loop node 'forever' has a body without a node; it would compute nothing for as long as its trip "
      "count says.",
      checkError(loop));
}

// A model whose function f0 is called by f1, f1 by f2, ... and the graph calls f<depth - 1>.
OnnxModelBuilder functionChain(int depth, bool loop) {
  OnnxModelBuilder chain;
  chain.input("x", TensorProto::FLOAT, {1}).output("y", TensorProto::FLOAT, {1});
  chain.node("f" + std::to_string(depth - 1), {"x"}, {"y"}).set_domain("local");
  for (int level = 0; level < depth; ++level) {
    onnx::FunctionProto* function = chain.model().add_functions();
    function->set_name("f" + std::to_string(level));
    function->set_domain("local");
    function->add_input("a");
    function->add_output("b");
    onnx::NodeProto* call = function->add_node();
    call->add_input("a");
    call->add_output("b");
    if (level == 0 && !loop) {
      call->set_op_type("Identity");
    } else {
      call->set_op_type("f" + std::to_string(level == 0 ? depth - 1 : level - 1));
      call->set_domain("local");
    }
  }
  return chain;
}

TEST(OnnxModelCheck, RefusesFunctionsNestedPastTheStackOrCallingThemselves) {
  EXPECT_NO_THROW(checkOnnxModel(functionChain(64, false).bytes()));
  EXPECT_EQ("The network's functions call one another more than 64 deep.", checkError(functionChain(20000, false)));
  EXPECT_EQ("The network's function 'f0' calls itself.", checkError(functionChain(3, true)));
}

TEST(OnnxModelCheck, RefusesBytesThatAreNotAModel) {
  EXPECT_THROW_MSG(checkOnnxModel(""), std::invalid_argument, "Not an ONNX model: the data is empty.");
  EXPECT_THROW_MSG(checkOnnxModel("\xff\xff\xff"), std::invalid_argument,
                   "Not an ONNX model: the data is not a valid ONNX protobuf message.");
  onnx::ModelProto noVersion;
  noVersion.mutable_graph();
  EXPECT_THROW_MSG(checkOnnxModel(noVersion.SerializeAsString()), std::invalid_argument,
                   "Not an ONNX model: it states no IR version.");
}

}  // namespace
}  // namespace server
}  // namespace ks
