// Where a tensor's memory lives. Only the default context (host memory) exists in this build.
#pragma once

#include <memory>

namespace ks {

class DeviceContext {
 public:
  // The host context.
  DeviceContext() = default;

  // True for the host context.
  bool isDefault() const { return device_ == nullptr; }

  friend bool operator==(const DeviceContext& a, const DeviceContext& b) { return a.device_ == b.device_; }
  friend bool operator!=(const DeviceContext& a, const DeviceContext& b) { return !(a == b); }

 private:
  // Shared with every tensor and buffer made in this context; null for the host.
  std::shared_ptr<void> device_;
};

}  // namespace ks
