// A tensor: a layout and the buffer holding its bytes.
#pragma once

#include <memory>

#include "ks_core/ks_buffer.h"
#include "ks_core/ks_device_context.h"
#include "ks_core/ks_tensor_layout.h"

namespace ks {

// Copies share the buffer (a copy is cheap and sees the same bytes); reuse() gives a tensor bytes of its own.
class Tensor {
 public:
  // Default layout, no buffer.
  Tensor() = default;
  // `layout` with a new buffer of its byte size. Throws like reuse().
  explicit Tensor(const TensorLayout& layout, const DeviceContext& context = DeviceContext());

  const TensorLayout& layout() const { return layout_; }
  const std::shared_ptr<Buffer>& buffer() const { return buffer_; }

  // The buffer's bytes; null without a buffer.
  unsigned char* data() { return buffer_ ? buffer_->data() : nullptr; }
  const unsigned char* data() const { return buffer_ ? buffer_->data() : nullptr; }

  // Takes `layout` and makes sure the tensor owns a buffer of at least its byte size in `context`: the
  // present buffer is kept when it is large enough, in that context and not shared with another tensor;
  // otherwise a new one is allocated (its contents unspecified). Throws ks::Exception when the layout has
  // no byte size (see TensorLayout::byteSize) and std::bad_alloc; on either the tensor is unchanged.
  void reuse(const TensorLayout& layout, const DeviceContext& context);

 private:
  TensorLayout layout_;
  std::shared_ptr<Buffer> buffer_;
};

}  // namespace ks
