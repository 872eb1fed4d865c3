#include "ks_reply_check.h"

#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>
#include <httplib.h>

#include "support/expect_throw.h"

namespace ks {
namespace {

httplib::Result resultWithBody(const std::string& body, int status = 200) {
  auto response = std::make_unique<httplib::Response>();
  response->status = status;
  response->body = body;
  return httplib::Result(std::move(response), httplib::Error::Success);
}

// checkReply on `result`, for tests that look only at what it throws.
void check(httplib::Result&& result, const std::string& operation) {
  rapidjson::Document document;
  checkReply(result, operation, document);
}

TEST(CheckReply, MissingReplyNamesTheOperationWhenThereIsOne) {
  EXPECT_THROW_MSG(check(httplib::Result(nullptr, httplib::Error::Connection), "close session"), std::runtime_error,
                   "http request error during operation: close session");
  EXPECT_THROW_MSG(check(httplib::Result(nullptr, httplib::Error::Connection), ""), std::runtime_error,
                   "http request error");
}

TEST(CheckReply, ServerErrorsCarryTheServersText) {
  EXPECT_THROW_MSG(check(resultWithBody(R"({"status":false,"text":"T"})"), "close session"), std::runtime_error,
                   "Server returned error: T; operation: close session");
  EXPECT_THROW_MSG(check(resultWithBody(R"({"status":false,"text":"T"})"), ""), std::runtime_error,
                   "Server returned error: T");
  EXPECT_THROW_MSG(check(resultWithBody(R"({"status":false,"text":1})"), "x"), std::invalid_argument,
                   "Got status message with invalid 'message'");
}

TEST(CheckReply, PassesWhateverIsNotAFailedStatusMessageRegardlessOfTheHttpCode) {
  EXPECT_NO_THROW(check(resultWithBody(R"({"status":true})", 500), "x"));
  EXPECT_NO_THROW(check(resultWithBody("<html>404</html>", 404), "x"));
  EXPECT_NO_THROW(check(resultWithBody(""), "x"));
  // Whatever follows an embedded NUL is not read.
  EXPECT_NO_THROW(check(resultWithBody(std::string("{}\0{\"status\":false}", 19)), "x"));
}

TEST(CheckReply, HandsTheParsedReplyToItsReader) {
  httplib::Result result = resultWithBody(R"({"session_id":"abc","status":true})");
  rapidjson::Document document;
  const rapidjson::Value& root = checkReply(result, "create session", document);
  ASSERT_TRUE(root.HasMember("session_id"));
  EXPECT_STREQ("abc", root["session_id"].GetString());
}

}  // namespace
}  // namespace ks
