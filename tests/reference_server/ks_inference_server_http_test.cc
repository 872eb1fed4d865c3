// The server as a misbehaving peer sees it: raw HTTP requests, malformed messages and broken connections.
// After every test the server must still open a session.
#include "ks_inference_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <httplib.h>

#include "ks_inference_request.h"
#include "ks_inference_server_test_support.h"
#include "ks_net_load_request.h"
#include "ks_session_reply.h"
#include "ks_status_message.h"
#include "support/raw_connection.h"

namespace ks {
namespace server {
namespace {

using namespace ks::server::testing;

const char kJson[] = "application/json";

// "<HTTP status> <status> <text>" of a status message reply, or what is wrong with the reply.
std::string statusOf(const httplib::Result& result) {
  if (!result) return "no reply";
  StatusMessage message;
  if (!statusFromJson(message, result->body.c_str())) return "not a status message: " + result->body;
  return std::to_string(result->status) + " " + (message.status ? "true " : "false ") + message.text;
}

std::string refused(int httpStatus, const std::string& text) { return std::to_string(httpStatus) + " false " + text; }

// The message with which a codec reader rejects `body`.
template <typename Read>
std::string readerError(Read&& read) {
  try {
    read();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<accepted>";
}

// A loopback TCP connection written byte by byte, closed by the destructor.
using ks::testing::RawConnection;

class InferenceServerHttp : public ::testing::Test {
 protected:
  static InferenceServerOptions options() {
    InferenceServerOptions options;
    options.service.maxSessions = 3;
    options.service.clientSharePercent = 100;  // every test client is 127.0.0.1
    options.http.limits.maxBodyBytes = 4096;
    return options;
  }

  void TearDown() override { EXPECT_NE(openSession(), "") << "the server no longer serves"; }

  std::string openSession() {
    const httplib::Result result = client_.Get("/session?action=new");
    std::string id;
    if (result) sessionReplyFromJson(id, result->body.c_str());
    return id;
  }

  RunningServer running_{options()};
  httplib::Client client_{"127.0.0.1", running_.port};
};

TEST_F(InferenceServerHttp, AnswersMalformedMessagesWithTheCodecsText) {
  const std::string id = openSession();
  const std::string load = "/net?action=load&session_id=" + id;
  // Text that is not JSON is told so, not blamed on a member.
  EXPECT_EQ(refused(400, "the request body is not JSON: The document is empty. (at byte 0)"),
            statusOf(client_.Post(load.c_str(), "", kJson)));
  EXPECT_EQ(refused(400, "the request body is not JSON: Invalid value. (at byte 19)"),
            statusOf(client_.Post(load.c_str(), "{\"input_tensors\": [", kJson)));
  for (const char* body : {"[]", "{}", R"({"input_tensors":["a"],"output_tensors":[7]})",
                           R"({"input_tensors":["a",7],"output_tensors":[],"net":"","key":"","cache_dir":"",
                               "backend":0,"device_type":0,"device_index":0})"}) {
    const std::string text = readerError([&] {
      NetLoadRequest request;
      loadRequestFromJson(request, body);
    });
    EXPECT_EQ(refused(400, text), statusOf(client_.Post(load.c_str(), body, kJson))) << body;
  }
  const std::string inference = "/inference?session_id=" + id;
  for (const char* body : {"{}", R"({"input_tensors":5})", R"({"input_tensors":[],"repetitions_count":1.5})",
                           R"({"input_tensors":[{"layout":{"size":[2],"type":0,"format":0},"data":"AAAA"}]})"}) {
    const std::string text = readerError([&] {
      InferenceRequest request;
      inferenceRequestFromJson(request, body);
    });
    EXPECT_EQ(refused(400, text), statusOf(client_.Post(inference.c_str(), body, kJson))) << body;
  }
  // But for a fifth dimension, where the core library's text speaks of its container.
  EXPECT_EQ(refused(400, "a tensor's layout has more than 4 dimensions; a layout holds at most 4"),
            statusOf(client_.Post(
                inference.c_str(),
                R"({"input_tensors":[{"layout":{"size":[1,1,1,1,1],"type":0,"format":0},"data":""}]})", kJson)));
}

TEST_F(InferenceServerHttp, RefusesNetworksItCannotDecodeOrPlace) {
  const std::string load = "/net?action=load&session_id=" + openSession();
  const auto request = [](const std::string& net, int backend, int type, int index) {
    return R"({"input_tensors":[],"output_tensors":[],"net":")" + net + R"(","key":"","cache_dir":"","backend":)" +
           std::to_string(backend) + ",\"device_type\":" + std::to_string(type) +
           ",\"device_index\":" + std::to_string(index) + "}";
  };
  EXPECT_EQ(refused(400, "network is not valid Base64"),
            statusOf(client_.Post(load.c_str(), request("AB=C", 0, 0, 0), kJson)));
  EXPECT_EQ(refused(400, "empty network"), statusOf(client_.Post(load.c_str(), request("", 0, 0, -1), kJson)));
  EXPECT_EQ(refused(400, "device type 1 is not supported: this server has a CPU device (0) only"),
            statusOf(client_.Post(load.c_str(), request("AAAA", 0, 1, 0), kJson)));
  EXPECT_EQ(
      refused(400, "device index 1 is not supported: this server has one device (index 0, or -1 for the default)"),
      statusOf(client_.Post(load.c_str(), request("AAAA", 0, 0, 1), kJson)));
}

TEST_F(InferenceServerHttp, RefusesRequestsOutsideTheProtocol) {
  const std::string unknown = "unknown session: it was never opened, was closed or has expired";
  EXPECT_EQ(refused(404, unknown), statusOf(client_.Get("/net?action=get_layouts&session_id=0123")));
  EXPECT_EQ(refused(404, unknown), statusOf(client_.Post("/inference?session_id=%2e%2e", "{}", kJson)));
  EXPECT_EQ(refused(404, unknown), statusOf(client_.Get("/session?action=delete&session_id=0123")));
  EXPECT_EQ(refused(400, "missing session_id"), statusOf(client_.Get("/net?action=get_layouts")));
  EXPECT_EQ(refused(400, "unknown action 'renew' for /session"), statusOf(client_.Get("/session?action=renew")));
  EXPECT_EQ(refused(400, "missing action for /net"), statusOf(client_.Get("/net")));
  EXPECT_EQ(refused(404, "unknown path: GET /models"), statusOf(client_.Get("/models")));
  EXPECT_EQ(refused(405, "action 'new' takes GET, not POST"), statusOf(client_.Post("/session?action=new", "", kJson)));

  const std::string id = openSession();
  EXPECT_EQ(refused(409, "no network loaded"),
            statusOf(client_.Get(("/net?action=get_layouts&session_id=" + id).c_str())));
  const std::string inference = "/inference?session_id=" + id;
  EXPECT_EQ(refused(409, "no network loaded"),
            statusOf(client_.Post(inference.c_str(), R"({"input_tensors":[]})", kJson)));
  EXPECT_EQ(refused(400, "repetitions_count 4294967295 is above the limit of 10000"),
            statusOf(client_.Post(inference.c_str(), R"({"input_tensors":[],"repetitions_count":-1})", kJson)));
  EXPECT_EQ("200 true ", statusOf(client_.Get(("/session?action=delete&session_id=" + id).c_str())));
}

TEST_F(InferenceServerHttp, RefusesSessionsBeyondTheLimitUntilOneCloses) {
  const std::string first = openSession();
  openSession();
  openSession();
  EXPECT_EQ(refused(503, "too many sessions: the server allows 3 open sessions"),
            statusOf(client_.Get("/session?action=new")));
  client_.Get(("/session?action=delete&session_id=" + first).c_str());
}

TEST_F(InferenceServerHttp, RefusesABodyOverTheLimit) {
  const std::string load = "/net?action=load&session_id=" + openSession();
  EXPECT_EQ(refused(413, "request body too large: the limit is 4096 bytes"),
            statusOf(client_.Post(load.c_str(), std::string(5000, ' '), kJson)));
}

TEST_F(InferenceServerHttp, AnswersGarbageAndSurvivesAClientThatLeavesMidBody) {
  {
    RawConnection garbage(running_.port);
    garbage.send("\x16\x03\x01 not http at all\r\n\r\n");
    const std::string reply = garbage.readReply();
    EXPECT_NE(reply.find("HTTP/1.1 400"), std::string::npos) << reply;
    EXPECT_NE(reply.find(R"({"status":false,"text":"the request line is not 'method target HTTP/1.x'"})"),
              std::string::npos)
        << reply;
  }
  {
    RawConnection leaving(running_.port);
    leaving.send("POST /inference?session_id=" + openSession() +
                 " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n");
    leaving.send("{\"input_te");
  }
  EXPECT_NE(openSession(), "");
}

}  // namespace
}  // namespace server
}  // namespace ks
