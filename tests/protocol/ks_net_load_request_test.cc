#include "ks_net_load_request.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "support/expect_throw.h"

namespace ks {
namespace {

std::vector<char> netText(const std::string& text) {
  std::vector<char> net(text.begin(), text.end());
  net.push_back('\0');
  return net;
}

NetLoadRequest sample() {
  NetLoadRequest request;
  request.net = netText("Zm9v");
  request.input_tensors = {"in"};
  request.output_tensors = {"out1", "out2"};
  request.key = "k";
  request.cache_dir = "/tmp/c";
  request.backend = 0;
  request.device_type = 1;
  request.device_index = -1;
  return request;
}

const char kSample[] =
    R"({"input_tensors":["in"],"output_tensors":["out1","out2"],"net":"Zm9v","key":"k","cache_dir":"/tmp/c",)"
    R"("backend":0,"device_type":1,"device_index":-1})";

TEST(NetLoadRequest, WritesTheEightMembersInOrder) {
  EXPECT_EQ(kSample, loadRequestToJson(sample()));
  EXPECT_EQ(R"({"input_tensors":[],"output_tensors":[],"net":"","key":"","cache_dir":"","backend":0,)"
            R"("device_type":0,"device_index":0})",
            loadRequestToJson(NetLoadRequest{netText(""), {}, {}, "", "", 0, 0, 0}));
}

TEST(NetLoadRequest, CutsTextFieldsAtTheirFirstNulButWritesNamesWhole) {
  NetLoadRequest request = sample();
  request.net = {'a', 'b', '\0', 'c', '\0'};
  request.key = std::string("k\0ey", 4);
  request.cache_dir = std::string("\0dir", 4);
  request.input_tensors = {std::string("a\0b", 3)};
  request.output_tensors = {"q\"uote\\"};
  EXPECT_EQ(R"({"input_tensors":["a\u0000b"],"output_tensors":["q\"uote\\"],"net":"ab","key":"k","cache_dir":"",)"
            R"("backend":0,"device_type":1,"device_index":-1})",
            loadRequestToJson(request));
  NetLoadRequest back;
  loadRequestFromJson(back, loadRequestToJson(request).c_str());
  EXPECT_EQ(std::vector<std::string>{"a"}, back.input_tensors);
  EXPECT_EQ(request.output_tensors, back.output_tensors);
}

TEST(NetLoadRequest, WritesANetWithoutNulWholeAndEscapesWhatNeedsIt) {
  NetLoadRequest request = sample();
  request.net = {'Q', 'U', 'J', 'D'};  // no NUL: never read past the end
  EXPECT_NE(loadRequestToJson(request).find(R"("net":"QUJD","key")"), std::string::npos);
  request.net = {'a', '"', '\n', '\0'};
  EXPECT_NE(loadRequestToJson(request).find(R"("net":"a\"\n","key")"), std::string::npos);
}

TEST(NetLoadRequest, FrameSurroundsTheNetTextExactlyAsTheWriterPlacesIt) {
  NetLoadRequest request = sample();
  const LoadRequestFrame frame = loadRequestFrame(request);
  EXPECT_EQ(kSample, frame.prefix + "Zm9v" + frame.suffix);
  EXPECT_EQ('"', frame.prefix.back());
  request.input_tensors.clear();
  request.net = netText("");
  const LoadRequestFrame empty = loadRequestFrame(request);
  EXPECT_EQ(loadRequestToJson(request), empty.prefix + empty.suffix);
}

TEST(NetLoadRequest, RoundTripKeepsEveryField) {
  NetLoadRequest request = sample();
  request.device_type = 2147483647;
  request.backend = -2147483647 - 1;
  NetLoadRequest back;
  loadRequestFromJson(back, loadRequestToJson(request).c_str());
  EXPECT_EQ(request.net, back.net);
  EXPECT_EQ(request.input_tensors, back.input_tensors);
  EXPECT_EQ(request.output_tensors, back.output_tensors);
  EXPECT_EQ(request.key, back.key);
  EXPECT_EQ(request.cache_dir, back.cache_dir);
  EXPECT_EQ(request.backend, back.backend);
  EXPECT_EQ(request.device_type, back.device_type);
  EXPECT_EQ(-1, back.device_index);

  // Only the NUL comes back of an empty network.
  NetLoadRequest empty;
  loadRequestFromJson(empty, loadRequestToJson(NetLoadRequest{netText(""), {}, {}, "", "", 0, 0, 0}).c_str());
  EXPECT_EQ(std::vector<char>{'\0'}, empty.net);
  EXPECT_TRUE(empty.input_tensors.empty());
}

// The sample with `member` replaced by `value` (or removed when `value` is null).
std::string withMember(const std::string& member, const char* value) {
  std::string text = kSample;
  const size_t at = text.find("\"" + member + "\":");
  size_t end = at + member.size() + 3;
  int depth = 0;
  for (; end < text.size(); ++end) {
    const char c = text[end];
    if (c == '[' || c == '{') ++depth;
    if (c == ']' || c == '}') {
      if (depth == 0) break;
      --depth;
    }
    if (c == ',' && depth == 0) break;
  }
  if (value) return text.substr(0, at + member.size() + 3) + value + text.substr(end);
  const bool last = text[end] == '}';
  return last ? text.substr(0, at - 1) + text.substr(end) : text.substr(0, at) + text.substr(end + 1);
}

TEST(NetLoadRequest, ChecksMembersInOrderLeavingTheRequestUnchanged) {
  const std::pair<const char*, const char*> members[] = {
      {"input_tensors", "{}"}, {"output_tensors", "\"x\""},   {"net", "1"},
      {"key", "null"},         {"cache_dir", "[]"},           {"backend", "0.0"},
      {"device_type", "true"}, {"device_index", "2147483648"}};
  for (const auto& [member, bad] : members) {
    const std::string message = std::string("'") + member + "' is not set properly";
    for (const std::string& text : {withMember(member, bad), withMember(member, nullptr)}) {
      NetLoadRequest request;
      request.key = "untouched";
      EXPECT_THROW_MSG(loadRequestFromJson(request, text.c_str()), std::invalid_argument, message) << text;
      EXPECT_EQ("untouched", request.key);
      EXPECT_TRUE(request.net.empty());
    }
  }
  for (const char* backend : {"\"0\"", "true", "1e0"}) {
    NetLoadRequest request;
    EXPECT_THROW_MSG(loadRequestFromJson(request, withMember("backend", backend).c_str()), std::invalid_argument,
                     "'backend' is not set properly");
  }
}

TEST(NetLoadRequest, StopsAtTheFirstFailingCheck) {
  NetLoadRequest request;
  EXPECT_THROW_MSG(loadRequestFromJson(request, "not json"), std::invalid_argument,
                   "'input_tensors' is not set properly");
  EXPECT_THROW_MSG(loadRequestFromJson(request, "[1,2]"), std::invalid_argument, "'input_tensors' is not set properly");
  EXPECT_THROW_MSG(loadRequestFromJson(request, R"({"input_tensors":[],"output_tensors":[],"net":5})"),
                   std::invalid_argument, "'net' is not set properly");
}

TEST(NetLoadRequest, AppendsNamesAndKeepsWhatItStoredBeforeABadName) {
  NetLoadRequest request;
  request.input_tensors = {"old"};
  loadRequestFromJson(request, kSample);
  EXPECT_EQ((std::vector<std::string>{"old", "in"}), request.input_tensors);

  NetLoadRequest bad;
  EXPECT_THROW_MSG(loadRequestFromJson(bad, withMember("input_tensors", R"(["a",1])").c_str()), std::invalid_argument,
                   "'input_tensors' should be an array of strings");
  EXPECT_EQ(std::vector<std::string>{"a"}, bad.input_tensors);
  EXPECT_EQ("k", bad.key);
  EXPECT_EQ(-1, bad.device_index);
  NetLoadRequest badOutput;
  EXPECT_THROW_MSG(loadRequestFromJson(badOutput, withMember("output_tensors", R"(["a",null])").c_str()),
                   std::invalid_argument, "'output_tensors' should be an array of strings");
  EXPECT_EQ(std::vector<std::string>{"in"}, badOutput.input_tensors);
}

TEST(NetLoadRequest, TakesTheFirstOfEqualNamesAndIgnoresUnknownMembers) {
  const std::string text = std::string(R"({"extra":{"a":[1]},"key":"first","key":7,)") + (kSample + 1);
  NetLoadRequest request;
  loadRequestFromJson(request, text.c_str());
  EXPECT_EQ("first", request.key);
}

}  // namespace
}  // namespace ks
