// ks::RemoteNetBackend: a network backend that runs the network on a remote inference server.
#pragma once

#include <string>
#include <vector>

#include "ks_core/ks_backend_types.h"
#include "ks_core/ks_device_context.h"
#include "ks_core/ks_inference_stats.h"
#include "ks_core/ks_tensor.h"
#include "ks_core/ks_tensor_layout.h"
#include "ks_netclient/detail/ks_remote_session.h"
#include "ks_netclient/ks_net_backend.h"
#include "ks_netclient/ks_netclient_export.h"

namespace ks {

// One object is one session on one server: construction opens it, destruction closes it. Every
// operation is a synchronous HTTP request on the caller's thread; the object takes no lock, so one object
// must not be used from several threads at once (separate objects may). Not copyable or movable.
//
// Failures reach the caller as ks::Exception: status 12 when the server cannot be reached, does not
// answer in time (5 s without data while waiting for a reply) or reports an error, with the texts
// "http request error during operation: <operation>" and "Server returned error: <text>; operation:
// <operation>"; status 6 for a malformed reply; status 3 for a failure inside the core library.
class KS_NETCLIENT_API RemoteNetBackend : public INetBackend {
 public:
  // Opens a session on the server at `host`:`port`. The backend id, device type and device index are
  // what the server is to run the network on; they are sent with every load.
  RemoteNetBackend(const std::string& host, int port, BackendId backendId, DeviceType deviceType, int deviceIndex);
  // Asks the server to close the session; never throws, whatever happens to that request.
  ~RemoteNetBackend() override;

  RemoteNetBackend(const RemoteNetBackend&) = delete;
  RemoteNetBackend& operator=(const RemoteNetBackend&) = delete;

  // Uploads the network file (read whole; a file that cannot be read is sent as an empty network, and
  // the server's answer decides) and learns its layouts. The names are stored first and stay even when
  // the upload fails; the layouts are replaced only by a successful load.
  void load(const std::string& netPath, const std::vector<std::string>& inputNames,
            const std::vector<std::string>& outputNames, const std::string& key, const std::string& cacheDir) override;
  const std::vector<std::string>& inputNames() const override;
  const std::vector<std::string>& outputNames() const override;
  // Throws ks::Exception (status 5) for an index at or past the end of the list.
  TensorLayout srcLayout(unsigned int index) const override;
  TensorLayout dstLayout(unsigned int index) const override;
  // Runs the network once. `outputs` is replaced by the reply's tensors, or untouched on failure.
  void forward(const std::vector<Tensor>& inputs, std::vector<Tensor>& outputs) override;
  // Properties are not supported: both throw ks::Exception, status 8.
  void setIntProperty(int property, int value) override;
  int getIntProperty(int property) const override;
  // A new default context on every call.
  DeviceContext getDeviceContext() const override;

  // Runs the network `repetitions` times (0 is sent as it is) and reports the server's statistics;
  // a reply without statistics gives hasInfo false, duration 0 and a count of 0. `outputs` and `stats`
  // are untouched on failure.
  void forwardStats(const std::vector<Tensor>& inputs, std::vector<Tensor>& outputs, unsigned int repetitions,
                    InferenceStats& stats);

 private:
  RemoteSession session_;
  BackendId backendId_;
  DeviceType deviceType_;
  int deviceIndex_;
  std::vector<std::string> inputNames_;
  std::vector<std::string> outputNames_;
};

}  // namespace ks
