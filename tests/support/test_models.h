// The test networks of models/make_models.py as the tests read them: their files, numpy's inputs and
// outputs for them (<model>.<value>.raw, little-endian float32, in KS_TEST_MODELS_DIR), float tensors
// made from those values and the tolerance outputs are compared within.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ks_core/ks_tensor.h"

namespace ks {
namespace testing {

inline std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot open " + path);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

#ifdef KS_TEST_MODELS_DIR
inline std::string modelPath(const std::string& model) {
  return std::string(KS_TEST_MODELS_DIR) + "/" + model + ".onnx";
}

inline std::string modelBytes(const std::string& model) { return readFile(modelPath(model)); }

inline std::vector<float> referenceValues(const std::string& model, const std::string& value) {
  const std::string bytes = readFile(std::string(KS_TEST_MODELS_DIR) + "/" + model + "." + value + ".raw");
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}
#endif

// The engine's layout for a tensor: NCHW with four dimensions, plain otherwise.
inline TensorLayout layoutOf(TensorDataType type, const TensorSize& size) {
  return TensorLayout(type, size.size() == 4 ? TensorFormat::kNchw : TensorFormat::kPlain, size, TensorSize(),
                      TensorChannelOrder::kNone);
}

inline TensorLayout floatLayout(const TensorSize& size) { return layoutOf(TensorDataType::kFloat32, size); }

inline Tensor floatTensor(const TensorSize& size, const std::vector<float>& values) {
  Tensor tensor(floatLayout(size));
  if (values.size() * sizeof(float) != tensor.layout().byteSize()) throw std::runtime_error("wrong number of values");
  std::memcpy(tensor.data(), values.data(), tensor.layout().byteSize());
  return tensor;
}

#ifdef KS_TEST_MODELS_DIR
inline Tensor referenceInput(const std::string& model, const std::string& input, const TensorSize& size) {
  return floatTensor(size, referenceValues(model, input));
}
#endif

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

}  // namespace testing
}  // namespace ks
