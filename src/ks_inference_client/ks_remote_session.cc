#include "ks_netclient/detail/ks_remote_session.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

#include <httplib.h>

#include "ks_core/ks_base64.h"
#include "ks_json_io.h"
#include "ks_inference_request.h"
#include "ks_inference_response.h"
#include "ks_layouts_response.h"
#include "ks_net_load_request.h"
#include "ks_network_upload.h"
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

// The reply check on a body parsed already: throws when it is a status message whose status is false.
void checkStatus(const rapidjson::Value& root, const std::string& operation) {
  StatusMessage status;
  if (!statusFromJson(status, root) || status.status) return;
  std::string text = "Server returned error: " + status.text;
  if (!operation.empty()) text += "; operation: " + operation;
  throw std::runtime_error(text);
}

void checkResult(const httplib::Result& result, const std::string& operation) {
  if (!result) {
    throw std::runtime_error(operation.empty() ? std::string("http request error")
                                               : "http request error during operation: " + operation);
  }
}

// A reply that passed the check, parsed once in place: the check and the reader share one parse, and a
// large body (output tensors) is neither parsed twice nor copied into the document.
class CheckedReply {
 public:
  CheckedReply(httplib::Result& result, const std::string& operation) {
    checkResult(result, operation);
    root_ = &json::parseObjectInPlace(document_, &result->body[0]);
    checkStatus(*root_, operation);
  }
  const rapidjson::Value& root() const { return *root_; }

 private:
  rapidjson::Document document_;
  const rapidjson::Value* root_;
};

// Posts `body` without handing httplib a copy of it: the text is streamed from where it is.
httplib::Result postJson(httplib::Client& client, const std::string& path, const std::string& body) {
  return client.Post(
      path.c_str(), body.size(),
      [&body](size_t offset, size_t length, httplib::DataSink& sink) {
        return sink.write(body.data() + offset, length);
      },
      kJson);
}

}  // namespace

RemoteSession::RemoteSession(std::shared_ptr<httplib::Client> client) : client_(std::move(client)) {}

RemoteSession::~RemoteSession() = default;

void RemoteSession::checkReply(const httplib::Result& result, const std::string& operation) {
  checkResult(result, operation);
  const json::ParsedMessage message(result->body.c_str());
  checkStatus(message.root(), operation);
}

void RemoteSession::createSession() {
  httplib::Result result = client_->Get("/session?action=new");
  const CheckedReply reply(result, "create session");
  sessionReplyFromJson(sessionId_, reply.root());
}

void RemoteSession::closeSession() {
  const httplib::Result result = client_->Get(sessionPath("/session?action=delete&session_id=", sessionId_));
  checkReply(result, "close session");
}

void RemoteSession::requestLayouts() {
  httplib::Result result = client_->Get(sessionPath("/net?action=get_layouts&session_id=", sessionId_));
  const CheckedReply reply(result, "request tensors layout");
  LayoutsResponse layouts;
  layoutsFromJson(layouts, reply.root());
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
  std::vector<char> chunk(64 * 1024);
  const httplib::Result result = client_->Post(
      sessionPath("/net?action=load&session_id=", sessionId_).c_str(), upload.size(),
      [&](size_t offset, size_t length, httplib::DataSink& sink) {
        return sink.write(chunk.data(), upload.read(offset, chunk.data(), std::min(length, chunk.size())));
      },
      kJson);
  checkReply(result, "upload network");
  requestLayouts();
}

std::vector<Tensor> RemoteSession::infer(const std::vector<Tensor>& inputs, unsigned int repetitions,
                                         InferenceStats* stats) {
  InferenceRequest request;
  request.input_tensors = inputs;
  request.repetitions_count = repetitions;
  const std::string body = inferenceRequestToJson(request);

  httplib::Result result = postJson(*client_, sessionPath("/inference?session_id=", sessionId_), body);
  const CheckedReply reply(result, "upload tensors for inference");
  InferenceResponse response;
  inferenceResponseFromJson(response, reply.root());
  if (stats != nullptr) *stats = response.inference_stats;
  return std::move(response.output_tensors);
}

}  // namespace ks
