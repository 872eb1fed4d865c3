#include "ks_netclient/detail/ks_remote_session.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

#include <httplib.h>

#include "ks_core/ks_base64.h"
#include "ks_inference_request.h"
#include "ks_inference_response.h"
#include "ks_layouts_response.h"
#include "ks_net_load_request.h"
#include "ks_session_path.h"
#include "ks_session_reply.h"
#include "ks_status_message.h"

namespace ks {

namespace {

const char kJson[] = "application/json";

// The whole file, or nothing when it cannot be read: the server decides what an empty network means.
std::vector<unsigned char> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

RemoteSession::RemoteSession(std::shared_ptr<httplib::Client> client) : client_(std::move(client)) {}

RemoteSession::~RemoteSession() = default;

void RemoteSession::checkReply(const httplib::Result& result, const std::string& operation) {
  if (!result) {
    throw std::runtime_error(operation.empty() ? std::string("http request error")
                                               : "http request error during operation: " + operation);
  }
  StatusMessage status;
  if (!statusFromJson(status, result->body.c_str()) || status.status) return;
  std::string text = "Server returned error: " + status.text;
  if (!operation.empty()) text += "; operation: " + operation;
  throw std::runtime_error(text);
}

void RemoteSession::createSession() {
  const httplib::Result result = client_->Get("/session?action=new");
  checkReply(result, "create session");
  sessionReplyFromJson(sessionId_, result->body.c_str());
}

void RemoteSession::closeSession() {
  const httplib::Result result = client_->Get(sessionPath("/session?action=delete&session_id=", sessionId_));
  checkReply(result, "close session");
}

void RemoteSession::requestLayouts() {
  const httplib::Result result = client_->Get(sessionPath("/net?action=get_layouts&session_id=", sessionId_));
  checkReply(result, "request tensors layout");
  LayoutsResponse layouts;
  layoutsFromJson(layouts, result->body.c_str());
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
  {
    const std::vector<unsigned char> file = readFile(netPath);
    const unsigned size = static_cast<unsigned>(file.size());
    if (size != file.size()) throw std::length_error("Network file is too large");
    request.net.assign(estimateBase64Length(size) + 1, '\0');
    encodeBase64(file.data(), size, request.net.data(), static_cast<unsigned>(request.net.size()));
  }
  const std::string body = loadRequestToJson(request);
  request = NetLoadRequest();

  const httplib::Result result = client_->Post(sessionPath("/net?action=load&session_id=", sessionId_), body, kJson);
  checkReply(result, "upload network");
  requestLayouts();
}

std::vector<Tensor> RemoteSession::infer(const std::vector<Tensor>& inputs, unsigned int repetitions,
                                         InferenceStats* stats) {
  InferenceRequest request;
  request.input_tensors = inputs;
  request.repetitions_count = repetitions;
  const std::string body = inferenceRequestToJson(request);

  const httplib::Result result = client_->Post(sessionPath("/inference?session_id=", sessionId_), body, kJson);
  checkReply(result, "upload tensors for inference");
  InferenceResponse response;
  inferenceResponseFromJson(response, result->body.c_str());
  if (stats != nullptr) *stats = response.inference_stats;
  return std::move(response.output_tensors);
}

}  // namespace ks
