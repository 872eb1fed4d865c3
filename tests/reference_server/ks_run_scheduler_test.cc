// How the server runs inferences: fair queues per network, and runs that wait on their own network only.
// The server is the real program; a network that runs until told (a Loop whose count the test sets far
// beyond the test's length) stands for a long or wedged run, and closing its connection is the telling.
#include "ks_fair_queue.h"

#include <httplib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ks_core/ks_base64.h"
#include "ks_core/ks_tensor.h"
#include "ks_inference_request.h"
#include "ks_layouts_response.h"
#include "ks_net_load_request.h"
#include "ks_netclient/ks_remote_net_backend.h"
#include "ks_session_reply.h"
#include "support/ks_server_process.h"
#include "support/raw_connection.h"
#include "support/test_models.h"

namespace ks {
namespace server {
namespace {

using namespace std::chrono_literals;
using ks::testing::bodyOf;
using ks::testing::RawConnection;
using ks::testing::statusOf;

TEST(FairQueue, SessionsTakeTurnsWhateverTheyQueued) {
  FairQueue<int> queue(100, 0);
  for (int i = 1; i <= 4; ++i) queue.push("flood", i);
  queue.push("b", 10);
  queue.push("b", 11);
  queue.push("c", 20);
  std::vector<int> order;
  while (auto item = queue.pop()) order.push_back(*item);
  EXPECT_EQ((std::vector<int>{1, 10, 20, 2, 11, 3, 4}), order);
}

TEST(FairQueue, BoundsHoldInAllAndPerOwnerAndRemovalFreesTheTurn) {
  using Pushed = FairQueue<int>::Pushed;
  FairQueue<int> queue(3, 2);
  EXPECT_EQ(Pushed::kQueued, queue.push("a", 1));
  EXPECT_EQ(Pushed::kQueued, queue.push("a", 2));
  EXPECT_EQ(Pushed::kOwnerFull, queue.push("a", 3));
  EXPECT_EQ(Pushed::kQueued, queue.push("b", 4));
  EXPECT_EQ(Pushed::kFull, queue.push("c", 5));
  EXPECT_TRUE(queue.remove("b", 4));
  EXPECT_FALSE(queue.remove("b", 4));
  EXPECT_EQ(Pushed::kQueued, queue.push("c", 5));
  std::vector<int> order;
  while (auto item = queue.pop()) order.push_back(*item);
  EXPECT_EQ((std::vector<int>{1, 5, 2}), order);
  EXPECT_TRUE(queue.empty());
}

// The server program on a free loopback port with `options`, its log discarded.
class Server : public ks::testing::ServerProcess {
 public:
  explicit Server(std::vector<std::string> options)
      : ks::testing::ServerProcess(KS_SERVER_PROGRAM, withPort(std::move(options)), "/dev/null") {}

  // The /metrics sample `name`, or -1.
  double metric(const std::string& name) const {
    httplib::Client client("127.0.0.1", port());
    const httplib::Result reply = client.Get("/metrics");
    if (!reply) return -1;
    const size_t at = reply->body.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::stod(reply->body.substr(at + name.size() + 2));
  }
  // Polls the sample until it reads `value`, for up to 20 s; returns what it read last.
  double awaitMetric(const std::string& name, double value) const {
    double read = metric(name);
    for (const auto end = std::chrono::steady_clock::now() + 20s;
         read != value && std::chrono::steady_clock::now() < end; read = metric(name)) {
      std::this_thread::sleep_for(10ms);
    }
    return read;
  }

 private:
  static std::vector<std::string> withPort(std::vector<std::string> options) {
    options.insert(options.begin(), {"--host", "127.0.0.1", "--port", "0", "--client-share-percent", "100"});
    return options;
  }
};

// A session with a network loaded, reached over raw connections so a test holds them open or drops them.
class Session {
 public:
  Session(const Server& server, const std::string& model) : port_(server.port()) {
    httplib::Client client("127.0.0.1", port_);
    const httplib::Result opened = client.Get("/session?action=new");
    if (!opened || opened->status != 200) throw std::runtime_error("no session");
    sessionReplyFromJson(id_, opened->body.c_str());
    const std::string bytes = ks::testing::modelBytes(model);
    NetLoadRequest load;
    load.net.resize(base64EncodedLength(bytes.size()) + 1);
    encodeBase64To(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), load.net.data());
    load.net.back() = '\0';
    const httplib::Result loaded =
        client.Post(("/net?action=load&session_id=" + id_).c_str(), loadRequestToJson(load), "application/json");
    if (!loaded || loaded->status != 200) throw std::runtime_error("no load: " + (loaded ? loaded->body : ""));
    const httplib::Result layouts = client.Get(("/net?action=get_layouts&session_id=" + id_).c_str());
    LayoutsResponse reply;
    layoutsFromJson(reply, layouts->body.c_str());
    inputs_ = reply.input_layouts;
  }

  // Sends an inference on a connection of its own; the first input (the slow network's count) holds
  // `count`, the rest zeros.
  std::unique_ptr<RawConnection> send(int64_t count = 1) const {
    InferenceRequest request;
    request.input_tensors.reserve(inputs_.size());
    for (const TensorLayout& layout : inputs_) request.input_tensors.emplace_back(layout);
    if (request.input_tensors[0].layout().dataType() == TensorDataType::kInt64) {
      std::memcpy(request.input_tensors[0].data(), &count, sizeof count);
    }
    const std::string body = inferenceRequestToJson(request);
    auto connection = std::make_unique<RawConnection>(port_);
    connection->send("POST /inference?session_id=" + id_ +
                     " HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    return connection;
  }

 private:
  int port_;
  std::string id_;
  std::vector<TensorLayout> inputs_;
};

// Iterations of the slow network that take far longer than any test here.
constexpr int64_t kForever = int64_t{1} << 40;

bool succeeded(const std::string& reply) { return reply.find("\"output_tensors\"") != std::string::npos; }

TEST(RunScheduling, RunsThatHoldEveryChannelOfTheirNetworkDelayNoOtherNetwork) {
  Server server({"--workers", "2"});
  const Session slow(server, "slow");
  std::vector<std::unique_ptr<RawConnection>> wedged;
  wedged.reserve(3);
  for (int i = 0; i < 3; ++i) wedged.push_back(slow.send(kForever));  // two run, one waits
  ASSERT_EQ(3, server.awaitMetric("ks_running_inferences", 2) + server.metric("ks_waiting_inferences"));

  // Another network's runs go on, one after another, while those hold their network's worker.
  const Session victim(server, "mlp");
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(succeeded(victim.send()->readReply(10s))) << i;
  for (auto& connection : wedged) EXPECT_EQ("", connection->readReply(0ms));

  // Told to stop, by their clients going: their runs end, and the network serves again.
  wedged.clear();
  EXPECT_EQ(0, server.awaitMetric("ks_running_inferences", 0));
  EXPECT_EQ(0, server.metric("ks_waiting_inferences"));
  EXPECT_TRUE(succeeded(slow.send(1)->readReply(10s)));
}

TEST(RunScheduling, AFullQueueAndASessionPastItsShareGet503NamingTheCause) {
  Server server({"--workers", "1", "--network-queue", "2", "--session-queue", "1"});
  const Session first(server, "slow");
  const Session second(server, "slow");
  const Session third(server, "slow");
  const auto running = first.send(kForever);
  ASSERT_EQ(1, server.awaitMetric("ks_running_inferences", 1));
  const auto waiting = first.send(kForever);
  ASSERT_EQ(1, server.awaitMetric("ks_waiting_inferences", 1));
  const auto expectRefused = [](const std::string& reply, const std::string& why) {
    EXPECT_EQ("503", statusOf(reply));
    EXPECT_NE(std::string::npos, bodyOf(reply).find(why)) << reply;
  };
  expectRefused(first.send(kForever)->readReply(10s),
                "this session has 1 inferences waiting for its network already, its share of the network's queue; "
                "try again shortly");
  const auto alsoWaiting = second.send(kForever);
  ASSERT_EQ(2, server.awaitMetric("ks_waiting_inferences", 2));
  expectRefused(third.send(kForever)->readReply(10s),
                "the network's queue is full: 2 inferences wait for its engine process already; try again shortly");
}

// Two runs share one worker process: the first outlives the time limit and is stopped, the second's
// client leaves; a third, short, comes after both and succeeds. Each ends the run it touches, no other.
TEST(RunScheduling, ATimeLimitAndAClientThatLeavesEndOnlyTheirOwnRuns) {
  Server server({"--workers", "3", "--inference-timeout-s", "3"});
  const Session slow(server, "slow");
  const auto timed = slow.send(kForever);
  auto leaving = slow.send(kForever);
  ASSERT_EQ(2, server.awaitMetric("ks_running_inferences", 2));
  leaving.reset();
  EXPECT_EQ(1, server.awaitMetric("ks_running_inferences", 1));
  EXPECT_EQ("", timed->readReply(0ms));  // the other run goes on
  const auto shortRun = slow.send(1);
  EXPECT_TRUE(succeeded(shortRun->readReply(10s)));
  const std::string stopped = timed->readReply(20s);
  EXPECT_NE(std::string::npos,
            stopped.find("inference stopped: it ran longer than the limit of 3 s an inference may take"))
      << stopped;
  EXPECT_EQ(0, server.awaitMetric("ks_running_inferences", 0));
}

// The nice values of every thread of the server's worker processes.
std::set<int> workerNice(const Server& server) {
  std::set<int> values;
  for (const auto& [pid, seconds] : server.childCpuSeconds()) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      std::ifstream stat(task.path() / "stat");
      std::string line;
      std::getline(stat, line);
      // After the command in parentheses: state is field 3 and nice field 19.
      std::istringstream fields(line.substr(line.rfind(')') + 2));
      std::string field;
      for (int i = 3; i <= 19 && fields >> field; ++i) {
        if (i == 19) values.insert(std::stoi(field));
      }
    }
  }
  return values;
}

std::set<int> awaitWorkerNice(const Server& server, const std::set<int>& wanted) {
  std::set<int> read = workerNice(server);
  for (const auto end = std::chrono::steady_clock::now() + 10s;
       read != wanted && std::chrono::steady_clock::now() < end; read = workerNice(server)) {
    std::this_thread::sleep_for(10ms);
  }
  return read;
}

// A network whose long runs fill its worker, more waiting, gives way to the others' short runs until its
// queue empties.
TEST(RunScheduling, ANetworkWhoseLongRunsFillItsWorkerGivesWayUntilItsQueueEmpties) {
  Server server({"--workers", "1"});
  const Session slow(server, "slow");
  auto running = slow.send(kForever);
  ASSERT_EQ(1, server.awaitMetric("ks_running_inferences", 1));
  std::this_thread::sleep_for(300ms);               // past the 100 ms that make a run long
  EXPECT_EQ(std::set<int>{0}, workerNice(server));  // alone, it keeps its priority
  // A run is judged 100 ms after it goes out: the first was judged alone, so it is stopped and the next
  // takes the channel with one more waiting behind it.
  const auto next = slow.send(kForever);
  auto last = slow.send(kForever);
  ASSERT_EQ(2, server.awaitMetric("ks_waiting_inferences", 2));
  running.reset();
  EXPECT_EQ(std::set<int>{19}, awaitWorkerNice(server, {19}));
  last.reset();  // its queue empties: it takes its priority back
  EXPECT_EQ(std::set<int>{0}, awaitWorkerNice(server, {0}));
}

}  // namespace
}  // namespace server
}  // namespace ks
