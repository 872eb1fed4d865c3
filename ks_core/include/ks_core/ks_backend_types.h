// Identifiers of compute backends and device kinds, as hosts pass them to a network backend.
#pragma once

#include <cstdint>

namespace ks {

// The numeric values travel between peers and never change.
enum class BackendId : int32_t {
  kCpu = 0,  // portable CPU kernels
  kOpenCl = 1,
  kVulkan = 2,
  kRemote = 3,  // a network run on an inference server
};

enum class DeviceType : int32_t {
  kCpu = 0,
  kGpu = 1,
  kNpu = 2,
};

}  // namespace ks
