#include "ks_core/ks_buffer.h"

#include <utility>

namespace ks {

Buffer::Buffer() : size_(0) {}

Buffer::Buffer(size_t size, const DeviceContext& context) : size_(0), context_(context) { reset(size); }

Buffer::~Buffer() = default;

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::move(other.data_)), size_(other.size_), context_(std::move(other.context_)) {
  other.size_ = 0;
}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  data_ = std::move(other.data_);
  size_ = other.size_;
  context_ = std::move(other.context_);
  other.size_ = 0;
  return *this;
}

void Buffer::reset(size_t size) {
  // new[] without an initializer leaves the bytes as they come: tensors are filled right after, and a
  // zeroing pass would cost as much as the fill itself.
  std::unique_ptr<unsigned char[]> data(size ? new unsigned char[size] : nullptr);
  data_ = std::move(data);
  size_ = size;
}

void Buffer::shrink(size_t size) {
  if (size < size_) size_ = size;
}

}  // namespace ks
