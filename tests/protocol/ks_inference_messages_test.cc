#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "ks_inference_request.h"
#include "ks_inference_response.h"
#include "support/expect_throw.h"

namespace ks {
namespace {

Tensor bytesTensor(const std::string& bytes) {
  Tensor tensor(TensorLayout(TensorDataType::kUInt8, TensorFormat::kPlain, {static_cast<int32_t>(bytes.size())},
                             TensorSize(), TensorChannelOrder::kNone));
  if (!bytes.empty()) std::memcpy(tensor.data(), bytes.data(), bytes.size());
  return tensor;
}

std::string bytesOf(const Tensor& tensor) {
  return std::string(reinterpret_cast<const char*>(tensor.data()), tensor.layout().byteSize());
}

const char kTensor[] = R"({"layout":{"size":[3],"type":5,"format":0},"data":"AQID"})";

std::string responseWithStats(const std::string& stats) {
  return std::string(R"({"output_tensors":[],"inference_stats":)") + stats + "}";
}

InferenceStats readStats(const std::string& stats) {
  InferenceResponse response;
  inferenceResponseFromJson(response, responseWithStats(stats).c_str());
  return response.inference_stats;
}

TEST(InferenceRequest, WritesTensorsThenTheCount) {
  InferenceRequest request;
  EXPECT_EQ(1u, request.repetitions_count);
  EXPECT_EQ(R"({"input_tensors":[],"repetitions_count":1})", inferenceRequestToJson(request));
  request.input_tensors = {bytesTensor("\x01\x02\x03"), bytesTensor("")};
  request.repetitions_count = 4294967295u;
  EXPECT_EQ(std::string(R"({"input_tensors":[)") + kTensor +
                R"(,{"layout":{"size":[0],"type":5,"format":0},"data":""}],"repetitions_count":4294967295})",
            inferenceRequestToJson(request));
}

TEST(InferenceRequest, ReadsTensorsAndCount) {
  InferenceRequest request;
  request.input_tensors = {bytesTensor("old")};
  inferenceRequestFromJson(request, (std::string(R"({"input_tensors":[)") + kTensor + "]}").c_str());
  ASSERT_EQ(1u, request.input_tensors.size());  // replaced, not appended
  EXPECT_EQ("\x01\x02\x03", bytesOf(request.input_tensors[0]));
  EXPECT_EQ(1u, request.repetitions_count);  // absent: kept
  inferenceRequestFromJson(request, R"({"input_tensors":[],"repetitions_count":-1})");
  EXPECT_EQ(4294967295u, request.repetitions_count);
  EXPECT_TRUE(request.input_tensors.empty());
}

TEST(InferenceRequest, RejectsBadMembersBeforeChangingAnything) {
  InferenceRequest request;
  request.input_tensors = {bytesTensor("x")};
  request.repetitions_count = 9;
  for (const char* text : {"", "{", R"({"input_tensors":{}})", "[]"}) {
    EXPECT_THROW_MSG(inferenceRequestFromJson(request, text), std::invalid_argument,
                     "'input_tensors' should be an array of tensors");
  }
  for (const char* count : {"2.5", "\"3\"", "2147483648", "null", "1e1"}) {
    const std::string text = std::string(R"({"input_tensors":[],"repetitions_count":)") + count + "}";
    EXPECT_THROW_MSG(inferenceRequestFromJson(request, text.c_str()), std::invalid_argument,
                     "'repetitions_count' should be int");
  }
  EXPECT_EQ(9u, request.repetitions_count);
  EXPECT_EQ(1u, request.input_tensors.size());
}

TEST(InferenceRequest, BadTensorLeavesTheCountAndTheTensorsReadSoFar) {
  InferenceRequest request;
  const std::string text =
      std::string(R"({"repetitions_count":3,"input_tensors":[)") + kTensor + R"(,{"layout":{}, "data":""}]})";
  EXPECT_THROW_MSG(inferenceRequestFromJson(request, text.c_str()), std::invalid_argument,
                   "Tensor laoyut JSON's 'shape' should be an array");
  EXPECT_EQ(3u, request.repetitions_count);
  EXPECT_EQ(2u, request.input_tensors.size());
}

TEST(InferenceResponse, WritesTensorsThenStatistics) {
  InferenceResponse response;
  response.output_tensors = {bytesTensor("ab")};
  response.inference_stats = {true, 0.5f, 3};
  EXPECT_EQ(R"({"output_tensors":[{"layout":{"size":[2],"type":5,"format":0},"data":"YWI="}],)"
            R"("inference_stats":{"has_info":true,"duration":0.5,"repetitions_count":3}})",
            inferenceResponseToJson(response));
  EXPECT_EQ(R"({"output_tensors":[],"inference_stats":{"has_info":false,"duration":0.0,"repetitions_count":0}})",
            inferenceResponseToJson(InferenceResponse()));
}

TEST(InferenceResponse, WritesTheDoubleDigitsOfAFloatDurationAndReadsTheSameFloat) {
  InferenceResponse response;
  response.inference_stats = {true, 0.1f, 1};
  const std::string text = inferenceResponseToJson(response);
  EXPECT_NE(text.find(R"("duration":0.10000000149011612,)"), std::string::npos) << text;
  InferenceResponse back;
  inferenceResponseFromJson(back, text.c_str());
  EXPECT_EQ(0.1f, back.inference_stats.duration);
  response.inference_stats.duration = 5.0f;
  EXPECT_NE(inferenceResponseToJson(response).find(R"("duration":5.0,)"), std::string::npos);
}

TEST(InferenceResponse, RefusesToWriteANonFiniteDuration) {
  InferenceResponse response;
  for (float duration : {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN()}) {
    response.inference_stats.duration = duration;
    EXPECT_THROW_MSG(inferenceResponseToJson(response), std::invalid_argument,
                     "Inference statistics' duration is not a finite number");
  }
}

TEST(InferenceResponse, AppendsTensorsAndZeroesAbsentStatistics) {
  InferenceResponse response;
  response.output_tensors = {bytesTensor("old")};
  response.inference_stats = {true, 2.0f, 7};
  inferenceResponseFromJson(response, (std::string(R"({"output_tensors":[)") + kTensor + "]}").c_str());
  ASSERT_EQ(2u, response.output_tensors.size());
  EXPECT_EQ("old", bytesOf(response.output_tensors[0]));
  EXPECT_EQ("\x01\x02\x03", bytesOf(response.output_tensors[1]));
  EXPECT_FALSE(response.inference_stats.hasInfo);
  EXPECT_EQ(0.0f, response.inference_stats.duration);
  EXPECT_EQ(0u, response.inference_stats.repetitionsCount);
}

TEST(InferenceResponse, ReadsStatisticsWithTheirExactTypes) {
  const InferenceStats stats = readStats(R"({"has_info":false,"duration":2.5,"repetitions_count":-2})");
  EXPECT_FALSE(stats.hasInfo);
  EXPECT_EQ(2.5f, stats.duration);
  EXPECT_EQ(4294967294u, stats.repetitionsCount);
  EXPECT_EQ(5.0f, readStats(R"({"has_info":true,"duration":5e0,"repetitions_count":1})").duration);
  EXPECT_EQ(-3.4028234e38f, readStats(R"({"has_info":true,"duration":-3.4028234e38,"repetitions_count":1})").duration);
  // Beyond the 64-bit integers a number is held as a double, so it passes the float test.
  EXPECT_EQ(18446744073709551616.0f,
            readStats(R"({"has_info":true,"duration":18446744073709551616,"repetitions_count":1})").duration);
}

TEST(InferenceResponse, ChecksStatisticsInOrderLeavingThemUnchanged) {
  const std::pair<const char*, const char*> cases[] = {
      {"null", "Stats should be an object"},
      {"[]", "Stats should be an object"},
      {R"({"duration":"x"})", "Stats should have 'has_info' boolean field"},
      {R"({"has_info":1,"duration":1.0,"repetitions_count":1})", "Stats should have 'has_info' boolean field"},
      {R"({"has_info":true,"duration":5,"repetitions_count":1})", "Stats should have 'duration' float field"},
      {R"({"has_info":true,"duration":3.5e38,"repetitions_count":1})", "Stats should have 'duration' float field"},
      {R"({"has_info":true,"duration":3.4028234663852886e38,"repetitions_count":1})",
       "Stats should have 'duration' float field"},
      {R"({"has_info":true,"repetitions_count":"x"})", "Stats should have 'duration' float field"},
      {R"({"has_info":true,"duration":1.0,"repetitions_count":2147483648})",
       "Stats should have 'repetitions_count' int field"},
      {R"({"has_info":true,"duration":1.0,"repetitions_count":1.0})",
       "Stats should have 'repetitions_count' int field"},
  };
  for (const auto& item : cases) {
    const std::string& stats = item.first;
    InferenceResponse response;
    response.inference_stats = {true, 9.0f, 9};
    EXPECT_THROW_MSG(inferenceResponseFromJson(response, responseWithStats(stats).c_str()), std::invalid_argument,
                     item.second)
        << stats;
    EXPECT_EQ(9.0f, response.inference_stats.duration);
  }
}

TEST(InferenceResponse, TheLargestFloatIsWrittenButNotReadBack) {
  InferenceResponse response;
  response.inference_stats = {true, std::numeric_limits<float>::max(), 1};
  InferenceResponse back;
  EXPECT_THROW_MSG(inferenceResponseFromJson(back, inferenceResponseToJson(response).c_str()), std::invalid_argument,
                   "Stats should have 'duration' float field");
}

TEST(InferenceResponse, ReportsABadTensorBeforeBadStatistics) {
  InferenceResponse response;
  EXPECT_THROW_MSG(inferenceResponseFromJson(response, R"({"inference_stats":null,"output_tensors":[5]})"),
                   std::invalid_argument, "Tensor should be a JSON object");
  EXPECT_EQ(1u, response.output_tensors.size());
  for (const char* text : {"garbage", R"({"output_tensors":{}})", R"({"outputs":[]})"}) {
    InferenceResponse other;
    EXPECT_THROW_MSG(inferenceResponseFromJson(other, text), std::invalid_argument,
                     "Server response should contain 'output_tensors' array");
  }
}

TEST(InferenceMessages, RoundTripLargeFloatTensors) {
  Tensor tensor(TensorLayout(TensorDataType::kFloat32, TensorFormat::kNchw, {1, 3, 64, 65}, TensorSize(),
                             TensorChannelOrder::kNone));
  float* values = reinterpret_cast<float*>(tensor.data());
  for (int i = 0; i < 3 * 64 * 65; ++i) values[i] = std::sin(static_cast<float>(i)) * 1e3f;
  InferenceResponse response;
  response.output_tensors = {tensor, tensor};
  response.inference_stats = {true, 12.25f, 10};
  InferenceResponse back;
  inferenceResponseFromJson(back, inferenceResponseToJson(response).c_str());
  ASSERT_EQ(2u, back.output_tensors.size());
  EXPECT_EQ(tensor.layout(), back.output_tensors[1].layout());
  EXPECT_EQ(bytesOf(tensor), bytesOf(back.output_tensors[1]));
  EXPECT_EQ(10u, back.inference_stats.repetitionsCount);
}

}  // namespace
}  // namespace ks
