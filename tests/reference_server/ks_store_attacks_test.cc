// The shared stores as an attacker meets them, against the server program: a store that answers one byte
// at a time, a client that opens and closes sessions by the thousand or opens every session a node has,
// and a session that uploads network after network into the folder the nodes share.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "ks_core/ks_tensor.h"
#include "ks_netclient/ks_remote_net_backend.h"
#include "ks_redis_client.h"
#include "ks_session_records.h"
#include "ks_session_reply.h"
#include "ks_sha256.h"
#include "ks_unique_fd.h"
#include "onnx_model_builder.h"
#include "redis_process.h"
#include "support/ks_server_process.h"
#include "support/raw_connection.h"

namespace ks {
namespace server {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ks::testing::RawConnection;
using ks::testing::RedisProcess;
using onnx::TensorProto;
using testing::OnnxModelBuilder;

constexpr size_t kMiB = size_t{1} << 20;

// A TCP front for a Redis on a Unix socket that passes commands on at once and, once told to dribble,
// passes the answers back one byte every 150 ms: a store that is slow, not down.
class DribblingProxy {
 public:
  explicit DribblingProxy(std::string redisSocket)
      : redisSocket_(std::move(redisSocket)), listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 64) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("the proxy cannot listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~DribblingProxy() {
    stopping_ = true;
    acceptor_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::thread& pipe : pipes_) pipe.join();
  }
  DribblingProxy(const DribblingProxy&) = delete;
  DribblingProxy& operator=(const DribblingProxy&) = delete;

  int port() const { return port_; }
  void dribble(bool on) { dribbling_ = on; }

 private:
  void acceptLoop() {
    while (!stopping_) {
      pollfd ready{listener_.get(), POLLIN, 0};
      if (::poll(&ready, 1, 20) <= 0) continue;
      auto client = std::make_shared<UniqueFd>(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      auto redis = std::make_shared<UniqueFd>(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      redisSocket_.copy(address.sun_path, sizeof address.sun_path - 1);
      if (!*client || ::connect(redis->get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      pipes_.emplace_back([this, client, redis] { pipe(client->get(), redis->get()); });
    }
  }

  void pipe(int client, int redis) {
    std::string answer;  // read from Redis, not yet passed on
    auto nextByte = Clock::now();
    while (!stopping_) {
      pollfd ready[2] = {{client, POLLIN, 0}, {redis, POLLIN, 0}};
      ::poll(ready, 2, 10);
      char chunk[4096];
      if ((ready[0].revents & (POLLIN | POLLHUP)) != 0) {
        const ssize_t n = ::read(client, chunk, sizeof chunk);
        if (n <= 0 || ::write(redis, chunk, static_cast<size_t>(n)) != n) return;
      }
      if ((ready[1].revents & (POLLIN | POLLHUP)) != 0) {
        const ssize_t n = ::read(redis, chunk, sizeof chunk);
        if (n <= 0) return;
        answer.append(chunk, static_cast<size_t>(n));
      }
      if (answer.empty()) continue;
      if (!dribbling_) {
        if (::send(client, answer.data(), answer.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(answer.size())) return;
        answer.clear();
      } else if (Clock::now() >= nextByte) {
        if (::send(client, answer.data(), 1, MSG_NOSIGNAL) != 1) return;
        answer.erase(0, 1);
        nextByte = Clock::now() + 150ms;
      }
    }
  }

  const std::string redisSocket_;
  UniqueFd listener_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> dribbling_{false};
  std::thread acceptor_;
  std::mutex mutex_;  // guards pipes_
  std::vector<std::thread> pipes_;
};

// A reply to `request` sent whole on a connection of its own, from the loopback address `from` when given.
std::string exchange(int port, const std::string& request, const std::string& from = "") {
  RawConnection connection(port, from);
  connection.send(request);
  return connection.readReply(10s);
}

std::string get(const std::string& target, const std::string& headers = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: ks\r\n" + headers + "\r\n";
}

// Three nodes' worth of store: a Redis, the proxy in front of it, and a network folder.
class StoreAttacksTest : public ::testing::Test {
 protected:
  StoreAttacksTest()
      : folder_(std::filesystem::temp_directory_path() / ("ks-store-attacks-" + std::to_string(::getpid()))),
        redis_((std::filesystem::create_directories(folder_), folder_)),
        proxy_(redis_.socket()) {}
  ~StoreAttacksTest() override { std::filesystem::remove_all(folder_); }

  // The server program as node n1 of the shared store, with `options` added.
  std::unique_ptr<ks::testing::ServerProcess> node(std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"--host", "127.0.0.1", "--port", "0", "--node-name", "n1", "--session-store",
                                     "redis://127.0.0.1:" + std::to_string(proxy_.port()), "--network-store",
                                     networks().string(), "--store-timeout-ms", "250"});
    return std::make_unique<ks::testing::ServerProcess>(KS_SERVER_PROGRAM, options, "/dev/null");
  }
  std::filesystem::path networks() const { return folder_ / "networks"; }
  // How many session records the store holds.
  size_t records() {
    RedisClient redis({RedisAddress::parse(redis_.address())});
    return redis.command({"KEYS", "ks:session:*"}).elements.size();
  }

  std::filesystem::path folder_;
  RedisProcess redis_;
  DribblingProxy proxy_;
};

TEST_F(StoreAttacksTest, AStoreAnsweringAByteEvery150msHoldsARequestNoLongerThanTheStoreTimeout) {
  auto server = node();
  // A session another node opened: this node must ask the store for it.
  const std::string id = "n2-0123456789abcdef0123456789abcdef";
  RedisClient redis({RedisAddress::parse(redis_.address())});
  redis.command({"SET", SessionRecords::keyOf(id), SessionRecord{}.text()});
  proxy_.dribble(true);
  const auto start = Clock::now();
  const std::string reply = exchange(server->port(), get("/net?action=get_layouts&session_id=" + id));
  const auto held = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::printf("    a request for a session of another node was held %lld ms\n", static_cast<long long>(held.count()));
  EXPECT_EQ("503", ks::testing::statusOf(reply));
  EXPECT_NE(std::string::npos, ks::testing::bodyOf(reply).find("the session store cannot be reached"));
  EXPECT_LT(held, 250ms + 60ms);
}

TEST_F(StoreAttacksTest, ThousandsOfClosedSessionsLeaveNoRecordsBehind) {
  auto server = node({"--max-sessions", "4"});
  httplib::Client client("127.0.0.1", server->port());
  for (int cycle = 0; cycle < 3000; ++cycle) {
    const httplib::Result opened = client.Get("/session?action=new");
    ASSERT_TRUE(opened && opened->status == 200) << "cycle " << cycle;
    std::string id;
    sessionReplyFromJson(id, opened->body.c_str());
    const httplib::Result closed = client.Get("/session?action=delete&session_id=" + id);
    ASSERT_TRUE(closed && closed->status == 200) << "cycle " << cycle;
  }
  const size_t kept = records();
  std::printf("    3000 sessions opened and closed left %zu records\n", kept);
  EXPECT_EQ(0u, kept);
}

// Sessions opened from `from` (or through a proxy with `headers`) until the node refuses one; returns how
// many it opened and the refusal.
std::pair<int, std::string> openAll(int port, const std::string& from, const std::string& headers = "") {
  for (int opened = 0; opened < 100; ++opened) {
    const std::string reply = exchange(port, get("/session?action=new", headers), from);
    if (ks::testing::statusOf(reply) != "200")
      return {opened, ks::testing::statusOf(reply) + " " + ks::testing::bodyOf(reply)};
  }
  return {100, "<never refused>"};
}

TEST_F(StoreAttacksTest, OneClientAddressHoldsAtMostItsShareOfANodesSessionsAndCannotForgeAnother) {
  auto server = node({"--max-sessions", "12", "--client-share-percent", "20", "--trusted-proxies", "127.0.0.1"});
  const char kRefused[] =
      "503 {\"status\":false,\"text\":\"too many sessions for one client: each client address may hold 2 of "
      "this server's 12 sessions\"}";
  // The attacker names another client in the header a proxy would set: it is no proxy, so that is ignored.
  const auto [attacker, refusal] = openAll(server->port(), "127.0.0.2", "X-Forwarded-For: 192.0.2.50\r\n");
  std::printf("    one client address opened %d of the node's 12 sessions\n", attacker);
  EXPECT_EQ(2, attacker);
  EXPECT_EQ(kRefused, refusal);
  // Behind the trusted proxy, the client is the address the proxy appended, whatever came before it.
  EXPECT_EQ(2, openAll(server->port(), "127.0.0.1", "X-Forwarded-For: 127.0.0.2, 192.0.2.7\r\n").first);
  EXPECT_EQ(0, openAll(server->port(), "127.0.0.1", "X-Forwarded-For: 192.0.2.7, 127.0.0.2\r\n").first);
  EXPECT_EQ(2, openAll(server->port(), "127.0.0.3").first);
  // An IPv6 client has a /64 of addresses to take: it is one client.
  EXPECT_EQ(2, openAll(server->port(), "127.0.0.1", "X-Forwarded-For: 2001:db8:0:1::1\r\n").first);
  EXPECT_EQ(0, openAll(server->port(), "127.0.0.1", "X-Forwarded-For: 2001:db8:0:1:ffff::2\r\n").first);
}

// A network of about `bytes` that adds a constant to its input, distinct for each `seed`.
std::string summingNetwork(size_t bytes, int seed) {
  OnnxModelBuilder network;
  network.input("x", TensorProto::FLOAT, {4}).output("y", TensorProto::FLOAT, {4});
  std::vector<float> filler(bytes / sizeof(float), static_cast<float>(seed));
  network.initializer("filler", TensorProto::FLOAT, {static_cast<int64_t>(filler.size())}, filler);
  network.initializer("w", TensorProto::FLOAT, {4}, std::vector<float>(4, static_cast<float>(seed)));
  network.node("Add", {"x", "w"}, {"y"});
  return network.bytes();
}

std::string writeFile(const std::string& name, const std::string& bytes) {
  std::string path = ::testing::TempDir() + "/" + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  return path;
}

uint64_t folderBytes(const std::filesystem::path& folder) {
  uint64_t total = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) total += entry.file_size();
  return total;
}

TEST_F(StoreAttacksTest, TheNetworkStoreStaysWithinItsBoundAndKeepsTheNetworksSessionsName) {
  auto server = node({"--network-store-max-mb", "16"});
  auto backend = [&] {
    return std::make_unique<RemoteNetBackend>("127.0.0.1", server->port(), BackendId::kCpu, DeviceType::kCpu, 0);
  };
  // An honest session whose network stays named while the attacker churns.
  const std::string kept = summingNetwork(4 * kMiB, 0);
  auto honest = backend();
  honest->load(writeFile("kept.onnx", kept), {}, {}, "", "");
  const std::filesystem::path keptFile = networks() / (digestHex(sha256(kept.data(), kept.size())) + ".onnx");

  auto attacker = backend();
  uint64_t most = 0;
  for (int seed = 1; seed <= 24; ++seed) {
    attacker->load(writeFile("churn.onnx", summingNetwork(4 * kMiB, seed)), {}, {}, "", "");
    most = std::max(most, folderBytes(networks()));
  }
  std::printf("    after 24 networks of 4 MiB the folder holds %.0f MiB (at most %.0f MiB)\n",
              static_cast<double>(folderBytes(networks())) / kMiB, static_cast<double>(most) / kMiB);
  EXPECT_LE(most, 16 * kMiB);
  EXPECT_TRUE(std::filesystem::exists(keptFile));
  // Each session still runs what it loaded.
  std::vector<Tensor> outputs;
  Tensor input(attacker->srcLayout(0));
  std::memset(input.data(), 0, input.layout().byteSize());
  attacker->forward({input}, outputs);
  EXPECT_EQ(24.0f, reinterpret_cast<const float*>(outputs.at(0).data())[0]);
  honest->forward({input}, outputs);
  EXPECT_EQ(0.0f, reinterpret_cast<const float*>(outputs.at(0).data())[0]);
}

}  // namespace
}  // namespace server
}  // namespace ks
