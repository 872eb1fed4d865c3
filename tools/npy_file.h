// NumPy's .npy array files (format 1.0, little-endian, C order) for the element types ks tensors hold.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "ks_core/ks_tensor_layout.h"

namespace ks {
namespace tools {

// A file that is not an .npy array this tool can use; what() says why in one sentence.
class NpyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct NpyArray {
  ks::TensorDataType dataType = ks::TensorDataType::kFloat32;
  std::vector<int64_t> shape;       // empty for a 0-d array (one element)
  std::vector<unsigned char> data;  // little-endian elements in C order
};

// Parses the bytes of an .npy file (format 1.0 or 2.0). Throws NpyError for a wrong magic string, an
// unknown version, a header that is not the dictionary NumPy writes, Fortran order, a big-endian or
// unsupported dtype, or data whose length differs from what the shape needs.
NpyArray parseNpy(const std::string& bytes);

// The bytes of a format 1.0 file holding `data` as `dataType` with `shape`. Throws NpyError when
// `data` does not hold exactly the bytes the shape needs.
std::string formatNpy(ks::TensorDataType dataType, const std::vector<int64_t>& shape, const unsigned char* data,
                      size_t byteCount);

// Whole-file helpers: NpyError also for a file that cannot be read or written (the message names it).
NpyArray readNpyFile(const std::string& path);
void writeNpyFile(const std::string& path, ks::TensorDataType dataType, const std::vector<int64_t>& shape,
                  const unsigned char* data, size_t byteCount);

// NumPy's dtype text for `dataType` ("<f4", "|u1", ...); throws NpyError for a value naming no type.
std::string npyDescr(ks::TensorDataType dataType);

}  // namespace tools
}  // namespace ks
