#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "ks_json_io.h"
#include "ks_layouts_response.h"
#include "ks_session_reply.h"
#include "ks_status_message.h"
#include "support/expect_throw.h"

namespace ks {
namespace {

const char kNoSession[] = "Bas server response: cannot get session_id";
const char kNoLayouts[] = "Server response should contain 'input_layouts' and 'output_layouts' array";

std::string readSession(const char* text) {
  std::string id = "before";
  sessionReplyFromJson(id, text);
  return id;
}

TEST(JsonParse, RefusesANumberWhoseExponentWouldOverflowTheParserButKeepsStringsAndOrdinaryNumbers) {
  // Found by fuzzing: RapidJSON adds this exponent to the count of fraction digits in an int.
  std::string hostile = R"({"n":3.536333333333333333333e-2147483633,"s":"e-2147483633"})";
  rapidjson::Document refused;
  EXPECT_TRUE(json::parseObjectInPlace(refused, &hostile[0]).ObjectEmpty());
  EXPECT_EQ(rapidjson::kParseErrorNumberMissExponent, refused.GetParseError());

  std::string fine = R"({"n":1.5e-300,"s":"x\"1e-2147483633\\","m":2E+10})";
  rapidjson::Document parsed;
  const rapidjson::Value& root = json::parseObjectInPlace(parsed, &fine[0]);
  ASSERT_FALSE(parsed.HasParseError());
  EXPECT_DOUBLE_EQ(1.5e-300, root["n"].GetDouble());
  EXPECT_STREQ("x\"1e-2147483633\\", root["s"].GetString());
  EXPECT_DOUBLE_EQ(2e10, root["m"].GetDouble());
}

TEST(SessionReply, WritesAndReadsTheIdentifier) {
  EXPECT_EQ(R"({"session_id":"abc"})", sessionReplyToJson("abc"));
  EXPECT_EQ(R"({"session_id":"ab"})", sessionReplyToJson(std::string("ab\0c", 4)));
  EXPECT_EQ("abc", readSession(R"({"session_id":"abc","x":1})"));
  EXPECT_EQ("a", readSession(R"({"session_id":"a\u0000bc"})"));
  EXPECT_EQ("first", readSession(R"({"session_id":"first","session_id":"second"})"));
}

TEST(SessionReply, RejectsRepliesWithoutAStringIdentifierAndKeepsTheOldOne) {
  for (const char* text : {R"({"session_id":5})", "{}", "<html>500</html>", "", R"({"session_id":"a"} {})",
                           R"(["session_id","a"])", R"({"Session_id":"a"})"}) {
    std::string id = "kept";
    EXPECT_THROW_MSG(sessionReplyFromJson(id, text), std::invalid_argument, kNoSession) << text;
    EXPECT_EQ("kept", id);
  }
  std::string id;
  EXPECT_THROW_MSG(sessionReplyFromJson(id, nullptr), std::invalid_argument, kNoSession);
}

TEST(StatusMessage, WritesStatusThenTheWholeText) {
  EXPECT_EQ(R"({"status":true,"text":""})", statusToJson(StatusMessage()));
  StatusMessage message;
  message.status = false;
  message.text = std::string("a\"b\\c\n\x01/\0z", 10);
  EXPECT_EQ(R"({"status":false,"text":"a\"b\\c\n\u0001/\u0000z"})", statusToJson(message));
}

TEST(StatusMessage, ReportsWhetherTheTextHeldAStatus) {
  for (const char* text : {R"({"session_id":"abc"})", "", "not json", "[true]", R"({"Status":false})"}) {
    StatusMessage message;
    message.text = "kept";
    EXPECT_FALSE(statusFromJson(message, text)) << text;
    EXPECT_TRUE(message.status);
    EXPECT_EQ("kept", message.text);
  }
  StatusMessage message;
  message.text = "kept";
  EXPECT_TRUE(statusFromJson(message, R"({"status":true})"));
  EXPECT_TRUE(message.status);
  EXPECT_EQ("kept", message.text);
  EXPECT_TRUE(statusFromJson(message, R"({"status":false})"));
  EXPECT_FALSE(message.status);
  EXPECT_TRUE(statusFromJson(message, R"({"status":true,"text":"done\u0000hidden"})"));
  EXPECT_EQ("done", message.text);
}

TEST(StatusMessage, RejectsMistypedMembersKeepingWhatWasSetBefore) {
  for (const char* text : {R"({"status":1})", R"({"status":"false"})", R"({"status":null})"}) {
    StatusMessage message;
    EXPECT_THROW_MSG(statusFromJson(message, text), std::invalid_argument, "Got status message with invalid status");
    EXPECT_TRUE(message.status);
  }
  StatusMessage message;
  EXPECT_THROW_MSG(statusFromJson(message, R"({"status":false,"text":7})"), std::invalid_argument,
                   "Got status message with invalid 'message'");
  EXPECT_FALSE(message.status);
}

TensorLayout layoutOf(TensorDataType type, TensorSize size) {
  return TensorLayout(type, TensorFormat::kNchw, size, TensorSize(), TensorChannelOrder::kNone);
}

TEST(LayoutsResponse, WritesBothListsInOrder) {
  EXPECT_EQ(R"({"input_layouts":[],"output_layouts":[]})", layoutsToJson(LayoutsResponse()));
  LayoutsResponse response;
  response.input_layouts = {layoutOf(TensorDataType::kFloat32, {1, 3}), layoutOf(TensorDataType::kInt8, {})};
  response.output_layouts = {layoutOf(TensorDataType::kInt64, {-1})};
  EXPECT_EQ(R"({"input_layouts":[{"size":[1,3],"type":0,"format":1},{"size":[],"type":4,"format":1}],)"
            R"("output_layouts":[{"size":[-1],"type":6,"format":1}]})",
            layoutsToJson(response));
  LayoutsResponse back;
  layoutsFromJson(back, layoutsToJson(response).c_str());
  EXPECT_EQ(response.input_layouts, back.input_layouts);
  EXPECT_EQ(response.output_layouts, back.output_layouts);
}

TEST(LayoutsResponse, RequiresBothArrays) {
  for (const char* text : {R"({"input_layouts":[]})", R"({"input_layouts":"x","output_layouts":[]})",
                           R"({"output_layouts":[],"input_layouts":{}})", "garbage", ""}) {
    LayoutsResponse response;
    EXPECT_THROW_MSG(layoutsFromJson(response, text), std::invalid_argument, kNoLayouts) << text;
  }
  LayoutsResponse response;
  layoutsFromJson(response, R"({"output_layouts":[],"input_layouts":[]})");
  EXPECT_TRUE(response.input_layouts.empty());
}

TEST(LayoutsResponse, KeepsTheLayoutsReadBeforeABadOne) {
  LayoutsResponse response;
  EXPECT_KS_THROW(layoutsFromJson(response, R"({"input_layouts":[{"size":[1],"type":0,"format":0},)"
                                            R"({"size":[1,2,3,4,5],"type":0,"format":0}],"output_layouts":[]})"),
                  19, "No room for new element. StaticVector is full.");
  EXPECT_EQ(1u, response.input_layouts.size());
  response = LayoutsResponse();
  EXPECT_THROW_MSG(layoutsFromJson(response, R"({"input_layouts":[{"size":[2],"type":0,"format":0}],)"
                                             R"("output_layouts":[{"size":[2],"type":0}]})"),
                   std::invalid_argument, "Tensor laoyut JSON's 'format' should be an int");
  EXPECT_EQ(1u, response.input_layouts.size());
  EXPECT_TRUE(response.output_layouts.empty());
}

TEST(MessageParsing, SurvivesHostileNestingAndTreatsItAsNotJson) {
  // A million open brackets must not exhaust the stack.
  const std::string deep(1000000, '[');
  StatusMessage message;
  EXPECT_FALSE(statusFromJson(message, deep.c_str()));
  const std::string closed = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_FALSE(statusFromJson(message, closed.c_str()));
  const std::string nested = R"({"status":false,"text":"x","deep":)" + closed + "}";
  EXPECT_TRUE(statusFromJson(message, nested.c_str()));
  EXPECT_FALSE(message.status);
}

TEST(MessageParsing, ReadsStrictJsonOnly) {
  StatusMessage message;
  for (const char* text : {R"({"status":false,})", R"({"status":false} x)", R"(// c
{"status":false})",
                           R"({'status':false})", R"({"status":NaN})"}) {
    EXPECT_FALSE(statusFromJson(message, text)) << text;
  }
  EXPECT_TRUE(statusFromJson(message, " \t\r\n{\"status\":false} \t\r\n"));
}

}  // namespace
}  // namespace ks
