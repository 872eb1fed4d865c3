// The server session inside every ks::RemoteNetBackend: the HTTP client, the session identifier the server
// issued and the layouts of the loaded network. Installed only because the backend holds it by value; it
// is not part of the library's interface and none of it is exported.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ks_core/ks_backend_types.h"
#include "ks_core/ks_inference_stats.h"
#include "ks_core/ks_tensor.h"
#include "ks_core/ks_tensor_layout.h"

namespace httplib {
class Client;
}  // namespace httplib

namespace ks {

// Every operation is one request on the client; every reply passes checkReply (ks_reply_check.h) before
// anything is read from it. Failures are standard exceptions: std::runtime_error for a missing reply or an
// error the server reports, std::invalid_argument (from the codec) for a malformed reply. After any failure the
// session id and the layout lists hold what they held before. Nothing is retried, and nothing here is
// safe to call from several threads at once.
class RemoteSession {
 public:
  // Takes the client; sends nothing.
  explicit RemoteSession(std::shared_ptr<httplib::Client> client);
  ~RemoteSession();

  // "create session": GET /session?action=new; the reply's session_id becomes the session id.
  void createSession();
  // "close session": GET /session?action=delete&session_id=<id>. The local id is kept.
  void closeSession();
  // "request tensors layout": GET /net?action=get_layouts&session_id=<id>; both lists are replaced once
  // the whole reply has been read.
  void requestLayouts();
  // "upload network": POSTs the file at `netPath` (read whole; one that cannot be read is sent as an
  // empty network) with the names, key, cache directory and device choice, then requests the layouts.
  void uploadNetwork(const std::string& netPath, BackendId backendId, DeviceType deviceType, int deviceIndex,
                     const std::vector<std::string>& inputNames, const std::vector<std::string>& outputNames,
                     const std::string& key, const std::string& cacheDir);
  // "upload tensors for inference": POSTs the inputs and the repetition count and returns the output
  // tensors in reply order; copies the whole statistics record into `*stats` when `stats` is not null.
  std::vector<Tensor> infer(const std::vector<Tensor>& inputs, unsigned int repetitions, InferenceStats* stats);

  const std::vector<TensorLayout>& inputLayouts() const { return inputLayouts_; }
  const std::vector<TensorLayout>& outputLayouts() const { return outputLayouts_; }
  const std::string& sessionId() const { return sessionId_; }

 private:
  std::shared_ptr<httplib::Client> client_;
  std::string sessionId_;
  std::vector<TensorLayout> inputLayouts_;
  std::vector<TensorLayout> outputLayouts_;
};

}  // namespace ks
