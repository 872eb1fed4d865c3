// Reading, summarising and filling the elements of a typed little-endian buffer, whatever its data type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ks_core/ks_tensor_layout.h"

namespace ks {
namespace tools {

// IEEE 754 binary16 <-> binary32. Rounds to nearest even; overflow gives infinity, NaN stays NaN.
float halfToFloat(uint16_t half);
uint16_t floatToHalf(float value);

// Element `index` of `data` as a double. `dataType` must name a known type and `data` hold the element.
double elementValue(ks::TensorDataType dataType, const unsigned char* data, size_t index);

struct ValueSummary {
  size_t count = 0;
  double min = 0.0;
  double max = 0.0;
  double mean = 0.0;
  std::vector<double> first;  // the first few elements, in memory order
};

// Summary of the `count` elements of `data`; min, max and mean stay 0 for no elements.
ValueSummary summarizeValues(ks::TensorDataType dataType, const unsigned char* data, size_t count, size_t firstCount);

// Fills `count` elements with values that depend only on `seed`: uniform in [-1, 1) for floating
// types, small integers (-8..7, or 0..15 for uint8) otherwise, so every build gives the same bytes.
void fillRandom(ks::TensorDataType dataType, unsigned char* data, size_t count, uint32_t seed);

}  // namespace tools
}  // namespace ks
