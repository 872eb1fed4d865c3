// Reading, summarising and filling the elements of a typed little-endian buffer, whatever its data type.
#include "tensor_values.h"

#include <cmath>
#include <cstring>
#include <random>

// Tensor bytes travel little-endian; copying them into native integers is only right on such a host.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "ks tools assume a little-endian host");

namespace ks {
namespace tools {
namespace {

template <typename T>
T load(const unsigned char* data, size_t index) {
  T value;
  std::memcpy(&value, data + index * sizeof(T), sizeof(T));
  return value;
}

template <typename T>
void store(unsigned char* data, size_t index, T value) {
  std::memcpy(data + index * sizeof(T), &value, sizeof(T));
}

}  // namespace

float halfToFloat(uint16_t half) {
  const uint32_t sign = static_cast<uint32_t>(half & 0x8000u) << 16;
  const uint32_t exponent = (half >> 10) & 0x1fu;
  const uint32_t mantissa = half & 0x3ffu;
  if (exponent == 0) {
    // Zero or subnormal: mantissa * 2^-24, exact in float.
    const float magnitude = std::ldexp(static_cast<float>(mantissa), -24);
    return sign ? -magnitude : magnitude;
  }
  uint32_t bits;
  if (exponent == 0x1f) {
    bits = sign | 0x7f800000u | (mantissa << 13);
  } else {
    bits = sign | ((exponent + 127 - 15) << 23) | (mantissa << 13);
  }
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

uint16_t floatToHalf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
  const uint32_t absBits = bits & 0x7fffffffu;
  if (absBits >= 0x7f800000u) {  // infinity or NaN; keep NaN quiet and non-zero
    return static_cast<uint16_t>(sign | 0x7c00u | (absBits > 0x7f800000u ? 0x200u : 0u));
  }
  if (absBits >= 0x477ff000u) return static_cast<uint16_t>(sign | 0x7c00u);  // rounds past 65504
  if (absBits < 0x38800000u) {
    // Below the smallest normal half: scale into the subnormal range and let the FPU round to even.
    float magnitude;
    std::memcpy(&magnitude, &absBits, sizeof magnitude);
    return static_cast<uint16_t>(sign | static_cast<uint16_t>(std::nearbyint(std::ldexp(magnitude, 24))));
  }
  // Normal: rebias the exponent, round the 13 dropped mantissa bits to nearest even.
  uint32_t half = ((absBits >> 13) - ((127 - 15) << 10));
  const uint32_t dropped = absBits & 0x1fffu;
  if (dropped > 0x1000u || (dropped == 0x1000u && (half & 1u))) ++half;
  return static_cast<uint16_t>(sign | half);
}

double elementValue(ks::TensorDataType dataType, const unsigned char* data, size_t index) {
  switch (dataType) {
    case ks::TensorDataType::kFloat32: return load<float>(data, index);
    case ks::TensorDataType::kFloat16: return halfToFloat(load<uint16_t>(data, index));
    case ks::TensorDataType::kInt32: return load<int32_t>(data, index);
    case ks::TensorDataType::kInt16: return load<int16_t>(data, index);
    case ks::TensorDataType::kInt8: return load<int8_t>(data, index);
    case ks::TensorDataType::kUInt8: return load<uint8_t>(data, index);
    case ks::TensorDataType::kInt64: return static_cast<double>(load<int64_t>(data, index));
  }
  return 0.0;
}

ValueSummary summarizeValues(ks::TensorDataType dataType, const unsigned char* data, size_t count, size_t firstCount) {
  ValueSummary summary;
  summary.count = count;
  double sum = 0.0;
  for (size_t i = 0; i < count; ++i) {
    const double value = elementValue(dataType, data, i);
    if (i == 0 || value < summary.min) summary.min = value;
    if (i == 0 || value > summary.max) summary.max = value;
    sum += value;
    if (i < firstCount) summary.first.push_back(value);
  }
  if (count > 0) summary.mean = sum / static_cast<double>(count);
  return summary;
}

void fillRandom(ks::TensorDataType dataType, unsigned char* data, size_t count, uint32_t seed) {
  // mt19937's output sequence is fixed by the standard; the distributions are not, so the mapping is ours.
  std::mt19937 engine(seed);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t bits = engine();
    const float unit = static_cast<float>(bits >> 8) * (1.0f / 16777216.0f) * 2.0f - 1.0f;
    const int small = static_cast<int>(bits >> 28) - 8;
    switch (dataType) {
      case ks::TensorDataType::kFloat32: store<float>(data, i, unit); break;
      case ks::TensorDataType::kFloat16: store<uint16_t>(data, i, floatToHalf(unit)); break;
      case ks::TensorDataType::kInt32: store<int32_t>(data, i, small); break;
      case ks::TensorDataType::kInt16: store<int16_t>(data, i, static_cast<int16_t>(small)); break;
      case ks::TensorDataType::kInt8: store<int8_t>(data, i, static_cast<int8_t>(small)); break;
      case ks::TensorDataType::kUInt8: store<uint8_t>(data, i, static_cast<uint8_t>(small + 8)); break;
      case ks::TensorDataType::kInt64: store<int64_t>(data, i, small); break;
    }
  }
}

}  // namespace tools
}  // namespace ks
