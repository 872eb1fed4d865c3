#include "ks_netclient/detail/ks_remote_session.h"

#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>
#include <httplib.h>

#include "ks_session_path.h"
#include "support/expect_throw.h"

namespace ks {
namespace {

httplib::Result resultWithBody(const std::string& body, int status = 200) {
  auto response = std::make_unique<httplib::Response>();
  response->status = status;
  response->body = body;
  return httplib::Result(std::move(response), httplib::Error::Success);
}

TEST(CheckReply, MissingReplyNamesTheOperationWhenThereIsOne) {
  const httplib::Result none(nullptr, httplib::Error::Connection);
  EXPECT_THROW_MSG(RemoteSession::checkReply(none, "close session"), std::runtime_error,
                   "http request error during operation: close session");
  EXPECT_THROW_MSG(RemoteSession::checkReply(none, ""), std::runtime_error, "http request error");
}

TEST(CheckReply, ServerErrorsCarryTheServersText) {
  EXPECT_THROW_MSG(RemoteSession::checkReply(resultWithBody(R"({"status":false,"text":"T"})"), "close session"),
                   std::runtime_error, "Server returned error: T; operation: close session");
  EXPECT_THROW_MSG(RemoteSession::checkReply(resultWithBody(R"({"status":false,"text":"T"})"), ""),
                   std::runtime_error, "Server returned error: T");
  EXPECT_THROW_MSG(RemoteSession::checkReply(resultWithBody(R"({"status":false,"text":1})"), "x"),
                   std::invalid_argument, "Got status message with invalid 'message'");
}

TEST(CheckReply, PassesWhateverIsNotAFailedStatusMessageRegardlessOfTheHttpCode) {
  EXPECT_NO_THROW(RemoteSession::checkReply(resultWithBody(R"({"status":true})", 500), "x"));
  EXPECT_NO_THROW(RemoteSession::checkReply(resultWithBody("<html>404</html>", 404), "x"));
  EXPECT_NO_THROW(RemoteSession::checkReply(resultWithBody(""), "x"));
  // Whatever follows an embedded NUL is not read.
  EXPECT_NO_THROW(RemoteSession::checkReply(resultWithBody(std::string("{}\0{\"status\":false}", 19)), "x"));
}

TEST(SessionPath, LeavesUnreservedCharactersAndEncodesEveryOtherByte) {
  EXPECT_EQ(sessionPath("/p?id=", "AZaz09-._~"), "/p?id=AZaz09-._~");
  EXPECT_EQ(sessionPath("/p?id=", std::string("a b&c?d=\xff\0+", 11)), "/p?id=a%20b%26c%3Fd%3D%FF%00%2B");
  EXPECT_EQ(sessionPath("/p?id=", ""), "/p?id=");
}

}  // namespace
}  // namespace ks
