#include "ks_core/ks_tensor.h"

namespace ks {

Tensor::Tensor(const TensorLayout& layout, const DeviceContext& context) { reuse(layout, context); }

void Tensor::reuse(const TensorLayout& layout, const DeviceContext& context) {
  const uint32_t bytes = layout.byteSize();
  const bool keep = buffer_ && buffer_.use_count() == 1 && buffer_->size() >= bytes && buffer_->context() == context;
  if (!keep) buffer_ = std::make_shared<Buffer>(bytes, context);
  layout_ = layout;
}

}  // namespace ks
