#include "ks_inference_service.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "ks_core/ks_backend_types.h"
#include "ks_core/ks_base64.h"
#include "ks_core/ks_exception.h"
#include "ks_core/ks_inference_stats.h"
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
const char kNetworkDamaged[] =
    "the session's network was damaged in the network store the server nodes share, and has been removed: load "
    "it again";
const char kNetworkMissing[] =
    "the session's network is not in the network store the server nodes share (it did not fit, or was lost): "
    "load it again";
const char kStoreUnreachable[] = "the session is not held by this server node, and the session store cannot be reached";

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
    // The core library's words for a fifth dimension are about its container, not about the request.
    if (e.status() == Status::kCapacityExceeded) {
      throw Refusal(400, "a tensor's layout has more than 4 dimensions; a layout holds at most 4");
    }
    throw Refusal(400, e.what());
  }
}

// The engine's refusals and failures as replies: its text, with our wording added once.
Refusal refusalOf(const EngineError& e) {
  switch (e.kind()) {
    case EngineError::Kind::kBadNetwork: return Refusal(400, std::string("cannot load network: ") + e.what());
    case EngineError::Kind::kBadRequest: return Refusal(400, e.what());
    case EngineError::Kind::kOverBudget: return Refusal(413, e.what());
    // The network and the inputs are both the client's: an engine that refuses to run them refuses the
    // request (a shape the network cannot take), which is well formed but cannot be served.
    case EngineError::Kind::kRunFailed: return Refusal(422, std::string("inference failed: ") + e.what());
    case EngineError::Kind::kInterrupted: return Refusal(503, std::string("inference stopped: ") + e.what());
    case EngineError::Kind::kWorkerLost: return Refusal(500, std::string("inference failed: ") + e.what());
    // Both pass: a quarantine ends, memory is given back.
    case EngineError::Kind::kQuarantined:
    case EngineError::Kind::kNoRoom: return Refusal(503, e.what());
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
      networks_(options_.engine),
      crashes_(options_.engine.quarantineFor) {
  if (!options_.cacheDir.empty()) cache_ = std::make_unique<NetworkCache>(options_.cacheDir, options_.cacheMaxBytes);
  if (options_.sessionStore.empty() != options_.networkStore.empty()) {
    throw std::invalid_argument("a shared session store needs both the Redis address and the network folder");
  }
  if (!options_.sessionStore.empty()) {
    SharedSessionsOptions shared;
    shared.redis.address = RedisAddress::parse(options_.sessionStore);
    shared.redis.timeout = options_.storeTimeout;
    shared.networkFolder = options_.networkStore;
    shared.networkMaxBytes = options_.networkStoreMaxBytes;
    shared.idleTimeout = options_.idleTimeout;
    shared_ = std::make_unique<SharedSessions>(std::move(shared));
  }
}

size_t InferenceService::sessionsPerClient() const {
  if (options_.clientSharePercent >= 100) return 0;
  return std::max<size_t>(1, sessions_.maxSessions() * options_.clientSharePercent / 100);
}

Refusal InferenceService::tooManySessions() const {
  return Refusal(503,
                 "too many sessions: the server allows " + std::to_string(sessions_.maxSessions()) + " open sessions");
}

std::shared_ptr<Session> InferenceService::sessionOf(const std::string* sessionId, bool replacing) {
  const std::string& id = requireSessionId(sessionId);
  std::shared_ptr<Session> session = sessions_.find(id);
  if (!shared_) {
    if (!session) throw Refusal(404, kUnknownSession);
    return session;
  }
  // Any node serves any session: one another node opened is taken from the store.
  if (!session) {
    session = sessions_.adopt(id);
    if (!session) throw tooManySessions();
  }
  synchronize(id, session, replacing);
  return session;
}

void InferenceService::synchronize(const std::string& id, const std::shared_ptr<Session>& session, bool replacing) {
  std::string stored;
  // True when this node's copy may serve the request as it is.
  auto current = [&] {
    switch (shared_->check(id, *session, &stored)) {
      case SharedSessions::Standing::kCurrent: return true;
      case SharedSessions::Standing::kChanged: return replacing;
      case SharedSessions::Standing::kGone: sessions_.forget(id, session); throw Refusal(404, kUnknownSession);
      case SharedSessions::Standing::kUnreachable:
        // The store is away: the sessions held here go on as they are.
        if (SharedSessions::known(*session)) return true;
        sessions_.forget(id, session);
        throw Refusal(503, kStoreUnreachable);
    }
    return false;
  };
  if (current()) return;
  // One change at a time, and the store asked again once it is this request's turn: a load here or an
  // earlier request may have brought this copy in line meanwhile.
  std::lock_guard<std::mutex> applying(session->share.applying);
  if (current()) return;
  apply(id, session, stored);
}

void InferenceService::apply(const std::string& id, const std::shared_ptr<Session>& session,
                             const std::string& stored) {
  const auto start = std::chrono::steady_clock::now();
  const bool takeover = !SharedSessions::known(*session);
  // A copy that cannot be brought in line is not kept: the next request tries again from the store.
  auto unknown = [&] {
    sessions_.forget(id, session);
    return Refusal(404, kUnknownSession);
  };
  const std::optional<SessionRecord> record = SessionRecord::parse(stored);
  if (!record) throw unknown();
  std::shared_ptr<const InferenceEngine> engine;
  if (!record->network.empty()) {
    Sha256Digest digest{};
    digestFromHex(record->network, digest);
    try {
      std::shared_ptr<const HostedNetwork> network = networks_.held(digest);
      if (!network) {
        NetworkStore::Fault fault = NetworkStore::Fault::kMissing;
        std::optional<SharedMemory> bytes = shared_->network(record->network, &fault);
        if (!bytes) {
          // The session is there, its network is not: the client can mend that with a load.
          sessions_.forget(id, session);
          throw Refusal(409, fault == NetworkStore::Fault::kDamaged ? kNetworkDamaged : kNetworkMissing);
        }
        network = networks_.load(std::move(*bytes));
      }
      engine = std::make_shared<const InferenceEngine>(network, record->inputs, record->outputs);
    } catch (const EngineError& e) {
      sessions_.forget(id, session);
      throw refusalOf(e);
    }
  }
  session->setEngine(std::move(engine));
  shared_->applied(*session, stored);
  if (takeover) {
    shared_->noteTakeover(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}

std::string InferenceService::openSession(std::string* issued, const std::string& client) {
  const size_t perClient = sessionsPerClient();
  const std::optional<std::string> id = sessions_.open(client, perClient);
  if (!id && !client.empty() && perClient != 0 && sessions_.heldBy(client) >= perClient) {
    throw Refusal(503, "too many sessions for one client: each client address may hold " + std::to_string(perClient) +
                           " of this server's " + std::to_string(sessions_.maxSessions()) + " sessions");
  }
  if (!id) throw tooManySessions();
  if (shared_) {
    // Written before the client learns the id, so any node knows it from the first request on.
    if (const std::shared_ptr<Session> session = sessions_.find(*id)) shared_->opened(*id, *session);
  }
  if (issued != nullptr) *issued = *id;
  return sessionReplyToJson(*id);
}

std::string InferenceService::closeSession(const std::string* sessionId) {
  const std::string& id = requireSessionId(sessionId);
  const bool here = sessions_.close(id);
  bool stored = false;
  if (shared_) {
    try {
      stored = shared_->closed(id);
    } catch (const StoreUnavailable&) {
      // Closed here; the record outlives it until its idle timeout.
      if (!here) throw Refusal(503, kStoreUnreachable);
    }
  }
  if (!here && !stored) throw Refusal(404, kUnknownSession);
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

std::string InferenceService::load(const std::string* sessionId, char* body, std::string* note) {
  // What the session held before does not matter: the load replaces it.
  const std::shared_ptr<Session> session = sessionOf(sessionId, true);
  NetLoadRequest request;
  readMessage(body, [&](const rapidjson::Value& root) { loadRequestFromJson(request, root); });
  checkDevice(request);
  if (cache_ && request.key.size() > NetworkCache::kMaxKeyBytes) {
    throw Refusal(400, "key is longer than " + std::to_string(NetworkCache::kMaxKeyBytes) + " bytes");
  }
  SharedMemory bytes = networkBytes(request.net.data(), request.key);
  // The network's bytes stay with the server for the worker processes to come; the request's text need
  // not wait for the load.
  std::vector<char>().swap(request.net);

  // A load and a change taken from the store apply one at a time.
  std::unique_lock<std::mutex> applying;
  if (shared_) applying = std::unique_lock<std::mutex>(session->share.applying);
  std::shared_ptr<const InferenceEngine> engine;
  std::shared_ptr<const HostedNetwork> network;
  try {
    network = networks_.load(std::move(bytes));
    engine = std::make_shared<const InferenceEngine>(network, request.input_tensors, request.output_tensors);
  } catch (const EngineError& e) {
    // A worker that dies while loading a network has been killed by that network.
    if (e.kind() == EngineError::Kind::kWorkerLost) {
      throw Refusal(400, std::string("cannot load network: ") + e.what());
    }
    throw refusalOf(e);
  }
  // Only networks that load are worth keeping.
  if (cache_ && !request.key.empty()) cache_->store(request.key, network->bytes());
  if (note != nullptr) *note = network->changes();
  if (shared_) shared_->loaded(*sessionId, *session, *network, request.input_tensors, request.output_tensors);
  session->setEngine(std::move(engine));
  return statusToJson(StatusMessage{true, ""});
}

SharedMemory InferenceService::networkBytes(const char* base64, const std::string& key) {
  const size_t length = base64 == nullptr ? 0 : std::strlen(base64);
  if (length == 0) {
    const std::string cached = cache_ ? cache_->find(key) : std::string();
    if (cached.empty()) {
      throw Refusal(400, key.empty() ? "empty network" : "empty network, and no network is cached under the key given");
    }
    SharedMemory bytes = SharedMemory::createUnsealed("ks-network", cached.size());
    std::memcpy(bytes.data(), cached.data(), cached.size());
    return bytes;
  }
  // Decoded straight into the region the workers will read, cut to the decoded length.
  SharedMemory bytes = SharedMemory::createUnsealed("ks-network", length / 4 * 3);
  const Base64Decoded decoded = decodeBase64To(base64, length, bytes.data(), bytes.size());
  if (!decoded.ok) throw Refusal(400, "network is not valid Base64");
  if (decoded.size == 0) throw Refusal(400, "empty network");
  if (decoded.size != bytes.size()) bytes.truncate(decoded.size);
  return bytes;
}

void InferenceService::checkRepetitions(uint32_t repetitions) const {
  if (repetitions > options_.maxRepetitions) {
    throw Refusal(400, "repetitions_count " + std::to_string(repetitions) + " is above the limit of " +
                           std::to_string(options_.maxRepetitions));
  }
}

std::shared_ptr<const InferenceEngine> InferenceService::admit(const std::string* sessionId, char* body) {
  const std::shared_ptr<Session> session = sessionOf(sessionId);
  if (const std::optional<std::string> barred = crashes_.refusal(*sessionId)) throw Refusal(429, *barred);
  std::shared_ptr<const InferenceEngine> engine = session->engine();
  // The body is read only once a network is known to be loaded: its tensors are decoded straight into
  // the memory of the worker that will run them.
  if (!engine) {
    InferenceRequest request;
    readMessage(body, [&](const rapidjson::Value& root) { inferenceRequestFromJson(request, root); });
    checkRepetitions(request.repetitions_count);
    throw Refusal(409, "no network loaded");
  }
  return engine;
}

uint32_t InferenceService::place(char* body, InferenceEngine::Run& run) const {
  std::vector<TensorLayout> layouts;
  uint32_t repetitions = 1;
  readMessage(body, [&](const rapidjson::Value& root) { inferenceRequestFromJson(layouts, repetitions, root, run); });
  checkRepetitions(repetitions);
  return repetitions;
}

std::string InferenceService::answer(const InferenceEngine::Run& run, double milliseconds, uint32_t repetitions) {
  // With 0 repetitions the network ran once for the outputs, untimed: duration 0 over a count of 0.
  InferenceStats stats;
  stats.hasInfo = true;
  stats.duration = static_cast<float>(milliseconds);
  stats.repetitionsCount = repetitions;
  return inferenceResponseToJson(run.outputs(), stats);
}

Refusal InferenceService::refusal(std::exception_ptr error, const std::string& sessionId,
                                  const std::string& clientAddress, std::string* note) {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const RunCrashed& e) {
    // "ip:port", or "[ip6]:port": the port changes with every connection.
    const std::string address = clientAddress.substr(0, clientAddress.rfind(':'));
    const unsigned fromAddress = crashes_.note(sessionId, address);
    if (note != nullptr) {
      *note = "its inputs ended the engine process alone; " + std::to_string(fromAddress) +
              " such runs from this address within " + std::to_string(options_.engine.quarantineFor.count()) + " s";
    }
    return refusalOf(e);
  } catch (const EngineError& e) {
    return refusalOf(e);
  } catch (const Refusal& e) {
    return e;
  }
}

std::string InferenceService::infer(const std::string* sessionId, char* body, RunControl* control,
                                    double* engineSeconds, const std::string& clientAddress, std::string* note) {
  const std::shared_ptr<const InferenceEngine> engine = admit(sessionId, body);
  const auto start = std::chrono::steady_clock::now();
  auto engineTime = [&] {
    if (engineSeconds != nullptr) {
      *engineSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
  };
  try {
    InferenceEngine::Run run = engine->begin();
    const uint32_t repetitions = place(body, run);
    const double milliseconds =
        run.execute(repetitions, RunLimits{options_.engine.inferenceMemoryBytes, control, *sessionId});
    engineTime();
    return answer(run, milliseconds, repetitions);
  } catch (const EngineError&) {
    engineTime();
    throw refusal(std::current_exception(), *sessionId, clientAddress, note);
  }
}

}  // namespace server
}  // namespace ks
