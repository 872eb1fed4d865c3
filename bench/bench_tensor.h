// The input tensor the benchmarks send: float32 [1, N] of fixed pseudo-random values, the same in every run.
#pragma once

#include <cstdint>
#include <random>

#include "ks_core/ks_tensor.h"

namespace ks {
namespace bench {

inline Tensor floatTensor(int32_t elements) {
  Tensor tensor(TensorLayout(TensorDataType::kFloat32, TensorFormat::kPlain, {1, elements}, TensorSize(),
                             TensorChannelOrder::kNone));
  std::mt19937 random(3);
  auto* values = reinterpret_cast<float*>(tensor.data());
  for (int32_t i = 0; i < elements; ++i) values[i] = static_cast<float>(random() % 100000) / 7.0f;
  return tensor;
}

}  // namespace bench
}  // namespace ks
