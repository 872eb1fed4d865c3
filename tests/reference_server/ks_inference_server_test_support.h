// What the server's tests share: the test networks with their inputs and numpy outputs, and a server on
// an ephemeral loopback port that stops when the test ends.
#pragma once

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ks_core/ks_tensor.h"
#include "ks_inference_server.h"

// KS_TEST_MODELS_DIR holds the networks of models/make_models.py with inputs and numpy outputs as
// <model>.<value>.raw files of little-endian float32.

namespace ks {
namespace server {
namespace testing {

inline std::string modelPath(const std::string& model) {
  return std::string(KS_TEST_MODELS_DIR) + "/" + model + ".onnx";
}

inline std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot open " + path);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

inline std::vector<float> referenceValues(const std::string& model, const std::string& value) {
  const std::string bytes = readFile(std::string(KS_TEST_MODELS_DIR) + "/" + model + "." + value + ".raw");
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}

// The engine's layout for a float32 tensor: NCHW with four dimensions, plain otherwise.
inline TensorLayout floatLayout(const TensorSize& size) {
  return TensorLayout(TensorDataType::kFloat32, size.size() == 4 ? TensorFormat::kNchw : TensorFormat::kPlain, size,
                      TensorSize(), TensorChannelOrder::kNone);
}

inline Tensor referenceInput(const std::string& model, const std::string& input, const TensorSize& size) {
  Tensor tensor(floatLayout(size));
  const std::vector<float> values = referenceValues(model, input);
  if (values.size() * sizeof(float) != tensor.layout().byteSize()) throw std::runtime_error("wrong size: " + input);
  std::memcpy(tensor.data(), values.data(), tensor.layout().byteSize());
  return tensor;
}

inline std::vector<float> valuesOf(const Tensor& tensor) {
  std::vector<float> values(tensor.layout().byteSize() / sizeof(float));
  std::memcpy(values.data(), tensor.data(), tensor.layout().byteSize());
  return values;
}

// Equal within a relative 1e-4, with an absolute floor of 1e-5 for values near zero.
inline void expectClose(const std::vector<float>& got, const std::vector<float>& expected, const std::string& what) {
  ASSERT_EQ(expected.size(), got.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_NEAR(got[i], expected[i], 1e-4 * std::fabs(expected[i]) + 1e-5) << what << " element " << i;
  }
}

// `options` with this tree's worker program, unless they name one.
inline InferenceServerOptions withWorker(InferenceServerOptions options) {
  if (options.service.engine.workerProgram.empty()) options.service.engine.workerProgram = KS_WORKER_PROGRAM;
  return options;
}

// A server started on an ephemeral port of 127.0.0.1 (the options' defaults) with this tree's worker
// program; stopped by its destructor.
struct RunningServer {
  explicit RunningServer(InferenceServerOptions options = {})
      : server(withWorker(std::move(options))), port(server.start()) {}
  InferenceServer server;
  const int port;
};

}  // namespace testing
}  // namespace server
}  // namespace ks
