// The server program as an attacker meets it: real sockets, the real framing, and the server's own memory
// read from /proc. Each test is one attack and asserts the figure that matters.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "ks_core/ks_base64.h"
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

// The /metrics sample `name` (a line "name value"), or -1.
double metric(int port, const std::string& name) {
  httplib::Client client("127.0.0.1", port);
  const httplib::Result reply = client.Get("/metrics");
  if (!reply) return -1;
  const size_t at = reply->body.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(reply->body.substr(at + name.size() + 2));
}

TEST(HostileClients, AnAttackerCrashingASharedWorkerFailsOnlyItsOwnRuns) {
  ServerProcess server({});
  // A public network: z = x / y on int32, whose integer division of the minimum by -1 traps (SIGFPE).
  constexpr int32_t kCount = 1 << 18;
  OnnxModelBuilder divide;
  divide.input("x", TensorProto::INT32, {"n"}).input("y", TensorProto::INT32, {"n"});
  divide.output("z", TensorProto::INT32, {"n"});
  auto layoutOf = [](int32_t count) {
    return TensorLayout(TensorDataType::kInt32, TensorFormat::kPlain, TensorSize{count}, TensorSize(),
                        TensorChannelOrder::kNone);
  };
  divide.node("Div", {"x", "y"}, {"z"});
  const std::string path = writeNetwork("public_div.onnx", divide.bytes());

  std::atomic<bool> attacking{true};
  std::atomic<int> victimRuns{0};
  std::vector<std::string> victimFailures(3);
  std::vector<std::thread> victims;
  victims.reserve(victimFailures.size());
  for (size_t v = 0; v < victimFailures.size(); ++v) {
    victims.emplace_back([&, v] {
      try {
        auto backend = backendOf(server);
        backend->load(path, {}, {}, "", "");
        Tensor x(layoutOf(kCount)), y(layoutOf(kCount));
        auto* xs = reinterpret_cast<int32_t*>(x.data());
        auto* ys = reinterpret_cast<int32_t*>(y.data());
        for (int32_t i = 0; i < kCount; ++i) {
          xs[i] = INT32_MIN + i * 7919 + static_cast<int32_t>(v);
          ys[i] = (i % 13) - 6 == 0 ? 7 : (i % 13) - 6;
        }
        while (attacking) {
          std::vector<Tensor> outputs;
          backend->forward({x, y}, outputs);
          const auto* zs = reinterpret_cast<const int32_t*>(outputs.at(0).data());
          for (int32_t i = 0; i < kCount; ++i) {
            const int32_t expected = ys[i] == -1 ? -xs[i] : xs[i] / ys[i];  // no minimum among the x by -1
            if (zs[i] != expected) throw std::runtime_error("element " + std::to_string(i) + " differs");
          }
          ++victimRuns;
        }
      } catch (const std::exception& e) {
        victimFailures[v] = e.what();
      }
    });
  }
  while (victimRuns < 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  auto attacker = backendOf(server);
  attacker->load(path, {}, {}, "", "");
  Tensor x(layoutOf(2)), y(layoutOf(2));
  for (int32_t i = 0; i < 2; ++i) {
    reinterpret_cast<int32_t*>(x.data())[i] = INT32_MIN;
    reinterpret_cast<int32_t*>(y.data())[i] = -1;
  }
  std::vector<std::string> attacks;
  for (int i = 0; i < 10; ++i) {
    std::vector<Tensor> outputs;
    try {
      attacker->forward({x, y}, outputs);
      attacks.emplace_back("<ran>");
    } catch (const Exception& e) {
      attacks.emplace_back(e.what());
    }
  }
  attacking = false;
  for (std::thread& victim : victims) victim.join();
  std::printf("    %d victim runs, %.0f runs run again alone\n", victimRuns.load(),
              metric(server.port(), "ks_runs_rerun_alone_total"));

  for (const std::string& failure : victimFailures) EXPECT_EQ("", failure);
  const std::string crashed =
      "Server returned error: inference failed: the engine process running the network crashed (signal 8, SIGFPE); "
      "operation: upload tensors for inference";
  for (int i = 0; i < 3; ++i) EXPECT_EQ(crashed, attacks[i]);
  for (int i = 3; i < 10; ++i) {
    EXPECT_EQ(0u, attacks[i].rfind("Server returned error: this session is refused for another ", 0)) << attacks[i];
  }
  EXPECT_EQ(3, metric(server.port(), "ks_crashing_runs_total"));
  EXPECT_EQ(0, metric(server.port(), "ks_network_quarantines_total"));
}

// Proportional set sizes of the server this test started and its worker processes, summed: shared
// regions counted once.
size_t serverAndWorkersMemory() {
  std::vector<std::pair<pid_t, pid_t>> parentOf;  // (process, its parent), read from /proc once
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    rest >> state >> parent;
    parentOf.emplace_back(std::stoi(name), parent);
  }
  std::vector<pid_t> server;
  for (const auto& [pid, parent] : parentOf) {
    if (parent == ::getpid()) server.push_back(pid);
  }
  std::vector<pid_t> all = server;
  for (const auto& [pid, parent] : parentOf) {
    if (std::find(server.begin(), server.end(), parent) != server.end()) all.push_back(pid);
  }
  size_t total = 0;
  for (pid_t pid : all) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);) {
      if (line.rfind("Pss:", 0) == 0) total += std::stoull(line.substr(4)) * 1024;
    }
  }
  return total;
}

TEST(HostileClients, LargeInputsToManyNetworksStayWithinTheMemoryBudgetAndAreGivenBack) {
  constexpr size_t kBudget = 96 * kMiB;
  ServerProcess server({"--memory-budget-mb", "96", "--max-body-mb", "64"});
  constexpr int kNetworks = 6;
  constexpr int32_t kCount = 6 << 20;  // 24 MiB of float32 ones, summed exactly
  std::vector<std::string> paths;
  for (int i = 0; i < kNetworks; ++i) {
    // Distinct bytes, so each runs in a worker process of its own: y = sum(x) + i.
    OnnxModelBuilder sum;
    sum.input("x", TensorProto::FLOAT, {kCount}).output("y", TensorProto::FLOAT, {1});
    sum.initializer("i", TensorProto::FLOAT, {1}, std::vector<float>{static_cast<float>(i)});
    sum.node("ReduceSum", {"x"}, {"s"});
    sum.node("Add", {"s", "i"}, {"y"});
    paths.push_back(writeNetwork("sum" + std::to_string(i) + ".onnx", sum.bytes()));
  }
  std::vector<std::unique_ptr<RemoteNetBackend>> sessions;
  for (const std::string& path : paths) {
    sessions.push_back(backendOf(server));
    sessions.back()->load(path, {}, {}, "", "");
  }
  Tensor ones(sessions[0]->srcLayout(0));
  std::fill_n(reinterpret_cast<float*>(ones.data()), kCount, 1.0f);
  // The session's reply: its sum, or the refusal.
  auto send = [&](int i) -> std::string {
    try {
      std::vector<Tensor> outputs;
      sessions[i]->forward({ones}, outputs);
      const float got = *reinterpret_cast<const float*>(outputs.at(0).data());
      return got == static_cast<float>(kCount + i) ? "sum" : "wrong sum " + std::to_string(got);
    } catch (const Exception& e) {
      return e.what();
    }
  };
  const size_t before = serverAndWorkersMemory();

  // One after another, as the sessions of many clients come: each region gives its run's memory back.
  for (int i = 0; i < kNetworks; ++i) EXPECT_EQ("sum", send(i));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const size_t after = serverAndWorkersMemory();
  std::printf("    server and workers: %.1f MiB before, %.1f MiB after %d inputs of 24 MiB\n",
              static_cast<double>(before) / kMiB, static_cast<double>(after) / kMiB, kNetworks);
  if (ks::testing::kMemoryFiguresHold) {
    EXPECT_LT(after, before + 48 * kMiB);
  }
  EXPECT_LE(metric(server.port(), "ks_run_region_bytes"), kNetworks * 4.0 * kMiB);

  // All at once: what does not fit waits, then is refused; what is held never passes the budget.
  std::atomic<bool> sending{true};
  double peak = 0;
  std::thread watch([&] {
    while (sending) {
      peak = std::max(peak, metric(server.port(), "ks_client_memory_bytes"));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  std::vector<std::string> replies(kNetworks);
  std::vector<std::thread> senders;
  senders.reserve(kNetworks);
  for (int i = 0; i < kNetworks; ++i) senders.emplace_back([&, i] { replies[i] = send(i); });
  for (std::thread& sender : senders) sender.join();
  sending = false;
  watch.join();
  std::printf("    at once: at most %.1f MiB held of the %zu MiB budget\n", peak / kMiB, kBudget / kMiB);
  EXPECT_LE(peak, static_cast<double>(kBudget));
  // Refused, if at all, for the memory its tensors need or for the bodies the HTTP layer holds already. The
  // latter is refused before its body is read: a client still sending 32 MB when the server's 2 s of
  // discarding end sees its connection reset instead of the reply.
  const std::string tensors = "Server returned error: the server's memory for clients is full: the request's tensors";
  const std::string bodies = "Server returned error: the server holds too many request bodies to take this one now";
  const std::string reset = "http request error during operation: upload tensors for inference";
  for (const std::string& reply : replies) {
    EXPECT_TRUE(reply == "sum" || reply.rfind(tensors, 0) == 0 || reply.rfind(bodies, 0) == 0 || reply == reset)
        << reply;
  }
  EXPECT_GE(std::count(replies.begin(), replies.end(), "sum"), 1);
  EXPECT_EQ("sum", send(0));  // and the server goes on
}

std::string base64(const std::string& bytes) {
  std::string text(base64EncodedLength(bytes.size()), '\0');
  encodeBase64To(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), text.data());
  return text;
}

TEST(HostileClients, RequestsTheNetworkCannotTakeAreRefusedAsTheClientsFault) {
  ServerProcess server({});
  // x of any length, reshaped to 2 x 3: only 6 elements will do.
  OnnxModelBuilder reshape;
  reshape.input("x", TensorProto::FLOAT, {"n"}).output("y", TensorProto::FLOAT, {2, 3});
  reshape.initializer("shape", TensorProto::INT64, {2}, std::vector<int64_t>{2, 3});
  reshape.node("Reshape", {"x", "shape"}, {"y"});
  const std::string session = openSession(server.port());
  httplib::Client client("127.0.0.1", server.port());
  const std::string net = R"({"net":")" + base64(reshape.bytes()) +
                          R"(","backend":0,"device_type":0,"device_index":0,"key":"","cache_dir":"",)"
                          R"("input_tensors":[],"output_tensors":[]})";
  ASSERT_EQ(200, client.Post("/net?action=load&session_id=" + session, net, "application/json")->status);
  auto infer = [&](const std::string& size, const std::string& data) {
    return client.Post("/inference?session_id=" + session,
                       R"({"input_tensors":[{"layout":{"size":)" + size + R"(,"type":0,"format":0},"data":")" + data +
                           R"("}],"repetitions_count":1})",
                       "application/json");
  };
  const httplib::Result fifth = infer("[1,1,1,1,1]", "AAAAAA==");
  EXPECT_EQ(400, fifth->status);
  EXPECT_EQ(R"({"status":false,"text":"a tensor's layout has more than 4 dimensions; a layout holds at most 4"})",
            fifth->body);
  const httplib::Result five = infer("[5]", base64(std::string(20, '\0')));
  EXPECT_EQ(422, five->status);
  EXPECT_NE(std::string::npos, five->body.find(R"("text":"inference failed: )")) << five->body;
  EXPECT_EQ(200, infer("[6]", base64(std::string(24, '\0')))->status);
}

// The server program whose workers are the sandbox probe (whose "networks" say what it does), its log
// kept in a file of the test's own.
class ProbedServer {
 public:
  explicit ProbedServer(const std::string& name)
      : log_(::testing::TempDir() + "/" + name + ".log"),
        server_((std::remove(log_.c_str()), KS_SERVER_PROGRAM),
                {"--host", "127.0.0.1", "--port", "0", "--worker-program", KS_SANDBOX_PROBE}, log_) {}

  // Loads the probe "network" `what`; the reply's status message, or "" when it loaded.
  std::string load(const std::string& what) {
    RemoteNetBackend backend("127.0.0.1", server_.port(), BackendId::kCpu, DeviceType::kCpu, 0);
    try {
      backend.load(writeNetwork(what + ".probe", what), {}, {}, "", "");
    } catch (const Exception& e) {
      return e.what();
    }
    return "";
  }

  // The log once it holds `text` `times` times, or after 20 s.
  std::string logOnceItHolds(const std::string& text, size_t times = 1) const {
    std::string log;
    auto count = [&] {
      size_t found = 0;
      for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++found;
      return found;
    };
    for (int i = 0; i < 200 && count() < times; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::ifstream file(log_, std::ios::binary);
      std::ostringstream all;
      all << file.rdbuf();
      log = all.str();
    }
    return log;
  }

 private:
  std::string log_;
  ks::testing::ServerProcess server_;
};

TEST(HostileClients, AWorkersOutputReachesTheLogOnlyAsBoundedLinesMarkedAsItsOwn) {
  ProbedServer server("worker_output");
  EXPECT_EQ("Server returned error: The network has no outputs.; operation: upload network", server.load("shout"));
  // The worker goes with the network; what it wrote is logged by the time it has been reaped.
  const std::string log = server.logOnceItHolds("lines dropped");
  const std::regex marked("^\\d{4}-\\d\\d-\\d\\dT[0-9:.]+Z worker [0-9a-f]{12}: .*");
  std::istringstream lines(log);
  size_t fromWorker = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("session=forged") != std::string::npos || line.find("line ") != std::string::npos) {
      EXPECT_TRUE(std::regex_match(line, marked)) << line;
      ++fromWorker;
    }
  }
  EXPECT_GT(fromWorker, 0u);
  EXPECT_LT(fromWorker, 200u) << "of 5001 lines written";
  EXPECT_EQ(std::string::npos, log.find('\x1b'));
  EXPECT_NE(std::string::npos, log.find("lines dropped")) << log.substr(0, 2000);
}

TEST(HostileClients, AWorkerThatCutsItsStandardErrorIsKilledAndTheLogKept) {
  ProbedServer server("worker_cut");
  const std::string kNoOutputs = "Server returned error: The network has no outputs.; operation: upload network";
  EXPECT_EQ(kNoOutputs, server.load("fine"));
  const std::string before = server.logOnceItHolds(" load ");
  ASSERT_NE(std::string::npos, before.find(" load ")) << before;
  EXPECT_EQ(
      "Server returned error: cannot load network: the engine process running the network was killed by its "
      "sandbox (signal 31, SIGSYS): the network tried a system call it forbids; operation: upload network",
      server.load("cut"));
  const std::string after = server.logOnceItHolds(" load ", 2);
  EXPECT_EQ(0u, after.rfind(before, 0)) << after;
}

}  // namespace
}  // namespace server
}  // namespace ks
