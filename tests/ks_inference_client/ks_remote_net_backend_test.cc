#include "ks_netclient/ks_remote_net_backend.h"

#include <pthread.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/expect_throw.h"
#include "support/test_http_server.h"

namespace ks {
namespace {

using testing::TestHttpServer;

const char kLayouts[] =
    R"({"input_layouts":[{"size":[3],"type":5,"format":0}],"output_layouts":[{"size":[1,2],"type":0,"format":1}]})";
const char kStatusTrue[] = R"({"status":true,"text":""})";

void reply(httplib::Response& response, const std::string& body, int code = 200) {
  response.status = code;
  response.set_content(body, "application/json");
}

// A server that issues session "abc", serves kLayouts and answers everything else with `inference` (for
// /inference) or a status true message. Tests register their own handlers before calling start(); the
// first handler whose path matches wins.
class ScriptedServer : public TestHttpServer {
 public:
  std::string sessionId = "abc";
  std::string layouts = kLayouts;
  std::string inference = R"({"output_tensors":[]})";

  int start() {
    http().Get("/session", [this](const httplib::Request& request, httplib::Response& response) {
      reply(response,
            request.get_param_value("action") == "new" ? R"({"session_id":")" + sessionId + R"("})" : kStatusTrue);
    });
    http().Get("/net", [this](const httplib::Request&, httplib::Response& response) { reply(response, layouts); });
    http().Post("/net", [](const httplib::Request&, httplib::Response& response) { reply(response, kStatusTrue); });
    http().Post("/inference",
                [this](const httplib::Request&, httplib::Response& response) { reply(response, inference); });
    return TestHttpServer::start();
  }

  std::unique_ptr<RemoteNetBackend> connect() {
    return std::make_unique<RemoteNetBackend>("127.0.0.1", port(), BackendId::kCpu, DeviceType::kCpu, 0);
  }
};

Tensor bytesTensor(const std::string& bytes) {
  Tensor tensor(TensorLayout(TensorDataType::kUInt8, TensorFormat::kPlain, {static_cast<int32_t>(bytes.size())},
                             TensorSize(), TensorChannelOrder::kNone));
  std::memcpy(tensor.data(), bytes.data(), bytes.size());
  return tensor;
}

std::string bytesOf(const Tensor& tensor) {
  return std::string(reinterpret_cast<const char*>(tensor.data()), tensor.layout().byteSize());
}

// A file in the test's temporary folder, removed at the end of the test.
class TempFile {
 public:
  explicit TempFile(const std::string& content) : path_(::testing::TempDir() + "ks_net_" + std::to_string(++counter)) {
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  static inline int counter = 0;
  std::string path_;
};

TEST(RemoteNetBackendLifecycle, OpensOneSessionAndClosesItOnce) {
  ScriptedServer server;
  server.start();
  {
    auto backend = server.connect();
    EXPECT_TRUE(backend->inputNames().empty());
    EXPECT_TRUE(backend->outputNames().empty());
    EXPECT_KS_THROW(backend->srcLayout(0), 5, "Input layout index 0 is out of range: the loaded network has 0");
    EXPECT_KS_THROW(backend->dstLayout(0), 5, "Output layout index 0 is out of range: the loaded network has 0");
    EXPECT_TRUE(backend->getDeviceContext().isDefault());
  }
  const auto requests = server.requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("GET", requests[0].method);
  EXPECT_EQ("/session?action=new", requests[0].target);
  EXPECT_EQ("GET", requests[1].method);
  EXPECT_EQ("/session?action=delete&session_id=abc", requests[1].target);
}

TEST(RemoteNetBackendLifecycle, FailsWithStatus12WhenNothingListens) {
  EXPECT_KS_THROW(RemoteNetBackend("127.0.0.1", testing::closedPort(), BackendId::kCpu, DeviceType::kCpu, 0), 12,
                  "http request error during operation: create session");
}

TEST(RemoteNetBackendLifecycle, RefusedSessionRaisesTheServersTextAndSendsNoClose) {
  TestHttpServer server;
  server.http().Get("/session", [](const httplib::Request&, httplib::Response& response) {
    reply(response, R"({"status":false,"text":"too many sessions: 100%"})", 503);
  });
  server.start();
  EXPECT_KS_THROW(RemoteNetBackend("127.0.0.1", server.port(), BackendId::kCpu, DeviceType::kCpu, 0), 12,
                  "Server returned error: too many sessions: 100%; operation: create session");
  EXPECT_EQ(1u, server.requests().size());
}

TEST(RemoteNetBackendLifecycle, MalformedSessionRepliesRaiseStatus6) {
  for (const char* body : {"{}", "<html><body>502 Bad Gateway</body></html>", R"({"session_id":7})"}) {
    TestHttpServer server;
    server.http().Get("/session",
                      [&](const httplib::Request&, httplib::Response& response) { reply(response, body, 500); });
    server.start();
    EXPECT_KS_THROW(RemoteNetBackend("127.0.0.1", server.port(), BackendId::kCpu, DeviceType::kCpu, 0), 6,
                    "Bas server response: cannot get session_id");
  }
  TestHttpServer server;
  server.http().Get(
      "/session", [](const httplib::Request&, httplib::Response& response) { reply(response, R"({"status":"no"})"); });
  server.start();
  EXPECT_KS_THROW(RemoteNetBackend("127.0.0.1", server.port(), BackendId::kCpu, DeviceType::kCpu, 0), 6,
                  "Got status message with invalid status");
}

TEST(RemoteNetBackendLifecycle, DestructionSwallowsAServerThatWentAway) {
  auto server = std::make_unique<ScriptedServer>();
  server->start();
  auto backend = server->connect();
  server.reset();
  EXPECT_NO_THROW(backend.reset());
}

TEST(RemoteNetBackendLifecycle, DestructionSwallowsARefusedClose) {
  ScriptedServer server;
  server.http().Get("/session", [](const httplib::Request& request, httplib::Response& response) {
    reply(response,
          request.get_param_value("action") == "new" ? R"({"session_id":"s"})" : R"({"status":false,"text":"no"})");
  });
  server.start();
  EXPECT_NO_THROW(server.connect().reset());
  EXPECT_EQ(2u, server.requests().size());
}

TEST(RemoteNetBackendLifecycle, PercentEncodesSessionIdsThatAreNotUrlSafe) {
  ScriptedServer server;
  server.sessionId = "a b&c?d/%";
  server.start();
  server.connect().reset();
  const auto requests = server.requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("/session?action=delete&session_id=a%20b%26c%3Fd%2F%25", requests[1].target);
  EXPECT_EQ("a b&c?d/%", requests[1].params.find("session_id")->second);
}

TEST(RemoteNetBackendProperties, AreRefusedWithStatus8AndLeaveTheBackendUsable) {
  ScriptedServer server;
  server.start();
  auto backend = server.connect();
  EXPECT_KS_THROW(backend->setIntProperty(0, 0), 8, "Remote net backend does not support properties for now");
  EXPECT_KS_THROW(backend->getIntProperty(0), 8, "Remote net backend does not support properties for now");
  try {
    backend->getIntProperty(3);
    ADD_FAILURE() << "getIntProperty(3) threw nothing";
  } catch (const Exception& e) {
    EXPECT_EQ("getIntProperty", e.function());
    EXPECT_EQ("src/ks_inference_client/ks_remote_net_backend", e.file());
  }
  std::vector<Tensor> outputs;
  EXPECT_NO_THROW(backend->forward({}, outputs));
}

TEST(RemoteNetBackendLoad, UploadsTheFileAndLearnsTheLayouts) {
  ScriptedServer server;
  server.start();
  auto backend = std::make_unique<RemoteNetBackend>("127.0.0.1", server.port(), BackendId::kCpu, DeviceType::kGpu, 2);
  const TempFile net("abc");
  backend->load(net.path(), {"in"}, {"out", "aux"}, "k", "/cache");
  const auto requests = server.requests();
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ("POST", requests[1].method);
  EXPECT_EQ("/net?action=load&session_id=abc", requests[1].target);
  EXPECT_EQ("application/json", requests[1].contentType);
  EXPECT_EQ(R"({"input_tensors":["in"],"output_tensors":["out","aux"],"net":"YWJj","key":"k","cache_dir":"/cache",)"
            R"("backend":0,"device_type":1,"device_index":2})",
            requests[1].body);
  EXPECT_EQ("GET", requests[2].method);
  EXPECT_EQ("/net?action=get_layouts&session_id=abc", requests[2].target);
  EXPECT_EQ((std::vector<std::string>{"in"}), backend->inputNames());
  EXPECT_EQ((std::vector<std::string>{"out", "aux"}), backend->outputNames());
  EXPECT_EQ(TensorLayout(TensorDataType::kUInt8, TensorFormat::kPlain, {3}, TensorSize(), TensorChannelOrder::kNone),
            backend->srcLayout(0));
  EXPECT_EQ(
      TensorLayout(TensorDataType::kFloat32, TensorFormat::kNchw, {1, 2}, TensorSize(), TensorChannelOrder::kNone),
      backend->dstLayout(0));
  EXPECT_KS_THROW(backend->dstLayout(1), 5, "Output layout index 1 is out of range: the loaded network has 1");
}

TEST(RemoteNetBackendLoad, SendsAMissingFileAsAnEmptyNetworkAndKeepsTheNamesWhenRefused) {
  ScriptedServer server;
  server.http().Post("/net", [](const httplib::Request& request, httplib::Response& response) {
    reply(response, request.body.find(R"("net":"")") != std::string::npos ? R"({"status":false,"text":"empty network"})"
                                                                          : kStatusTrue);
  });
  server.start();
  auto backend = server.connect();
  const TempFile net("net");
  backend->load(net.path(), {"a"}, {"b"}, "", "");
  EXPECT_KS_THROW(backend->load("/nonexistent/file.onnx", {"x"}, {}, "", ""), 12,
                  "Server returned error: empty network; operation: upload network");
  EXPECT_EQ(std::vector<std::string>{"x"}, backend->inputNames());
  EXPECT_TRUE(backend->outputNames().empty());
  EXPECT_NO_THROW(backend->srcLayout(0));  // the previous network's layouts stay
  const TempFile empty("");
  EXPECT_KS_THROW(backend->load(empty.path(), {}, {}, "", ""), 12,
                  "Server returned error: empty network; operation: upload network");
  EXPECT_NE(server.requests().back().body.find(R"({"input_tensors":[],"output_tensors":[],"net":"")"),
            std::string::npos);
}

TEST(RemoteNetBackendLoad, ReplacesLayoutsOnlyAfterAWholeReply) {
  ScriptedServer server;
  server.start();
  auto backend = server.connect();
  const TempFile net("n");
  backend->load(net.path(), {}, {}, "", "");
  server.layouts = R"({"input_layouts":[{"size":[1],"type":0,"format":0},{"size":[1,2,3,4,5],"type":0,"format":0}],)"
                   R"("output_layouts":[]})";
  EXPECT_KS_THROW(backend->load(net.path(), {}, {}, "", ""), 3, "No room for new element. StaticVector is full.");
  server.layouts = R"({"input_layouts":[]})";
  EXPECT_KS_THROW(backend->load(net.path(), {}, {}, "", ""), 6,
                  "Server response should contain 'input_layouts' and 'output_layouts' array");
  server.layouts = R"({"status":false})";
  EXPECT_KS_THROW(backend->load(net.path(), {}, {}, "", ""), 12,
                  "Server returned error: ; operation: request tensors layout");
  EXPECT_EQ(TensorSize{3}, backend->srcLayout(0).size());
  EXPECT_KS_THROW(backend->srcLayout(1), 5, "Input layout index 1 is out of range: the loaded network has 1");
}

TEST(RemoteNetBackendLoad, PassesServerErrorPagesThatAreNotStatusMessages) {
  ScriptedServer server;
  server.http().Post("/net", [](const httplib::Request&, httplib::Response& response) {
    reply(response, "<html>Internal Server Error</html>", 500);
  });
  server.start();
  auto backend = server.connect();
  const TempFile net("n");
  EXPECT_NO_THROW(backend->load(net.path(), {}, {}, "", ""));
}

TEST(RemoteNetBackendForward, SendsInputsAndReplacesOutputsWithTheReplysTensors) {
  ScriptedServer server;
  server.inference = R"({"output_tensors":[{"layout":{"size":[2],"type":5,"format":0},"data":"YWI="},)"
                     R"({"layout":{"size":[1],"type":5,"format":0},"data":"eg=="},)"
                     R"({"layout":{"size":[0],"type":0,"format":0},"data":""}]})";
  server.start();
  auto backend = server.connect();
  std::vector<Tensor> outputs(5, bytesTensor("old"));
  backend->forward({bytesTensor("\x01\x02\x03")}, outputs);
  const auto request = server.requests().back();
  EXPECT_EQ("/inference?session_id=abc", request.target);
  EXPECT_EQ("application/json", request.contentType);
  EXPECT_EQ(R"({"input_tensors":[{"layout":{"size":[3],"type":5,"format":0},"data":"AQID"}],"repetitions_count":1})",
            request.body);
  ASSERT_EQ(3u, outputs.size());
  EXPECT_EQ("ab", bytesOf(outputs[0]));
  EXPECT_EQ("z", bytesOf(outputs[1]));
  EXPECT_EQ(0u, outputs[2].layout().byteSize());

  server.inference = R"({"output_tensors":[]})";
  backend->forward({}, outputs);
  EXPECT_EQ(R"({"input_tensors":[],"repetitions_count":1})", server.requests().back().body);
  EXPECT_TRUE(outputs.empty());
}

TEST(RemoteNetBackendForward, ForwardStatsSendsTheCountAndCopiesTheStatistics) {
  ScriptedServer server;
  server.inference =
      R"({"output_tensors":[],"inference_stats":{"has_info":true,"duration":1.5,"repetitions_count":0}})";
  server.start();
  auto backend = server.connect();
  std::vector<Tensor> outputs;
  InferenceStats stats;
  backend->forwardStats({}, outputs, 0, stats);
  EXPECT_EQ(R"({"input_tensors":[],"repetitions_count":0})", server.requests().back().body);
  EXPECT_TRUE(stats.hasInfo);
  EXPECT_EQ(1.5f, stats.duration);
  server.inference = R"({"output_tensors":[]})";
  backend->forwardStats({}, outputs, 4294967295u, stats);
  EXPECT_EQ(R"({"input_tensors":[],"repetitions_count":4294967295})", server.requests().back().body);
  EXPECT_FALSE(stats.hasInfo);
  EXPECT_EQ(0.0f, stats.duration);
  EXPECT_EQ(0u, stats.repetitionsCount);
}

TEST(RemoteNetBackendForward, FailuresLeaveOutputsAndStatisticsUntouched) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"status":false,"text":"boom"})", "12: Server returned error: boom; operation: upload tensors for inference"},
      {R"({"output_tensors":{}})", "6: Server response should contain 'output_tensors' array"},
      {R"({"output_tensors":[{"layout":{"size":[65536,65536],"type":0,"format":0},"data":""}]})",
       "3: Tensor layout's byte size does not fit in 32 bits"},
      {R"({"output_tensors":[{"layout":{"size":[-4],"type":0,"format":0},"data":""}]})",
       "3: Tensor layout has negative dimension -4"},
      {R"({"output_tensors":[{"layout":{"size":[1024,1024,64],"type":0,"format":0},"data":"AAAA"}]})",
       "6: Tensor JSON's 'tensor_data' is shorter than its layout requires"},
      {R"({"output_tensors":[{"layout":{"size":[4],"type":5,"format":0},"data":"AQI"}]})",
       "6: Tensor JSON's 'tensor_data' is shorter than its layout requires"},
      {R"({"output_tensors":[{"layout":{"size":[3],"type":5,"format":0},"data":"AQ=D"}]})",
       "6: Tensor JSON's 'tensor_data' is not valid Base64"},
      {R"({"output_tensors":[],"inference_stats":{"has_info":true,"duration":5,"repetitions_count":1}})",
       "6: Stats should have 'duration' float field"},
      {std::string(200000, '['), "6: Server response should contain 'output_tensors' array"},
  };
  for (const auto& [body, expected] : cases) {
    ScriptedServer server;
    server.inference = body;
    server.start();
    auto backend = server.connect();
    std::vector<Tensor> outputs{bytesTensor("keep")};
    InferenceStats stats{true, 7.0f, 7};
    EXPECT_EQ(expected, ks::testing::thrownKsException([&] { backend->forwardStats({}, outputs, 1, stats); }));
    ASSERT_EQ(1u, outputs.size());
    EXPECT_EQ("keep", bytesOf(outputs[0]));
    EXPECT_EQ(7.0f, stats.duration);
    EXPECT_EQ(7u, stats.repetitionsCount);
  }
}

TEST(RemoteNetBackendTransport, ConnectionDroppedMidReplyIsATransportError) {
  // The reply announces 1000 bytes and the connection closes after 30.
  testing::RawReplyServer server(
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n{\"session_id\":\"abc\", "
      "\"x\":[1,");
  EXPECT_KS_THROW(RemoteNetBackend("127.0.0.1", server.port(), BackendId::kCpu, DeviceType::kCpu, 0), 12,
                  "http request error during operation: create session");
}

TEST(RemoteNetBackendTransport, ServerSilentForMoreThanFiveSecondsIsATransportError) {
  ScriptedServer server;
  server.http().Post("/inference", [](const httplib::Request&, httplib::Response& response) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5600));
    reply(response, R"({"output_tensors":[]})");
  });
  server.start();
  auto backend = server.connect();
  std::vector<Tensor> outputs;
  EXPECT_KS_THROW(backend->forward({}, outputs), 12,
                  "http request error during operation: upload tensors for inference");
}

// A server that refuses a large body after its head closes while the client still writes: the host program
// must see an exception, not die of the SIGPIPE its write raises.
TEST(RemoteNetBackendTransport, ServerClosingDuringAnUploadIsATransportErrorNotAKilledProcess) {
  testing::RawReplyServer server(
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 20\r\nConnection: close\r\n\r\n"
      "{\"session_id\":\"abc\"}",
      0);
  RemoteNetBackend backend("127.0.0.1", server.port(), BackendId::kCpu, DeviceType::kCpu, 0);
  const TempFile net(std::string(32 << 20, 'n'));
  EXPECT_KS_THROW(backend.load(net.path(), {}, {}, "", ""), 12, "http request error during operation: upload network");
  std::vector<Tensor> outputs;
  EXPECT_KS_THROW(backend.forward({bytesTensor(std::string(32 << 20, 'x'))}, outputs), 12,
                  "http request error during operation: upload tensors for inference");
  // What the writes raised was taken back, and the thread's signal mask is as it was.
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_EQ(0, sigismember(&mask, SIGPIPE));
}
}  // namespace
}  // namespace ks
