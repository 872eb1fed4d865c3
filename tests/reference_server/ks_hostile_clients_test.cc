// The server program as an attacker meets it: real sockets, the real framing, and the server's own memory
// read from /proc. Each test is one attack and asserts the figure that matters.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "ks_core/ks_tensor.h"
#include "ks_netclient/ks_remote_net_backend.h"
#include "ks_session_reply.h"
#include "onnx_model_builder.h"
#include "support/expect_throw.h"
#include "support/ks_server_process.h"
#include "support/peak_memory.h"
#include "support/raw_connection.h"
#include "support/test_models.h"

namespace ks {
namespace server {
namespace {

using ks::testing::modelPath;
using ks::testing::RawConnection;

// The server program on a free loopback port with `options`, its log discarded.
class ServerProcess : public ks::testing::ServerProcess {
 public:
  explicit ServerProcess(const std::vector<std::string>& options)
      : ks::testing::ServerProcess(KS_SERVER_PROGRAM, withPort(options), "/dev/null") {}
  bool running() { return ended().empty(); }

 private:
  static std::vector<std::string> withPort(std::vector<std::string> options) {
    options.insert(options.begin(), {"--host", "127.0.0.1", "--port", "0"});
    return options;
  }
};
using onnx::TensorProto;
using testing::OnnxModelBuilder;

constexpr size_t kMiB = size_t{1} << 20;

std::string openSession(int port) {
  httplib::Client client("127.0.0.1", port);
  const httplib::Result reply = client.Get("/session?action=new");
  if (!reply) return "";
  std::string id;
  sessionReplyFromJson(id, reply->body.c_str());
  return id;
}

// Writes `bytes` to a file of the test's own and returns its path.
std::string writeNetwork(const std::string& name, const std::string& bytes) {
  std::string path = ::testing::TempDir() + "/" + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  return path;
}

// The rise of the server's resident high-water mark since `before`, printed so a run shows the figure. The
// kernel updates the mark lazily, so it may read a page lower after memory was given back: no rise.
size_t peakRise(const ServerProcess& server, size_t before) {
  const size_t now = server.statusBytes("VmHWM:");
  const size_t rise = now > before ? now - before : 0;
  std::printf("    the server's peak resident memory rose by %.1f MiB\n", static_cast<double>(rise) / kMiB);
  return rise;
}

std::unique_ptr<RemoteNetBackend> backendOf(const ServerProcess& server) {
  return std::make_unique<RemoteNetBackend>("127.0.0.1", server.port(), BackendId::kCpu, DeviceType::kCpu, 0);
}

// The server's resident high-water mark after one ordinary client has loaded and run a network, so the
// engine and the HTTP machinery are warm before an attack is measured.
size_t warmPeak(const ServerProcess& server) {
  auto backend = backendOf(server);
  backend->load(modelPath("mlp"), {}, {}, "", "");
  std::vector<Tensor> outputs;
  backend->forward({Tensor(backend->srcLayout(0))}, outputs);
  return server.statusBytes("VmHWM:");
}

// Sends `head`, then `body` in pieces on its own thread until the server stops taking them, and returns the
// reply the server sent meanwhile.
std::string attack(int port, const std::string& head, const std::string& piece, size_t pieces) {
  RawConnection connection(port);
  connection.send(head);
  std::thread sender([&] {
    for (size_t i = 0; i < pieces && connection.send(piece); ++i) {
    }
  });
  std::string reply = connection.readReply(std::chrono::seconds(10));
  sender.join();
  return reply;
}

TEST(HostileClients, AChunkedBodyPastTheLimitIsRefusedWithinTheLimitsMemory) {
  ServerProcess server({"--max-body-mb", "8"});
  const size_t before = warmPeak(server);
  const std::string chunk(size_t{64} * 1024, '{');
  const std::string reply = attack(server.port(),
                                   "POST /net?action=load&session_id=" + openSession(server.port()) +
                                       " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n",
                                   "10000\r\n" + chunk + "\r\n", 1024);  // 64 MiB offered
  EXPECT_NE(reply.find("HTTP/1.1 413"), std::string::npos) << reply.substr(0, 200);
  EXPECT_NE(reply.find("request body too large: the limit is 8388608 bytes"), std::string::npos);
  if (ks::testing::kMemoryFiguresHold) {
    EXPECT_LT(peakRise(server, before), 8 * kMiB + 8 * kMiB);
  }
  EXPECT_TRUE(server.running());
}

TEST(HostileClients, APostWithoutLengthIsRefusedBeforeItsBodyIsRead) {
  ServerProcess server({"--max-body-mb", "8"});
  const size_t before = warmPeak(server);
  const std::string reply = attack(server.port(), "POST /inference?session_id=x HTTP/1.1\r\nHost: x\r\n\r\n",
                                   std::string(size_t{64} * 1024, 'x'), 1024);
  EXPECT_NE(reply.find("HTTP/1.1 411"), std::string::npos) << reply.substr(0, 200);
  if (ks::testing::kMemoryFiguresHold) {
    EXPECT_LT(peakRise(server, before), 8 * kMiB);
  }
}

TEST(HostileClients, AFloodOfHeadersIsRefusedWithinTheHeaderLimit) {
  ServerProcess server({"--max-body-mb", "8"});
  const size_t before = warmPeak(server);
  const std::string header = "X-Flood: " + std::string(8 * 1024 - 12, 'h') + "\r\n";
  const std::string reply = attack(server.port(), "GET /session?action=new HTTP/1.1\r\nHost: x\r\n", header, 25000);
  EXPECT_NE(reply.find("HTTP/1.1 431"), std::string::npos) << reply.substr(0, 200);
  if (ks::testing::kMemoryFiguresHold) {
    EXPECT_LT(peakRise(server, before), 8 * kMiB);
  }
}

TEST(HostileClients, ConflictingOrShortContentLengthsAreRefused) {
  ServerProcess server({});
  const std::string load =
      "POST /net?action=load&session_id=" + openSession(server.port()) + " HTTP/1.1\r\nHost: x\r\n";
  {
    RawConnection conflicting(server.port());
    conflicting.send(load + "Content-Length: 5\r\nContent-Length: 50\r\n\r\n{}   ");
    EXPECT_NE(conflicting.readReply().find("HTTP/1.1 400"), std::string::npos);
    EXPECT_TRUE(conflicting.closedByServer());
  }
  {
    // Ten bytes announced, more sent: the announced body is not a whole message, and the connection ends
    // there, so the rest is never taken for a request.
    RawConnection shorter(server.port());
    shorter.send(load + "Content-Length: 10\r\n\r\n{\"input_tensors\":[],\"output_tensors\":[]}GET /");
    const std::string reply = shorter.readReply();
    EXPECT_NE(reply.find("HTTP/1.1 400"), std::string::npos) << reply;
    EXPECT_NE(reply.find("Connection: close"), std::string::npos) << reply;
    EXPECT_NE(reply.find("the request body is not JSON"), std::string::npos) << reply;
    EXPECT_TRUE(shorter.closedByServer());
  }
}

TEST(HostileClients, AShortInitializerIsRefusedAndNoClientSeesAnothersData) {
  ServerProcess server({});
  // 115 bytes: an initializer of 1000 floats that holds 8 bytes.
  OnnxModelBuilder hostile;
  hostile.input("x", TensorProto::FLOAT, {1000}).output("y", TensorProto::FLOAT, {1000});
  hostile.initializer("w", TensorProto::FLOAT, {1000}, std::string(8, '\0'));
  hostile.node("Add", {"x", "w"}, {"y"});
  const std::string hostilePath = writeNetwork("short_initializer.onnx", hostile.bytes());

  std::atomic<bool> attacking{true};
  std::atomic<int> victimRuns{0};
  std::string victimFailure;
  std::thread victim([&] {
    try {
      auto backend = backendOf(server);
      backend->load(modelPath("identity"), {}, {}, "", "");
      Tensor secret(backend->srcLayout(0));
      for (size_t i = 0; i < secret.layout().byteSize(); ++i) secret.data()[i] = "TOPSECRET"[i % 9];
      while (attacking) {
        std::vector<Tensor> outputs;
        backend->forward({secret}, outputs);
        if (std::memcmp(outputs[0].data(), secret.data(), secret.layout().byteSize()) != 0) {
          victimFailure = "the victim's output differs from its input";
        }
        ++victimRuns;
      }
    } catch (const std::exception& e) {
      victimFailure = e.what();
    }
  });
  while (victimRuns == 0 && victimFailure.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const int runsBefore = victimRuns;
  for (int i = 0; i < 20; ++i) {
    auto attacker = backendOf(server);
    EXPECT_KS_THROW(attacker->load(hostilePath, {}, {}, "", ""), 12,
                    "Server returned error: cannot load network: The network's tensor 'w' holds 8 bytes of data "
                    "where its dimensions say 4000.; operation: upload network");
  }
  attacking = false;
  victim.join();
  EXPECT_EQ("", victimFailure);
  EXPECT_GT(victimRuns.load(), runsBefore);
  EXPECT_TRUE(server.running());
}

TEST(HostileClients, AnInferenceThatWouldNeedGigabytesIsRefusedWithinItsBudget) {
  ServerProcess server({"--inference-memory-mb", "64"});
  const size_t before = warmPeak(server);
  // 148 bytes asking for a 1 x 1 x 40000 x 40000 float output (6.4 GB) from a 2 x 2 input.
  OnnxModelBuilder resize;
  resize.input("x", TensorProto::FLOAT, {1, 1, 2, 2}).outputOfAnyShape("y", TensorProto::FLOAT);
  resize.initializer("roi", TensorProto::FLOAT, {0}, std::vector<float>{});
  resize.initializer("scales", TensorProto::FLOAT, {4}, std::vector<float>{1, 1, 20000, 20000});
  resize.node("Resize", {"x", "roi", "scales"}, {"y"});
  auto backend = backendOf(server);
  backend->load(writeNetwork("huge_resize.onnx", resize.bytes()), {}, {}, "", "");
  std::vector<Tensor> outputs;
  EXPECT_KS_THROW(backend->forward({Tensor(backend->srcLayout(0))}, outputs), 12,
                  "Server returned error: the inference needs more than the 64 MiB of memory one inference may "
                  "use; operation: upload tensors for inference");
  if (ks::testing::kMemoryFiguresHold) {
    EXPECT_LT(peakRise(server, before), 64 * kMiB + 16 * kMiB);
  }
  EXPECT_NE(openSession(server.port()), "");
}

TEST(HostileClients, TricklingClientsStarveNoOneAndStopEndsWithinItsBound) {
  ServerProcess server({"--workers", "2", "--header-timeout-s", "30", "--stop-timeout-s", "2"});
  std::vector<std::unique_ptr<RawConnection>> tricklers;
  tricklers.reserve(200);
  for (int i = 0; i < 200; ++i) tricklers.push_back(std::make_unique<RawConnection>(server.port()));
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    const std::string request = "GET /session?action=new HTTP/1.1\r\nHost: x\r\n";
    for (size_t at = 0; trickling && at < request.size(); ++at) {
      for (auto& connection : tricklers) connection->send(request.substr(at, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(openSession(server.port()), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_LT(server.terminate(std::chrono::seconds(10)), std::chrono::milliseconds(3000));
  trickling = false;
  trickle.join();
}

// A proxy that gave up on a frozen node has closed its connection behind the request. Once the node runs
// again the request must not be started: here it would take a session slot nobody will use or close.
TEST(HostileClients, ARequestWhoseClientLeftWhileTheServerWasFrozenIsNotRun) {
  ServerProcess server({});
  server.freeze();
  {
    RawConnection gone(server.port());
    gone.send("GET /session?action=new HTTP/1.1\r\nHost: node\r\n\r\n");
  }
  server.thaw();
  // Counted once the server has taken the request up, whether it ran it or not.
  httplib::Client client("127.0.0.1", server.port());
  std::string metrics;
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
       metrics.find("ks_requests_total{endpoint=\"session_new\"") == std::string::npos &&
       std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    const httplib::Result reply = client.Get("/metrics");
    metrics = reply ? reply->body : "";
  }
  EXPECT_NE(std::string::npos, metrics.find("\nks_open_sessions 0\n")) << metrics;
}

// Iterations of the slow network that take about `seconds` on this machine, from two timed short runs (their
// difference leaves out the cost of a request, which is large in instrumented builds).
int64_t iterationsFor(RemoteNetBackend& slow, double seconds) {
  auto timed = [&](int64_t iterations) {
    Tensor count(slow.srcLayout(0));
    std::memcpy(count.data(), &iterations, sizeof iterations);
    std::vector<Tensor> outputs;
    const auto start = std::chrono::steady_clock::now();
    slow.forward({count, Tensor(slow.srcLayout(1))}, outputs);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  // Short enough to end within a time limit of 2 s on an instrumented build of a busy machine.
  const double perIteration = std::max(timed(50000) - timed(5000), 1e-3) / 45000;
  return static_cast<int64_t>(seconds / perIteration);
}

TEST(HostileClients, AnInferenceLongerThanTheClientsReadTimeoutSucceeds) {
  ServerProcess server({});
  auto slow = backendOf(server);
  slow->load(modelPath("slow"), {}, {}, "", "");
  Tensor count(slow->srcLayout(0));
  // The client library gives up after 5 s of silence. The machine's speed varies, so a run that came out
  // shorter than 6 s proves nothing and is repeated with twice the work.
  int64_t iterations = iterationsFor(*slow, 8.0);
  std::chrono::steady_clock::duration took{};
  std::vector<Tensor> outputs;
  for (int attempt = 0; attempt < 4 && took < std::chrono::seconds(6); ++attempt, iterations *= 2) {
    std::memcpy(count.data(), &iterations, sizeof iterations);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_NO_THROW(slow->forward({count, Tensor(slow->srcLayout(1))}, outputs));
    took = std::chrono::steady_clock::now() - start;
  }
  EXPECT_GT(took, std::chrono::seconds(6));
  ASSERT_EQ(1u, outputs.size());
  EXPECT_EQ(64u * 4u, outputs[0].layout().byteSize());
}

TEST(HostileClients, AnInferencePastTheTimeLimitIsStopped) {
  ServerProcess server({"--inference-timeout-s", "2"});
  auto slow = backendOf(server);
  slow->load(modelPath("slow"), {}, {}, "", "");
  Tensor count(slow->srcLayout(0));
  const int64_t iterations = iterationsFor(*slow, 30.0);
  std::memcpy(count.data(), &iterations, sizeof iterations);
  std::vector<Tensor> outputs;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_KS_THROW(slow->forward({count, Tensor(slow->srcLayout(1))}, outputs), 12,
                  "Server returned error: inference stopped: it ran longer than the limit of 2 s an inference may "
                  "take; operation: upload tensors for inference");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
}  // namespace server
}  // namespace ks
