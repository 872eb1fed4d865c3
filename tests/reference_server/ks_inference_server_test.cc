// The server as ks::RemoteNetBackend sees it: every call goes through the client library and HTTP.
#include "ks_inference_server.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ks_inference_engine.h"
#include "ks_inference_server_test_support.h"
#include "ks_netclient/ks_remote_net_backend.h"
#include "support/expect_throw.h"

namespace ks {
namespace server {
namespace {

using namespace ks::server::testing;

std::unique_ptr<RemoteNetBackend> openBackend(int port, BackendId backend = BackendId::kCpu) {
  return std::make_unique<RemoteNetBackend>("127.0.0.1", port, backend, DeviceType::kCpu, 0);
}

std::string uploadError(const std::string& serverText) {
  return "Server returned error: " + serverText + "; operation: upload network";
}

// A file in a fresh folder that is removed with this object.
struct TempFolder {
  TempFolder() : path(std::filesystem::temp_directory_path() / ("ks_server_test_" + std::to_string(getpid()))) {
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
  }
  ~TempFolder() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
};

TEST(InferenceServerThroughClient, RunsEachTestNetworkLikeNumpy) {
  struct Case {
    const char* model;
    const char* input;
    TensorSize inputSize;
    std::vector<std::pair<const char*, TensorSize>> outputs;
  };
  const Case cases[] = {{"mlp", "input", {1, 16}, {{"logits", {1, 4}}}},
                        {"cnn", "image", {1, 3, 8, 8}, {{"features", {1, 4, 8, 8}}, {"pooled", {1, 4, 1, 1}}}},
                        {"identity", "input", {1, 1024}, {{"output", {1, 1024}}}}};
  RunningServer running;
  for (const Case& c : cases) {
    auto backend = openBackend(running.port);
    std::vector<std::string> outputNames;
    for (const auto& output : c.outputs) outputNames.push_back(output.first);
    backend->load(modelPath(c.model), {c.input}, outputNames, "", "");
    EXPECT_EQ(floatLayout(c.inputSize), backend->srcLayout(0)) << c.model;
    std::vector<Tensor> outputs;
    backend->forward({referenceInput(c.model, c.input, c.inputSize)}, outputs);
    ASSERT_EQ(c.outputs.size(), outputs.size()) << c.model;
    for (size_t i = 0; i < outputs.size(); ++i) {
      EXPECT_EQ(floatLayout(c.outputs[i].second), backend->dstLayout(i)) << c.model;
      expectClose(valuesOf(outputs[i]), referenceValues(c.model, c.outputs[i].first), c.model);
    }
  }
}

TEST(InferenceServerThroughClient, ReportsTimingForRepeatedRunsAndOutputsWithoutRepetitions) {
  RunningServer running;
  auto mlp = openBackend(running.port);
  mlp->load(modelPath("mlp"), {"input"}, {"logits"}, "", "");
  const Tensor input = referenceInput("mlp", "input", {1, 16});
  std::vector<Tensor> outputs;
  InferenceStats stats;
  mlp->forwardStats({input}, outputs, 5, stats);
  EXPECT_TRUE(stats.hasInfo);
  EXPECT_EQ(5u, stats.repetitionsCount);
  EXPECT_GE(stats.duration, 0.0f);
  EXPECT_LT(stats.duration, 5000.0f);  // milliseconds per run, not a total in microseconds

  outputs.clear();
  mlp->forwardStats({input}, outputs, 0, stats);
  EXPECT_TRUE(stats.hasInfo);
  EXPECT_EQ(0.0f, stats.duration);
  EXPECT_EQ(0u, stats.repetitionsCount);
  ASSERT_EQ(1u, outputs.size());
  expectClose(valuesOf(outputs[0]), referenceValues("mlp", "logits"), "mlp logits after 0 repetitions");
}

TEST(InferenceServerThroughClient, PassesTheEnginesRefusalOfANameOrOfACorruptNetworkToTheCaller) {
  RunningServer running;
  auto backend = openBackend(running.port);
  EXPECT_KS_THROW(backend->load(modelPath("mlp"), {"no_such_input"}, {}, "", ""), 12,
                  uploadError("The network has no input named 'no_such_input'; its inputs are 'input'."));

  TempFolder folder;
  const std::string corrupt = readFile(modelPath("mlp")).substr(0, 40) + "\x01\x02 not protobuf";
  std::ofstream((folder.path / "corrupt.onnx").string(), std::ios::binary) << corrupt;
  EXPECT_KS_THROW(
      backend->load((folder.path / "corrupt.onnx").string(), {}, {}, "", ""), 12,
      uploadError("cannot load network: Not an ONNX model: the data is not a valid ONNX protobuf message."));
  EXPECT_KS_THROW(backend->load((folder.path / "missing.onnx").string(), {}, {}, "", ""), 12,
                  uploadError("empty network"));

  auto gpu = openBackend(running.port, BackendId::kOpenCl);
  EXPECT_KS_THROW(gpu->load(modelPath("mlp"), {}, {}, "", ""), 12,
                  uploadError("backend 1 is not supported: this server runs networks on the CPU backend (0)"));
}

TEST(InferenceServerThroughClient, ClosesTheSessionWhenTheBackendIsDestroyed) {
  RunningServer running;
  {
    auto first = openBackend(running.port);
    auto second = openBackend(running.port);
    first->load(modelPath("mlp"), {}, {}, "", "");
    EXPECT_EQ(2u, running.server.service().sessions().openCount());
  }
  EXPECT_EQ(0u, running.server.service().sessions().openCount());
}

TEST(InferenceServerThroughClient, LoadsACachedNetworkByKeyWhenTheFileIsEmptyOnlyFromItsOwnFolder) {
  TempFolder folder;
  InferenceServerOptions options;
  options.service.cacheDir = (folder.path / "cache").string();
  RunningServer running(options);
  const std::string elsewhere = (folder.path / "client_dir").string();
  openBackend(running.port)->load(modelPath("mlp"), {}, {}, "../../mlp key", elsewhere);
  EXPECT_FALSE(std::filesystem::exists(elsewhere));
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(options.service.cacheDir), {}));

  auto later = openBackend(running.port);
  later->load((folder.path / "missing.onnx").string(), {}, {}, "../../mlp key", "");
  EXPECT_EQ(floatLayout({1, 4}), later->dstLayout(0));
  EXPECT_KS_THROW(later->load((folder.path / "missing.onnx").string(), {}, {}, "other key", ""), 12,
                  uploadError("empty network, and no network is cached under the key given"));
  EXPECT_KS_THROW(later->load(modelPath("mlp"), {}, {}, std::string(121, 'k'), ""), 12,
                  uploadError("key is longer than 120 bytes"));

  // The longest key is cached too: its file name and the name it is written under both fit in 255 bytes.
  const std::string longest(120, '\xff');
  later->load(modelPath("cnn"), {}, {}, longest, "");
  auto third = openBackend(running.port);
  third->load((folder.path / "missing.onnx").string(), {}, {}, longest, "");
  EXPECT_EQ(floatLayout({1, 4, 1, 1}), third->dstLayout(1));
}

TEST(InferenceServerThroughClient, ServesEightClientsInParallelEachWithItsOwnNetwork) {
  RunningServer running;
  constexpr int kClients = 8;
  std::vector<std::vector<Tensor>> results(kClients);
  std::vector<std::string> failures(kClients);
  std::vector<std::thread> threads;
  threads.reserve(kClients);
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      try {
        auto backend = openBackend(running.port);
        if (i % 2 == 0) {
          backend->load(modelPath("mlp"), {"input"}, {"logits"}, "", "");
          for (int run = 0; run < 5; ++run) backend->forward({referenceInput("mlp", "input", {1, 16})}, results[i]);
        } else {
          backend->load(modelPath("cnn"), {"image"}, {"pooled"}, "", "");
          for (int run = 0; run < 5; ++run)
            backend->forward({referenceInput("cnn", "image", {1, 3, 8, 8})}, results[i]);
        }
      } catch (const std::exception& e) {
        failures[i] = e.what();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kClients; ++i) {
    ASSERT_EQ("", failures[i]) << "client " << i;
    ASSERT_EQ(1u, results[i].size()) << "client " << i;
    expectClose(valuesOf(results[i][0]), referenceValues(i % 2 == 0 ? "mlp" : "cnn", i % 2 == 0 ? "logits" : "pooled"),
                "client " + std::to_string(i));
  }
  EXPECT_EQ(0u, running.server.service().sessions().openCount());
}

}  // namespace
}  // namespace server
}  // namespace ks
