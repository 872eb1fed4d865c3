#include "ks_netclient/detail/ks_remote_session.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

#include <httplib.h>

#include "ks_core/ks_base64.h"
#include "ks_endpoints.h"
#include "ks_inference_request.h"
#include "ks_inference_response.h"
#include "ks_layouts_response.h"
#include "ks_net_load_request.h"
#include "ks_network_upload.h"
#include "ks_reply_check.h"
#include "ks_sigpipe_guard.h"

#include "ks_session_reply.h"

namespace ks {

namespace {

// The whole file, or nothing when it cannot be read: the server decides what an empty network means.
std::vector<unsigned char> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

RemoteSession::RemoteSession(std::shared_ptr<httplib::Client> client) : client_(std::move(client)) {}

RemoteSession::~RemoteSession() = default;

void RemoteSession::createSession() {
  const SigpipeGuard sigpipe;
  httplib::Result result = client_->Get(requestTarget(Endpoint::kSessionNew));
  rapidjson::Document document;
  sessionReplyFromJson(sessionId_, checkReply(result, "create session", document));
}

void RemoteSession::closeSession() {
  const SigpipeGuard sigpipe;
  httplib::Result result = client_->Get(requestTarget(Endpoint::kSessionDelete, sessionId_));
  rapidjson::Document document;
  checkReply(result, "close session", document);
}

void RemoteSession::requestLayouts() {
  const SigpipeGuard sigpipe;
  httplib::Result result = client_->Get(requestTarget(Endpoint::kGetLayouts, sessionId_));
  rapidjson::Document document;
  LayoutsResponse layouts;
  layoutsFromJson(layouts, checkReply(result, "request tensors layout", document));
  inputLayouts_ = std::move(layouts.input_layouts);
  outputLayouts_ = std::move(layouts.output_layouts);
}

void RemoteSession::uploadNetwork(const std::string& netPath, BackendId backendId, DeviceType deviceType,
                                  int deviceIndex, const std::vector<std::string>& inputNames,
                                  const std::vector<std::string>& outputNames, const std::string& key,
                                  const std::string& cacheDir) {
  NetLoadRequest request;
  request.input_tensors = inputNames;
  request.output_tensors = outputNames;
  request.key = key;
  request.cache_dir = cacheDir;
  request.backend = static_cast<int32_t>(backendId);
  request.device_type = static_cast<int32_t>(deviceType);
  request.device_index = deviceIndex;
  const std::vector<unsigned char> file = readFile(netPath);
  const unsigned size = static_cast<unsigned>(file.size());
  if (size != file.size()) throw std::length_error("Network file is too large");
  estimateBase64Length(size);  // refuses a file whose Base64 text would not fit in 32 bits

  // The message goes out as the codec writes it, but its Base64 text is encoded while it is sent.
  const NetworkUpload upload(loadRequestFrame(request), file);
  const SigpipeGuard sigpipe;
  httplib::Result result =
      postJson(*client_, requestTarget(Endpoint::kLoad, sessionId_), upload.size(),
               [&](size_t offset, char* out, size_t length) { return upload.read(offset, out, length); });
  rapidjson::Document document;
  checkReply(result, "upload network", document);
  requestLayouts();
}

std::vector<Tensor> RemoteSession::infer(const std::vector<Tensor>& inputs, unsigned int repetitions,
                                         InferenceStats* stats) {
  InferenceRequest request;
  request.input_tensors = inputs;
  request.repetitions_count = repetitions;
  const std::string body = inferenceRequestToJson(request);
  const SigpipeGuard sigpipe;

  httplib::Result result = postJson(*client_, requestTarget(Endpoint::kInference, sessionId_), body.size(),
                                    [&](size_t offset, char* out, size_t length) {
                                      std::memcpy(out, body.data() + offset, length);
                                      return length;
                                    });
  rapidjson::Document document;
  InferenceResponse response;
  inferenceResponseFromJson(response, checkReply(result, "upload tensors for inference", document));
  if (stats != nullptr) *stats = response.inference_stats;
  return std::move(response.output_tensors);
}

}  // namespace ks
