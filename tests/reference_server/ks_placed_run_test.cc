#include "ks_placed_run.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "ks_memory_budget.h"
#include "ks_onnx_network.h"
#include "ks_shared_memory.h"
#include "onnx_model_builder.h"

namespace ks {
namespace server {
namespace {

using testing::OnnxModelBuilder;

TEST(PlacedRun, ReturnsAnInputThatIsAlsoAnOutputWhenTheRegionGrowsForIt) {
  // The engine hands the input back where it lies in the region; the region, holding the input alone, must
  // grow for the output, and is mapped anew.
  OnnxModelBuilder passThrough(13);
  passThrough.input("x", onnx::TensorProto::FLOAT, {1024}).output("x", onnx::TensorProto::FLOAT, {1024});
  const OnnxNetwork network(passThrough.bytes(), MemoryBudgetRef(MemoryBudget::create("test", 0)));

  std::vector<float> values(1024);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i) * 0.5f;
  const uint64_t inputBytes = sizeof(float) * values.size();
  SharedMemory region = SharedMemory::create("ks_placed_run_test", inputBytes);
  std::memcpy(region.data(), values.data(), region.size());
  RunMessage request;
  request.sequence = 1;
  request.inputs.push_back(PlacedTensor{0, 0, {1024}, 0, inputBytes});
  request.outputs.push_back(0);
  const std::atomic<bool> terminated{false};

  const RanMessage ran = runPlaced(network, request, region, size_t{1} << 20, Ort::RunOptions(), terminated);

  ASSERT_EQ(1u, ran.outputs.size());
  ASSERT_EQ(inputBytes, ran.outputs[0].offset);
  ASSERT_EQ(inputBytes, ran.outputs[0].bytes);
  std::vector<float> output(values.size());
  std::memcpy(output.data(), region.data() + ran.outputs[0].offset, ran.outputs[0].bytes);
  EXPECT_EQ(values, output);
}

}  // namespace
}  // namespace server
}  // namespace ks
