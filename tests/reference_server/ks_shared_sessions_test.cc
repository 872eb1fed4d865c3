// Sessions shared by two nodes through a real redis-server (on a Unix socket of a scratch folder) and a
// shared network folder: takeover, a stale copy catching up, closing, damage, and the store going away.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ks_core/ks_base64.h"
#include "ks_inference_request.h"
#include "ks_inference_response.h"
#include "ks_inference_server_test_support.h"
#include "ks_inference_service.h"
#include "ks_net_load_request.h"
#include "ks_redis_client.h"
#include "ks_session_records.h"
#include "ks_session_reply.h"
#include "ks_sha256.h"
#include "redis_process.h"

namespace ks {
namespace server {
namespace {

using namespace std::chrono_literals;
using ks::testing::RedisProcess;
using testing::modelPath;
using testing::readFile;
using testing::referenceInput;
using testing::referenceValues;

std::string loadBody(const std::string& model, std::vector<std::string> inputs, std::vector<std::string> outputs) {
  const std::string bytes = readFile(modelPath(model));
  NetLoadRequest request;
  request.net.resize(base64EncodedLength(bytes.size()) + 1);
  encodeBase64To(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), request.net.data());
  request.net.back() = '\0';
  request.input_tensors = std::move(inputs);
  request.output_tensors = std::move(outputs);
  return loadRequestToJson(request);
}

// Two nodes of one service: their own sessions, engines and workers, one store.
class SharedSessionsTest : public ::testing::Test {
 protected:
  SharedSessionsTest()
      : folder_(std::filesystem::temp_directory_path() / ("ks-shared-" + std::to_string(::getpid()))),
        redis_((std::filesystem::create_directories(folder_), folder_)) {
    // As the server does: a store that goes away mid-command must not end the program.
    ::signal(SIGPIPE, SIG_IGN);
  }
  ~SharedSessionsTest() override { std::filesystem::remove_all(folder_); }

  std::unique_ptr<InferenceService> node(const std::string& name) {
    InferenceServiceOptions options;
    options.nodeName = name;
    options.sessionStore = redis_.address();
    options.networkStore = (folder_ / "networks").string();
    options.storeTimeout = 200ms;
    options.engine.workerProgram = KS_WORKER_PROGRAM;
    options.engine.threads = 1;
    options.engine.runsAtOnce = 1;
    return std::make_unique<InferenceService>(options);
  }

  static std::string open(InferenceService& node) {
    std::string id;
    node.openSession(&id);
    return id;
  }
  static void load(InferenceService& node, const std::string& id, const std::string& model,
                   std::vector<std::string> inputs = {}, std::vector<std::string> outputs = {}) {
    std::string body = loadBody(model, std::move(inputs), std::move(outputs));
    node.load(&id, &body[0]);
  }
  // The first output of a run of `model`'s reference input.
  static std::vector<float> infer(InferenceService& node, const std::string& id, const std::string& model,
                                  const TensorSize& size) {
    InferenceRequest request;
    request.input_tensors.push_back(referenceInput(model, model == "cnn" ? "image" : "input", size));
    std::string body = inferenceRequestToJson(request);
    const std::string reply = node.infer(&id, &body[0], nullptr);
    InferenceResponse response;
    inferenceResponseFromJson(response, reply.c_str());
    return testing::valuesOf(response.output_tensors.at(0));
  }
  // The HTTP status and sentence `work` is refused with.
  template <typename Work>
  static std::string refusal(Work&& work) {
    try {
      work();
    } catch (const Refusal& e) {
      return std::to_string(e.httpStatus()) + " " + e.what();
    }
    return "<not refused>";
  }

  std::filesystem::path folder_;
  RedisProcess redis_;
};

const char kUnknown[] = "404 unknown session: it was never opened, was closed or has expired";

TEST_F(SharedSessionsTest, AnotherNodeServesASessionWithTheNamesItLoadedAndOnlyHashesOfIdsAreStored) {
  auto a = node("a");
  auto b = node("b");
  const std::string id = open(*a);
  load(*a, id, "cnn", {"image"}, {"pooled"});
  testing::expectClose(infer(*b, id, "cnn", {1, 3, 8, 8}), referenceValues("cnn", "pooled"), "taken over");
  EXPECT_EQ(1u, b->shared()->takeovers());

  RedisClient redis({RedisAddress::parse(redis_.address())});
  const RedisClient::Reply keys = redis.command({"DBSIZE"});
  EXPECT_EQ(2, keys.integer);  // the session's record and the store's epoch
  const std::string key = "ks:session:" + digestHex(sha256(id.data(), id.size()));
  EXPECT_FALSE(redis.command({"GET", key}).nil());
  EXPECT_TRUE(redis.command({"GET", "ks:session:" + id}).nil());
}

TEST_F(SharedSessionsTest, ANodeHoldingAnOldCopyRunsTheNetworkLoadedElsewhere) {
  auto a = node("a");
  auto b = node("b");
  const std::string id = open(*a);
  load(*a, id, "mlp");
  testing::expectClose(infer(*a, id, "mlp", {1, 16}), referenceValues("mlp", "logits"), "before");
  load(*b, id, "identity");
  testing::expectClose(infer(*a, id, "identity", {1, 1024}), referenceValues("identity", "output"), "after");
}

TEST_F(SharedSessionsTest, ASessionClosedOnOneNodeIsUnknownOnEveryNode) {
  auto a = node("a");
  auto b = node("b");
  const std::string id = open(*a);
  load(*a, id, "mlp");
  infer(*b, id, "mlp", {1, 16});
  b->closeSession(&id);
  EXPECT_EQ(kUnknown, refusal([&] { infer(*a, id, "mlp", {1, 16}); }));
  EXPECT_EQ(kUnknown, refusal([&] { a->closeSession(&id); }));
  const std::string never = "a-00000000000000000000000000000000";
  EXPECT_EQ(kUnknown, refusal([&] { b->layouts(&never); }));
  EXPECT_EQ(0u, b->sessions().openCount());
}

TEST_F(SharedSessionsTest, ADamagedNetworkInTheFolderIsSaidAndIsRemoved) {
  auto a = node("a");
  auto b = node("b");
  const std::string id = open(*a);
  load(*a, id, "mlp");
  const std::filesystem::path file = *std::filesystem::directory_iterator(folder_ / "networks");
  {
    std::fstream bytes(file, std::ios::in | std::ios::out | std::ios::binary);
    bytes.seekp(40);
    bytes.put('\x7f');
  }
  EXPECT_EQ(
      "409 the session's network was damaged in the network store the server nodes share, and has been removed: "
      "load it again",
      refusal([&] {
        infer(*b, id, "mlp", {1, 16});
      }));
  EXPECT_FALSE(std::filesystem::exists(file));
  // The node that holds it goes on, and its next load of the network writes it again.
  infer(*a, id, "mlp", {1, 16});
  load(*a, id, "mlp");
  testing::expectClose(infer(*b, id, "mlp", {1, 16}), referenceValues("mlp", "logits"), "written again");
}

TEST_F(SharedSessionsTest, WithoutTheStoreANodeServesWhatItHoldsAndWritesItBackWhenAnEmptyStoreReturns) {
  auto a = node("a");
  auto b = node("b");
  const std::string held = open(*a);
  load(*a, held, "mlp");
  redis_.stop();

  testing::expectClose(infer(*a, held, "mlp", {1, 16}), referenceValues("mlp", "logits"), "store down");
  const std::string local = open(*a);  // opened on this node alone
  load(*a, local, "identity");
  EXPECT_EQ("503 the session is not held by this server node, and the session store cannot be reached", refusal([&] {
              infer(*b, held, "mlp", {1, 16});
            }));
  EXPECT_FALSE(a->shared()->reachable());
  EXPECT_FALSE(b->shared()->up());

  redis_.start();                       // empty: every record was lost with it
  std::this_thread::sleep_for(1100ms);  // past the breaker's pause
  EXPECT_TRUE(b->shared()->up());       // asked again, though nothing ran on b since
  infer(*a, held, "mlp", {1, 16});
  infer(*a, local, "identity", {1, 1024});
  testing::expectClose(infer(*b, held, "mlp", {1, 16}), referenceValues("mlp", "logits"), "held, written back");
  testing::expectClose(infer(*b, local, "identity", {1, 1024}), referenceValues("identity", "output"),
                       "local, written");
}

TEST_F(SharedSessionsTest, AStoreThatStopsAnsweringCostsARequestItsTimeoutOnce) {
  auto a = node("a");
  const std::string id = open(*a);
  load(*a, id, "mlp");
  redis_.pause();
  auto timed = [&] {
    const auto start = std::chrono::steady_clock::now();
    testing::expectClose(infer(*a, id, "mlp", {1, 16}), referenceValues("mlp", "logits"), "store paused");
    return std::chrono::steady_clock::now() - start;
  };
  const auto first = timed();
  const auto second = timed();
  redis_.resume();
  EXPECT_GE(first, 200ms);
  EXPECT_LT(first, 1000ms);
  EXPECT_LT(second, 100ms);  // the breaker answers for the store
  EXPECT_EQ(1u, a->shared()->redis().failures());
}

TEST(RedisAddress, ReadsTcpAndUnixAddressesAndRefusesTheRest) {
  EXPECT_EQ("redis://db:6379", RedisAddress::parse("redis://db").text());
  EXPECT_EQ("redis://10.0.0.2:7000", RedisAddress::parse("redis://10.0.0.2:7000/").text());
  EXPECT_EQ("::1", RedisAddress::parse("redis://[::1]:6380").host);
  EXPECT_EQ(6380, RedisAddress::parse("redis://[::1]:6380").port);
  EXPECT_EQ("/run/redis.sock", RedisAddress::parse("unix:/run/redis.sock").socketPath);
  for (const char* bad : {"http://db", "redis://", "redis://db:0", "redis://db:65536", "redis://db:x",
                          "unix:", "redis://[::1", "redis://db:6379x"}) {
    EXPECT_THROW(RedisAddress::parse(bad), std::invalid_argument) << bad;
  }
}

TEST(SessionRecord, ReadsWhatItWritesAndNothingElse) {
  SessionRecord record;
  record.network = std::string(64, 'a');
  record.inputs = {"x", "\"quoted\""};
  record.outputs = {};
  const std::optional<SessionRecord> read = SessionRecord::parse(record.text());
  ASSERT_TRUE(read);
  EXPECT_EQ(record.text(), read->text());
  EXPECT_EQ(record.inputs, read->inputs);
  for (const char* bad : {"", "{}", "[]", R"({"network":"../x","inputs":[],"outputs":[]})",
                          R"({"network":"","inputs":[1],"outputs":[]})", R"({"network":"","inputs":[]})"}) {
    EXPECT_FALSE(SessionRecord::parse(bad)) << bad;
  }
}

}  // namespace
}  // namespace server
}  // namespace ks
