#include "ks_netclient/ks_remote_net_backend.h"

#include <httplib.h>

#include "ks_core/ks_exception.h"
#include "ks_exceptions_helpers.h"

namespace ks {

namespace {

const char kFile[] = "src/ks_inference_client/ks_remote_net_backend";

const TensorLayout& layoutAt(const std::vector<TensorLayout>& layouts, unsigned int index, const char* function,
                             const char* kind) {
  if (index >= layouts.size()) {
    throw Exception(nullptr, Status::kOutOfRange, function, kFile, __LINE__,
                    "%s layout index %u is out of range: the loaded network has %u", kind, index,
                    static_cast<unsigned>(layouts.size()));
  }
  return layouts[index];
}

}  // namespace

RemoteNetBackend::RemoteNetBackend(const std::string& host, int port, BackendId backendId, DeviceType deviceType,
                                   int deviceIndex)
    : session_(std::make_shared<httplib::Client>(host, port)),
      backendId_(backendId),
      deviceType_(deviceType),
      deviceIndex_(deviceIndex) {
  rethrow_std_to_ks([this] { session_.createSession(); });
}

RemoteNetBackend::~RemoteNetBackend() {
  try {
    session_.closeSession();
  } catch (...) {
    // Closing is a courtesy to the server; a destructor has nobody to report to.
  }
}

void RemoteNetBackend::load(const std::string& netPath, const std::vector<std::string>& inputNames,
                            const std::vector<std::string>& outputNames, const std::string& key,
                            const std::string& cacheDir) {
  inputNames_ = inputNames;
  outputNames_ = outputNames;
  rethrow_std_to_ks([&] {
    session_.uploadNetwork(netPath, backendId_, deviceType_, deviceIndex_, inputNames, outputNames, key, cacheDir);
  });
}

const std::vector<std::string>& RemoteNetBackend::inputNames() const { return inputNames_; }

const std::vector<std::string>& RemoteNetBackend::outputNames() const { return outputNames_; }

TensorLayout RemoteNetBackend::srcLayout(unsigned int index) const {
  return layoutAt(session_.inputLayouts(), index, "srcLayout", "Input");
}

TensorLayout RemoteNetBackend::dstLayout(unsigned int index) const {
  return layoutAt(session_.outputLayouts(), index, "dstLayout", "Output");
}

void RemoteNetBackend::forward(const std::vector<Tensor>& inputs, std::vector<Tensor>& outputs) {
  rethrow_std_to_ks([&] { outputs = session_.infer(inputs, 1, nullptr); });
}

void RemoteNetBackend::forwardStats(const std::vector<Tensor>& inputs, std::vector<Tensor>& outputs,
                                    unsigned int repetitions, InferenceStats& stats) {
  rethrow_std_to_ks([&] { outputs = session_.infer(inputs, repetitions, &stats); });
}

void RemoteNetBackend::setIntProperty(int, int) {
  throw Exception(nullptr, Status::kNotSupported, "setIntProperty", kFile, __LINE__,
                  "Remote net backend does not support properties for now");
}

int RemoteNetBackend::getIntProperty(int) const {
  throw Exception(nullptr, Status::kNotSupported, "getIntProperty", kFile, __LINE__,
                  "Remote net backend does not support properties for now");
}

DeviceContext RemoteNetBackend::getDeviceContext() const { return DeviceContext(); }

}  // namespace ks
