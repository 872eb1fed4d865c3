// The shape, element type and memory format of a tensor, and the byte size they imply.
#pragma once

#include <cstdint>
#include <string>

#include "ks_core/ks_static_vector.h"

namespace ks {

// Element types. The numeric values travel between peers and never change.
enum class TensorDataType : int32_t {
  kFloat32 = 0,  // 4 bytes
  kFloat16 = 1,  // 2 bytes
  kInt32 = 2,    // 4 bytes
  kInt16 = 3,    // 2 bytes
  kInt8 = 4,     // 1 byte
  kUInt8 = 5,    // 1 byte
  kInt64 = 6,    // 8 bytes
};

// Memory formats. The format names the order of the dimensions; it does not change the byte size.
enum class TensorFormat : int32_t {
  kPlain = 0,  // dimensions in the order given, no particular meaning
  kNchw = 1,   // batch, channels, height, width
  kNhwc = 2,   // batch, height, width, channels
};

// Order of colour channels for image tensors; kNone for everything else.
enum class TensorChannelOrder : int32_t {
  kNone = 0,
  kRgb = 1,
  kBgr = 2,
};

// Up to four signed dimensions.
using TensorSize = StaticVector<int32_t, 4>;

// Size in bytes of one element of `type`; 0 for a value that names no known type.
uint32_t elementSize(TensorDataType type);

// "float32", "float16", "int32", "int16", "int8", "uint8", "int64"; "type N" for a value that names no known
// type.
std::string dataTypeName(TensorDataType type);

// A value type. Any combination of values can be held (a peer may describe a layout we cannot use), but
// byteSize() only answers for a usable one: a known data type, no negative dimension and a byte size that
// fits in 32 bits. A layout without dimensions holds no data (byte size 0); a scalar is one dimension of 1.
class TensorLayout {
 public:
  // Float32, plain format, no dimensions.
  TensorLayout();

  // `size` holds the dimensions. `alignedSize` is the allocated extent of each dimension when the storage
  // is padded beyond `size` (empty when it is not); it is kept but does not enter the byte size.
  TensorLayout(TensorDataType dataType, TensorFormat format, const TensorSize& size, const TensorSize& alignedSize,
               TensorChannelOrder channelOrder);

  TensorDataType dataType() const { return dataType_; }
  TensorFormat format() const { return format_; }
  const TensorSize& size() const { return size_; }
  const TensorSize& alignedSize() const { return alignedSize_; }
  TensorChannelOrder channelOrder() const { return channelOrder_; }

  // Whether byteSize() answers without throwing.
  bool isValid() const { return valid_; }

  // Element count times element size. Throws ks::Exception (status kInvalidArgument) for an unknown data
  // type or a negative dimension, and (status kOutOfRange) when the size does not fit in 32 bits.
  uint32_t byteSize() const;

  friend bool operator==(const TensorLayout& a, const TensorLayout& b);
  friend bool operator!=(const TensorLayout& a, const TensorLayout& b) { return !(a == b); }

 private:
  TensorDataType dataType_;
  TensorFormat format_;
  TensorSize size_;
  TensorSize alignedSize_;
  TensorChannelOrder channelOrder_;
  // Derived from the fields above at construction, so byteSize() costs nothing on the hot path.
  bool valid_;
  uint32_t byteSize_;
};

// The data type and dimensions for messages: "float32 [1,3,8,8]".
std::string layoutText(const TensorLayout& layout);

}  // namespace ks
