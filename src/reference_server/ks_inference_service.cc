#include "ks_inference_service.h"

#include <chrono>
#include <cstring>
#include <utility>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "ks_core/ks_backend_types.h"
#include "ks_core/ks_base64.h"
#include "ks_core/ks_exception.h"
#include "ks_engine_error.h"
#include "ks_inference_request.h"
#include "ks_inference_response.h"
#include "ks_json_io.h"
#include "ks_layouts_response.h"
#include "ks_net_load_request.h"
#include "ks_session_reply.h"
#include "ks_status_message.h"

namespace ks {
namespace server {
namespace {

const char kUnknownSession[] = "unknown session: it was never opened, was closed or has expired";

// The session_id parameter every request but "create session" carries.
const std::string& requireSessionId(const std::string* sessionId) {
  if (sessionId == nullptr) throw Refusal(400, "missing session_id");
  return *sessionId;
}

// Parses a request body in place and hands its root object to `read`, a codec reader; what the parser or
// the reader rejects is the client's fault.
template <typename Read>
void readMessage(char* body, Read&& read) {
  rapidjson::Document document;
  const rapidjson::Value& root = json::parseObjectInPlace(document, body);
  if (document.HasParseError()) {
    throw Refusal(400,
                  std::string("the request body is not JSON: ") +
                      rapidjson::GetParseError_En(document.GetParseError()) + " (at byte " +
                      std::to_string(document.GetErrorOffset()) + ")",
                  true);
  }
  try {
    read(root);
  } catch (const std::invalid_argument& e) {
    throw Refusal(400, e.what());
  } catch (const Exception& e) {
    throw Refusal(400, e.what());
  }
}

// The engine's refusals and failures as replies: its text, with our wording added once.
Refusal refusalOf(const EngineError& e) {
  switch (e.kind()) {
    case EngineError::Kind::kBadNetwork: return Refusal(400, std::string("cannot load network: ") + e.what());
    case EngineError::Kind::kBadRequest: return Refusal(400, e.what());
    case EngineError::Kind::kOverBudget: return Refusal(413, e.what());
    case EngineError::Kind::kRunFailed: return Refusal(500, std::string("inference failed: ") + e.what());
    case EngineError::Kind::kInterrupted: return Refusal(503, std::string("inference stopped: ") + e.what());
  }
  return Refusal(500, e.what());
}

// This server runs networks on its one CPU only.
void checkDevice(const NetLoadRequest& request) {
  if (request.backend != static_cast<int32_t>(BackendId::kCpu)) {
    throw Refusal(400, "backend " + std::to_string(request.backend) +
                           " is not supported: this server runs networks on the CPU backend (0)");
  }
  if (request.device_type != static_cast<int32_t>(DeviceType::kCpu)) {
    throw Refusal(400, "device type " + std::to_string(request.device_type) +
                           " is not supported: this server has a CPU device (0) only");
  }
  if (request.device_index != 0 && request.device_index != -1) {
    throw Refusal(400, "device index " + std::to_string(request.device_index) +
                           " is not supported: this server has one device (index 0, or -1 for the default)");
  }
}

}  // namespace

InferenceService::InferenceService(InferenceServiceOptions options)
    : options_(std::move(options)),
      sessions_(options_.maxSessions, options_.idleTimeout, options_.nodeName),
      networks_(options_.networkMemoryBytes, options_.totalNetworkMemoryBytes) {
  if (!options_.cacheDir.empty()) cache_ = std::make_unique<NetworkCache>(options_.cacheDir, options_.cacheMaxBytes);
}

std::shared_ptr<Session> InferenceService::sessionOf(const std::string* sessionId) {
  std::shared_ptr<Session> session = sessions_.find(requireSessionId(sessionId));
  if (!session) throw Refusal(404, kUnknownSession);
  return session;
}

std::string InferenceService::openSession(std::string* issued) {
  const std::optional<std::string> id = sessions_.open();
  if (!id) {
    throw Refusal(503,
                  "too many sessions: the server allows " + std::to_string(sessions_.maxSessions()) + " open sessions");
  }
  if (issued != nullptr) *issued = *id;
  return sessionReplyToJson(*id);
}

std::string InferenceService::closeSession(const std::string* sessionId) {
  if (!sessions_.close(requireSessionId(sessionId))) throw Refusal(404, kUnknownSession);
  return statusToJson(StatusMessage{true, ""});
}

std::string InferenceService::layouts(const std::string* sessionId) {
  const std::shared_ptr<Session> session = sessionOf(sessionId);
  const std::shared_ptr<const InferenceEngine> engine = session->engine();
  if (!engine) throw Refusal(409, "no network loaded");
  LayoutsResponse reply;
  reply.input_layouts = engine->inputLayouts();
  reply.output_layouts = engine->outputLayouts();
  return layoutsToJson(reply);
}

std::string InferenceService::load(const std::string* sessionId, char* body) {
  const std::shared_ptr<Session> session = sessionOf(sessionId);
  NetLoadRequest request;
  readMessage(body, [&](const rapidjson::Value& root) { loadRequestFromJson(request, root); });
  checkDevice(request);
  if (cache_ && request.key.size() > NetworkCache::kMaxKeyBytes) {
    throw Refusal(400, "key is longer than " + std::to_string(NetworkCache::kMaxKeyBytes) + " bytes");
  }
  const std::string bytes = networkBytes(request.net.data(), request.key);

  std::shared_ptr<const InferenceEngine> engine;
  try {
    engine =
        std::make_shared<const InferenceEngine>(networks_.load(bytes), request.input_tensors, request.output_tensors);
  } catch (const EngineError& e) {
    throw refusalOf(e);
  }
  // Only networks that load are worth keeping.
  if (cache_ && !request.key.empty()) cache_->store(request.key, bytes);
  session->setEngine(std::move(engine));
  return statusToJson(StatusMessage{true, ""});
}

std::string InferenceService::networkBytes(const char* base64, const std::string& key) {
  const size_t length = base64 == nullptr ? 0 : std::strlen(base64);
  std::string bytes(length / 4 * 3, '\0');
  const Base64Decoded decoded =
      decodeBase64To(base64, length, reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size());
  if (!decoded.ok) throw Refusal(400, "network is not valid Base64");
  bytes.resize(decoded.size);
  if (!bytes.empty()) return bytes;
  if (cache_) bytes = cache_->find(key);
  if (bytes.empty()) {
    throw Refusal(400, key.empty() ? "empty network" : "empty network, and no network is cached under the key given");
  }
  return bytes;
}

std::string InferenceService::infer(const std::string* sessionId, char* body, RunControl* control,
                                    double* engineSeconds) {
  const std::shared_ptr<Session> session = sessionOf(sessionId);
  InferenceRequest request;
  readMessage(body, [&](const rapidjson::Value& root) { inferenceRequestFromJson(request, root); });
  if (request.repetitions_count > options_.maxRepetitions) {
    throw Refusal(400, "repetitions_count " + std::to_string(request.repetitions_count) + " is above the limit of " +
                           std::to_string(options_.maxRepetitions));
  }
  const std::shared_ptr<const InferenceEngine> engine = session->engine();
  if (!engine) throw Refusal(409, "no network loaded");
  InferenceResponse reply;
  double milliseconds = 0.0;
  const auto start = std::chrono::steady_clock::now();
  try {
    milliseconds = engine->runTimed(request.input_tensors, request.repetitions_count, reply.output_tensors,
                                    RunLimits{options_.inferenceMemoryBytes, control});
  } catch (const EngineError& e) {
    if (engineSeconds != nullptr) {
      *engineSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    throw refusalOf(e);
  }
  if (engineSeconds != nullptr) {
    *engineSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  // With 0 repetitions the network ran once for the outputs, untimed: duration 0 over a count of 0.
  reply.inference_stats.hasInfo = true;
  reply.inference_stats.duration = static_cast<float>(milliseconds);
  reply.inference_stats.repetitionsCount = request.repetitions_count;
  return inferenceResponseToJson(reply);
}

}  // namespace server
}  // namespace ks
