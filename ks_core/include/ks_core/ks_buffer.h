// Bytes owned by a tensor, in the memory of a device context.
#pragma once

#include <cstddef>
#include <memory>

#include "ks_core/ks_device_context.h"

namespace ks {

// Owns its bytes; moves but does not copy. The contents of newly allocated bytes are unspecified.
class Buffer {
 public:
  // No bytes; data() is null.
  Buffer();
  // `size` bytes in `context`. Throws std::bad_alloc when the memory cannot be had.
  explicit Buffer(size_t size, const DeviceContext& context = DeviceContext());
  ~Buffer();

  Buffer(Buffer&&) noexcept;
  Buffer& operator=(Buffer&&) noexcept;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  unsigned char* data() { return data_.get(); }
  const unsigned char* data() const { return data_.get(); }
  size_t size() const { return size_; }
  const DeviceContext& context() const { return context_; }

  // Replaces the contents by `size` unspecified bytes (none when 0).
  void reset(size_t size);
  // Shortens the visible size to `size`, which must not exceed size(); keeps the bytes.
  void shrink(size_t size);

 private:
  std::unique_ptr<unsigned char[]> data_;
  size_t size_;
  DeviceContext context_;
};

}  // namespace ks
