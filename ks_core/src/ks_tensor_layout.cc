#include "ks_core/ks_tensor_layout.h"

namespace ks {

namespace {

const char kFile[] = "ks_core/src/ks_tensor_layout";

}  // namespace

uint32_t elementSize(TensorDataType type) {
  switch (type) {
    case TensorDataType::kInt8:
    case TensorDataType::kUInt8: return 1;
    case TensorDataType::kFloat16:
    case TensorDataType::kInt16: return 2;
    case TensorDataType::kFloat32:
    case TensorDataType::kInt32: return 4;
    case TensorDataType::kInt64: return 8;
  }
  return 0;
}

std::string dataTypeName(TensorDataType type) {
  switch (type) {
    case TensorDataType::kFloat32: return "float32";
    case TensorDataType::kFloat16: return "float16";
    case TensorDataType::kInt32: return "int32";
    case TensorDataType::kInt16: return "int16";
    case TensorDataType::kInt8: return "int8";
    case TensorDataType::kUInt8: return "uint8";
    case TensorDataType::kInt64: return "int64";
  }
  return "type " + std::to_string(static_cast<int32_t>(type));
}

std::string layoutText(const TensorLayout& layout) {
  std::string text = dataTypeName(layout.dataType()) + " [";
  for (uint32_t i = 0; i < layout.size().size(); ++i) {
    if (i != 0) text += ",";
    text += std::to_string(layout.size()[i]);
  }
  return text + "]";
}

TensorLayout::TensorLayout()
    : TensorLayout(TensorDataType::kFloat32, TensorFormat::kPlain, TensorSize(), TensorSize(),
                   TensorChannelOrder::kNone) {}

TensorLayout::TensorLayout(TensorDataType dataType, TensorFormat format, const TensorSize& size,
                           const TensorSize& alignedSize, TensorChannelOrder channelOrder)
    : dataType_(dataType),
      format_(format),
      size_(size),
      alignedSize_(alignedSize),
      channelOrder_(channelOrder),
      valid_(false),
      byteSize_(0) {
  uint64_t bytes = elementSize(dataType);
  if (bytes == 0) return;
  if (size.empty()) bytes = 0;
  for (int32_t dimension : size) {
    if (dimension < 0) return;
    // Both factors are below 2^32, so the product cannot wrap before the check.
    bytes *= static_cast<uint32_t>(dimension);
    if (bytes > UINT32_MAX) return;
  }
  valid_ = true;
  byteSize_ = static_cast<uint32_t>(bytes);
}

uint32_t TensorLayout::byteSize() const {
  if (valid_) return byteSize_;
  if (elementSize(dataType_) == 0) {
    throw Exception(nullptr, Status::kInvalidArgument, "byteSize", kFile, __LINE__,
                    "Tensor layout has unknown data type %d", static_cast<int>(dataType_));
  }
  for (int32_t dimension : size_) {
    if (dimension < 0) {
      throw Exception(nullptr, Status::kInvalidArgument, "byteSize", kFile, __LINE__,
                      "Tensor layout has negative dimension %d", static_cast<int>(dimension));
    }
  }
  throw Exception(nullptr, Status::kOutOfRange, "byteSize", kFile, __LINE__,
                  "Tensor layout's byte size does not fit in 32 bits");
}

bool operator==(const TensorLayout& a, const TensorLayout& b) {
  return a.dataType_ == b.dataType_ && a.format_ == b.format_ && a.size_ == b.size_ &&
         a.alignedSize_ == b.alignedSize_ && a.channelOrder_ == b.channelOrder_;
}

}  // namespace ks
