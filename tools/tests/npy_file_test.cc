#include "npy_file.h"

#include <gtest/gtest.h>

#include "support/expect_throw.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ks {
namespace tools {
namespace {

// An .npy file with `header` as its dictionary text (padded the way NumPy pads) and `data` after it.
std::string npyBytes(const std::string& header, const std::string& data, char major = 1) {
  std::string dict = header;
  const size_t prefix = major == 1 ? 10 : 12;
  dict.append((64 - (prefix + dict.size() + 1) % 64) % 64, ' ');
  dict += '\n';
  std::string bytes("\x93NUMPY", 6);
  bytes += major;
  bytes += '\0';
  bytes += static_cast<char>(dict.size() & 0xff);
  bytes += static_cast<char>(dict.size() >> 8);
  if (major == 2) bytes.append(2, '\0');
  return bytes + dict + data;
}

void expectNpyError(const std::string& bytes, const std::string& message) {
  EXPECT_THROW_MSG(parseNpy(bytes), NpyError, message);
}

TEST(NpyFile, RoundTripsEveryDataTypeWithItsShape) {
  const std::vector<TensorDataType> types = {TensorDataType::kFloat32, TensorDataType::kFloat16, TensorDataType::kInt32,
                                             TensorDataType::kInt16,   TensorDataType::kInt8,    TensorDataType::kUInt8,
                                             TensorDataType::kInt64};
  for (TensorDataType type : types) {
    const std::vector<int64_t> shape = {2, 3};
    std::vector<unsigned char> data(size_t{6} * elementSize(type));
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + 1);
    const std::string bytes = formatNpy(type, shape, data.data(), data.size());
    EXPECT_EQ(0u, (bytes.size() - data.size()) % 64) << "data must start on a 64-byte boundary";
    const NpyArray array = parseNpy(bytes);
    EXPECT_EQ(type, array.dataType);
    EXPECT_EQ(shape, array.shape);
    EXPECT_EQ(data, array.data);
  }
}

TEST(NpyFile, WritesTheHeaderNumpyWrites) {
  const float values[4] = {};
  const std::string bytes =
      formatNpy(TensorDataType::kFloat32, {4}, reinterpret_cast<const unsigned char*>(values), 16);
  const std::string dict = "{'descr': '<f4', 'fortran_order': False, 'shape': (4,), }";
  ASSERT_EQ(128u + 16u, bytes.size());
  EXPECT_EQ(std::string("\x76\x00", 2), bytes.substr(8, 2));
  EXPECT_EQ(dict + std::string(128 - 10 - dict.size() - 1, ' ') + "\n", bytes.substr(10, 118));
}

TEST(NpyFile, ReadsScalarsEmptyArraysAndVersionTwo) {
  const NpyArray scalar = parseNpy(npyBytes("{'descr': '<i4', 'fortran_order': False, 'shape': (), }", "abcd"));
  EXPECT_TRUE(scalar.shape.empty());
  EXPECT_EQ(4u, scalar.data.size());

  const NpyArray empty = parseNpy(npyBytes("{'descr': '|u1', 'fortran_order': False, 'shape': (0, 5), }", ""));
  EXPECT_EQ((std::vector<int64_t>{0, 5}), empty.shape);

  const NpyArray v2 = parseNpy(npyBytes("{\"shape\": (2,), \"fortran_order\": False, \"descr\": \"<i2\"}", "wxyz", 2));
  EXPECT_EQ(TensorDataType::kInt16, v2.dataType);
  EXPECT_EQ(std::vector<int64_t>{2}, v2.shape);
}

TEST(NpyFile, RefusesWhatItCannotRepresent) {
  expectNpyError(std::string("\x93NUMPX\x01\x00\x00\x00", 10), "not an .npy file (wrong magic string)");
  expectNpyError("\x93NUMP", "not an .npy file (wrong magic string)");
  expectNpyError(std::string("\x93NUMPY\x03\x00\x00\x00", 10), "unsupported .npy format version 3");
  expectNpyError(npyBytes("{'descr': '<f4', 'fortran_order': True, 'shape': (2, 2), }", std::string(16, '\0')),
                 "the .npy array is in Fortran order; only C order is supported");
  expectNpyError(npyBytes("{'descr': '>f4', 'fortran_order': False, 'shape': (1,), }", "abcd"),
                 "the .npy array is big-endian ('>f4'); only little-endian is supported");
  expectNpyError(npyBytes("{'descr': '<f8', 'fortran_order': False, 'shape': (1,), }", "abcdefgh"),
                 "the .npy dtype '<f8' is not supported");
}

TEST(NpyFile, RefusesDataThatDoesNotMatchTheShape) {
  expectNpyError(npyBytes("{'descr': '<f4', 'fortran_order': False, 'shape': (1, 3), }", std::string(8, '\0')),
                 "the .npy data holds 8 bytes but shape (1, 3) of '<f4' needs 12");
  expectNpyError(npyBytes("{'descr': '<i2', 'fortran_order': False, 'shape': (1,), }", "abc"),
                 "the .npy data holds 3 bytes but shape (1,) of '<i2' needs 2");
  const unsigned char data[8] = {};
  EXPECT_THROW(formatNpy(TensorDataType::kFloat32, {3}, data, sizeof data), NpyError);
}

TEST(NpyFile, RefusesMalformedHeaders) {
  std::string cut = npyBytes("{'descr': '<f4', 'fortran_order': False, 'shape': (1,), }", "");
  cut.resize(30);
  expectNpyError(cut, "the .npy header is cut short");
  expectNpyError(npyBytes("{'descr': '<f4', 'shape': (1,), }", "abcd"),
                 "the .npy header lacks one of 'descr', 'fortran_order' and 'shape'");
  expectNpyError(npyBytes("{'descr': '<f4', 'fortran_order': False, 'shape': (-1,), }", ""),
                 "the .npy header is malformed: expected a dimension");
  expectNpyError(npyBytes("{'descr': '<f4', 'fortran_order': False, 'shape': (1,), 'extra': 1}", "abcd"),
                 "the .npy header has an unknown key 'extra'");
  expectNpyError(npyBytes("{'descr': '<f4', 'fortran_order': False, 'shape': (99999999999999999999,), }", ""),
                 "the .npy header has a dimension too large");
  expectNpyError(npyBytes("{'descr': '<f4', 'fortran_order': False, 'shape': (4294967296, 4294967296, 8), }", ""),
                 "the .npy shape describes more data than memory can hold");
}

}  // namespace
}  // namespace tools
}  // namespace ks
