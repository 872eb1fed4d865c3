#include "ks_tensor_json.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "support/expect_throw.h"

namespace ks {
namespace {

const char kNotObject[] = "Tensor laoyut JSON's should be an object";
const char kShape[] = "Tensor laoyut JSON's 'shape' should be an array";
const char kType[] = "Tensor laoyut JSON's 'type' should be an int";
const char kFormat[] = "Tensor laoyut JSON's 'format' should be an int";
const char kSize[] = "Tensor laoyut JSON's 'size' should be an array of ints";

TensorLayout readLayout(const char* text) {
  rapidjson::Document document;
  document.Parse(text);
  EXPECT_FALSE(document.HasParseError()) << text;
  TensorLayout layout;
  layoutFromJson(layout, document);
  return layout;
}

Tensor readTensor(const std::string& text) {
  rapidjson::Document document;
  document.Parse(text.c_str());
  EXPECT_FALSE(document.HasParseError()) << text;
  Tensor tensor;
  tensorFromJson(tensor, document);
  return tensor;
}

std::string serialized(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return buffer.GetString();
}

TensorLayout layoutOf(TensorDataType type, TensorFormat format, TensorSize size) {
  return TensorLayout(type, format, size, TensorSize(), TensorChannelOrder::kNone);
}

Tensor tensorOf(TensorDataType type, TensorSize size, const std::string& bytes) {
  Tensor tensor(layoutOf(type, TensorFormat::kPlain, size));
  if (!bytes.empty()) std::memcpy(tensor.data(), bytes.data(), bytes.size());
  return tensor;
}

std::string streamed(const Tensor& tensor) {
  std::string text;
  json::Output output(text);
  json::Writer writer(output);
  json::writeTensor(writer, output, tensor);
  return text;
}

TEST(LayoutJson, WritesTheCompactObjectInMemberOrder) {
  rapidjson::Document document;
  const TensorLayout layout = layoutOf(TensorDataType::kFloat32, TensorFormat::kNchw, {1, 3, 8, 8});
  EXPECT_EQ(R"({"size":[1,3,8,8],"type":0,"format":1})", serialized(layoutToJson(layout, document.GetAllocator())));
  std::string text;
  json::Output output(text);
  json::Writer writer(output);
  json::writeLayout(writer, layout);
  EXPECT_EQ(R"({"size":[1,3,8,8],"type":0,"format":1})", text);
}

TEST(LayoutJson, ReadsDimensionsTypeAndFormat) {
  EXPECT_EQ(layoutOf(TensorDataType::kFloat32, TensorFormat::kPlain, {}),
            readLayout(R"({"size":[],"type":0,"format":0})"));
  EXPECT_EQ(layoutOf(TensorDataType::kUInt8, TensorFormat::kNhwc, {1, 2, 3, 4}),
            readLayout(R"({"size":[1,2,3,4],"type":5,"format":2})"));
  // No range checks: negative values reach the layout as they are.
  const TensorLayout odd = readLayout(R"({"size":[-1,-2147483648],"type":-7,"format":99})");
  EXPECT_EQ((TensorSize{-1, INT32_MIN}), odd.size());
  EXPECT_EQ(-7, static_cast<int>(odd.dataType()));
  EXPECT_EQ(99, static_cast<int>(odd.format()));
}

TEST(LayoutJson, TestsMembersInOrderWithFixedMessages) {
  EXPECT_THROW_MSG(readLayout("[]"), std::invalid_argument, kNotObject);
  EXPECT_THROW_MSG(readLayout("null"), std::invalid_argument, kNotObject);
  EXPECT_THROW_MSG(readLayout(R"({"type":"x"})"), std::invalid_argument, kShape);
  EXPECT_THROW_MSG(readLayout(R"({"size":{},"type":0,"format":0})"), std::invalid_argument, kShape);
  EXPECT_THROW_MSG(readLayout(R"({"size":[1]})"), std::invalid_argument, kType);
  EXPECT_THROW_MSG(readLayout(R"({"size":[1],"type":0.0,"format":0})"), std::invalid_argument, kType);
  EXPECT_THROW_MSG(readLayout(R"({"size":[1],"type":0,"format":null})"), std::invalid_argument, kFormat);
  EXPECT_THROW_MSG(readLayout(R"({"size":[1,"x"],"type":0,"format":"y"})"), std::invalid_argument, kFormat);
}

TEST(LayoutJson, AcceptsOnlyIntDimensions) {
  for (const char* element : {"2.0", "\"2\"", "2147483648", "1e2", "true", "null", "-2147483649"}) {
    const std::string text = std::string(R"({"size":[1,)") + element + R"(],"type":0,"format":0})";
    EXPECT_THROW_MSG(readLayout(text.c_str()), std::invalid_argument, kSize) << element;
  }
}

TEST(LayoutJson, TestsTheFifthElementsTypeBeforeTheCapacity) {
  EXPECT_KS_THROW(readLayout(R"({"size":[1,2,3,4,5],"type":0,"format":0})"), 19,
                  "No room for new element. StaticVector is full.");
  EXPECT_THROW_MSG(readLayout(R"({"size":[1,2,3,4,"5"],"type":0,"format":0})"), std::invalid_argument, kSize);
}

TEST(LayoutJson, FailedReadLeavesTheLayoutUntouched) {
  const TensorLayout before = layoutOf(TensorDataType::kInt16, TensorFormat::kNchw, {9});
  for (const char* text : {R"({"size":[1,2,3,4,5],"type":0,"format":0})", R"({"size":[1,"x"],"type":0,"format":0})"}) {
    rapidjson::Document document;
    document.Parse(text);
    TensorLayout layout = before;
    EXPECT_ANY_THROW(layoutFromJson(layout, document));
    EXPECT_EQ(before, layout);
  }
}

TEST(LayoutJson, IgnoresUnknownMembersAndTakesTheFirstOfEqualNames) {
  const TensorLayout layout =
      readLayout(R"({"type":1,"type":"x","size":[2],"format":0,"format":[],"channel_order":2,"extra":{}})");
  EXPECT_EQ(layoutOf(TensorDataType::kFloat16, TensorFormat::kPlain, {2}), layout);
  EXPECT_EQ(TensorChannelOrder::kNone, layout.channelOrder());
}

TEST(LayoutJson, RoundTripKeepsTypeFormatAndDimensionsOnly) {
  rapidjson::Document document;
  const TensorLayout full(TensorDataType::kInt8, TensorFormat::kNhwc, {1, 4, 4, 3}, {1, 4, 4, 4},
                          TensorChannelOrder::kBgr);
  TensorLayout back;
  layoutFromJson(back, layoutToJson(full, document.GetAllocator()));
  EXPECT_EQ(layoutOf(TensorDataType::kInt8, TensorFormat::kNhwc, {1, 4, 4, 3}), back);
  EXPECT_TRUE(back.alignedSize().empty());
}

TEST(TensorJson, WritesLayoutThenBase64OfExactlyTheLayoutsBytes) {
  const Tensor tensor = tensorOf(TensorDataType::kUInt8, {3}, "\x01\x02\x03");
  const char expected[] = R"({"layout":{"size":[3],"type":5,"format":0},"data":"AQID"})";
  rapidjson::Document document;
  EXPECT_EQ(expected, serialized(tensorToJson(tensor, document.GetAllocator())));
  EXPECT_EQ(expected, streamed(tensor));

  // A buffer larger than the layout: only the layout's bytes travel.
  Tensor larger = tensorOf(TensorDataType::kUInt8, {4}, "abcd");
  larger.reuse(layoutOf(TensorDataType::kUInt8, TensorFormat::kPlain, {2}), DeviceContext());
  EXPECT_EQ(R"({"layout":{"size":[2],"type":5,"format":0},"data":"YWI="})", streamed(larger));
}

TEST(TensorJson, WritesATensorWithoutBytesAsEmptyData) {
  EXPECT_EQ(R"({"layout":{"size":[],"type":0,"format":0},"data":""})", streamed(Tensor()));
  EXPECT_EQ(R"({"layout":{"size":[0,5],"type":2,"format":0},"data":""})",
            streamed(tensorOf(TensorDataType::kInt32, {0, 5}, "")));
}

TEST(TensorJson, ReadsLayoutAndDataIntoItsOwnBuffer) {
  const Tensor tensor = readTensor(R"({"data":"AQIDBA==","layout":{"size":[2,2],"type":5,"format":0}})");
  EXPECT_EQ(layoutOf(TensorDataType::kUInt8, TensorFormat::kPlain, {2, 2}), tensor.layout());
  EXPECT_EQ("\x01\x02\x03\x04", std::string(reinterpret_cast<const char*>(tensor.data()), 4));
  // Characters after the layout's Base64 length are ignored, whatever they are.
  const Tensor longer = readTensor(R"({"layout":{"size":[3],"type":5,"format":0},"data":"AQID!!not base64"})");
  EXPECT_EQ("\x01\x02\x03", std::string(reinterpret_cast<const char*>(longer.data()), 3));
}

TEST(TensorJson, TestsDataBeforeLayoutWithFixedMessages) {
  EXPECT_THROW_MSG(readTensor("[]"), std::invalid_argument, "Tensor should be a JSON object");
  EXPECT_THROW_MSG(readTensor("{}"), std::invalid_argument, "Tensor JSON's 'tensor_data' should be a string");
  EXPECT_THROW_MSG(readTensor(R"({"data":5,"layout":{}})"), std::invalid_argument,
                   "Tensor JSON's 'tensor_data' should be a string");
  EXPECT_THROW_MSG(readTensor(R"({"data":""})"), std::invalid_argument, "Tensor JSON's should have a 'layout'");
  EXPECT_THROW_MSG(readTensor(R"({"data":"","layout":[]})"), std::invalid_argument, kNotObject);
}

TEST(TensorJson, RejectsDataThatDoesNotCoverTheLayout) {
  // Shorter than the Base64 length of 4 bytes (8 characters).
  EXPECT_THROW_MSG(readTensor(R"({"layout":{"size":[4],"type":5,"format":0},"data":"AQID"})"), std::invalid_argument,
                   "Tensor JSON's 'tensor_data' is shorter than its layout requires");
  // Right length, not Base64.
  EXPECT_THROW_MSG(readTensor(R"({"layout":{"size":[4],"type":5,"format":0},"data":"AQID*A=="})"),
                   std::invalid_argument, "Tensor JSON's 'tensor_data' is not valid Base64");
  EXPECT_THROW_MSG(readTensor(R"({"layout":{"size":[3],"type":5,"format":0},"data":"AQ\u0000D"})"),
                   std::invalid_argument, "Tensor JSON's 'tensor_data' is not valid Base64");
  // Right length, but padding leaves 4 of the 5 bytes.
  EXPECT_THROW_MSG(readTensor(R"({"layout":{"size":[5],"type":5,"format":0},"data":"AQIDBA=="})"),
                   std::invalid_argument, "Tensor JSON's 'tensor_data' holds fewer bytes than its layout requires");
}

TEST(TensorJson, RejectsLayoutsWithoutAByteSizeBeforeAllocating) {
  EXPECT_KS_THROW(readTensor(R"({"layout":{"size":[2,-1],"type":0,"format":0},"data":""})"), 6,
                  "Tensor layout has negative dimension -1");
  EXPECT_KS_THROW(readTensor(R"({"layout":{"size":[65536,65536],"type":0,"format":0},"data":""})"), 5,
                  "Tensor layout's byte size does not fit in 32 bits");
  EXPECT_KS_THROW(readTensor(R"({"layout":{"size":[1],"type":77,"format":0},"data":"AAAA"})"), 6,
                  "Tensor layout has unknown data type 77");
  // 4,000,000,000 bytes fit in 32 bits, their Base64 length does not.
  EXPECT_KS_THROW(readTensor(R"({"layout":{"size":[1000000,4000],"type":5,"format":0},"data":""})"), 5,
                  "Base64 text of 4000000000 bytes is too long");
  // 1 GiB announced, four characters sent: refused before the gigabyte is allocated.
  EXPECT_THROW_MSG(readTensor(R"({"layout":{"size":[1024,1024,256],"type":0,"format":0},"data":"AAAA"})"),
                   std::invalid_argument, "Tensor JSON's 'tensor_data' is shorter than its layout requires");
}

TEST(TensorJson, FailureBeforeTheDataLeavesTheTensorUntouched) {
  Tensor tensor = tensorOf(TensorDataType::kUInt8, {2}, "zz");
  const unsigned char* data = tensor.data();
  rapidjson::Document document;
  document.Parse(R"({"layout":{"size":[4],"type":5,"format":0},"data":"AA=="})");
  EXPECT_ANY_THROW(tensorFromJson(tensor, document));
  EXPECT_EQ(layoutOf(TensorDataType::kUInt8, TensorFormat::kPlain, {2}), tensor.layout());
  EXPECT_EQ(data, tensor.data());
}

TEST(TensorJson, RoundTripsEveryByteForEveryLengthRemainder) {
  for (int32_t count : {0, 1, 2, 3, 4, 5, 97}) {
    std::string bytes(static_cast<size_t>(count) * 2, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 37 + 11);
    const Tensor tensor = tensorOf(TensorDataType::kFloat16, {count}, bytes);
    const Tensor back = readTensor(streamed(tensor));
    EXPECT_EQ(tensor.layout(), back.layout());
    if (count) {
      EXPECT_EQ(0, std::memcmp(back.data(), bytes.data(), bytes.size())) << count;
    }
  }
}

}  // namespace
}  // namespace ks
