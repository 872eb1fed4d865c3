// The framework's network-backend interface: load a network, describe its tensors, run it.
#pragma once

#include <string>
#include <vector>

#include "ks_core/ks_device_context.h"
#include "ks_core/ks_tensor.h"
#include "ks_core/ks_tensor_layout.h"

namespace ks {

// An abstract interface without data. The order of the operations is the order of the virtual table
// slots, which backends built separately from the framework rely on: never reorder or insert.
class INetBackend {
 public:
  // Loads the network file at `netPath`, to be fed through `inputNames` and read through `outputNames`.
  // `key` and `cacheDir` are passed to the backend untouched.
  virtual void load(const std::string& netPath, const std::vector<std::string>& inputNames,
                    const std::vector<std::string>& outputNames, const std::string& key,
                    const std::string& cacheDir) = 0;
  virtual const std::vector<std::string>& inputNames() const = 0;
  virtual const std::vector<std::string>& outputNames() const = 0;
  // Layout of input (src) or output (dst) number `index` of the loaded network.
  virtual TensorLayout srcLayout(unsigned int index) const = 0;
  virtual TensorLayout dstLayout(unsigned int index) const = 0;
  // Runs the network once on `inputs`; `outputs` is replaced by the network's outputs.
  virtual void forward(const std::vector<Tensor>& inputs, std::vector<Tensor>& outputs) = 0;
  virtual void setIntProperty(int property, int value) = 0;
  virtual int getIntProperty(int property) const = 0;
  virtual DeviceContext getDeviceContext() const = 0;
  virtual ~INetBackend() = default;
};

}  // namespace ks
