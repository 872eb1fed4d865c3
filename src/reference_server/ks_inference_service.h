// What the reference server does for each request of the protocol, apart from HTTP: sessions, networks
// and inferences, each answered with the reply's JSON text or refused with a status and a sentence.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "ks_crash_ledger.h"
#include "ks_network_cache.h"
#include "ks_network_registry.h"
#include "ks_run_control.h"
#include "ks_session_store.h"
#include "ks_shared_memory.h"
#include "ks_shared_sessions.h"

namespace ks {
namespace server {

struct InferenceServiceOptions {
  size_t maxSessions = 64;
  // The share of maxSessions one client address may open, in percent (at least one session); 100: any.
  unsigned clientSharePercent = 25;
  std::chrono::seconds idleTimeout{600};  // 0: sessions never expire
  // Prefixed to every session id, so a proxy can send a session's requests to the server that issued it.
  std::string nodeName;
  // Folder in which networks uploaded with a key are kept; empty: no cache. The folder a client names in
  // its request is ignored.
  std::string cacheDir;
  uint64_t cacheMaxBytes = uint64_t{4} << 30;  // 0: no bound
  // The store several nodes share, so that any of them serves any session: Redis at this address
  // ("redis://HOST[:PORT]" or "unix:PATH") for the sessions' records and this folder for their networks.
  // Both empty: sessions live in this server alone.
  std::string sessionStore;
  std::string networkStore;
  std::chrono::milliseconds storeTimeout{250};        // longest one store command may take
  uint64_t networkStoreMaxBytes = uint64_t{4} << 30;  // the most the network folder keeps; 0: no bound
  // The worker processes that run the networks, and the engine's budgets.
  EngineOptions engine;
  uint32_t maxRepetitions = 10000;
};

// A request turned down: the HTTP status and the sentence its status message carries.
class Refusal : public std::runtime_error {
 public:
  // `unframed`: the body made no sense as a message, a sign that the client and the server disagree on
  // where it ends, so the connection should not carry another request.
  Refusal(int httpStatus, const std::string& text, bool unframed = false)
      : std::runtime_error(text), httpStatus_(httpStatus), unframed_(unframed) {}
  int httpStatus() const { return httpStatus_; }
  bool unframed() const { return unframed_; }

 private:
  int httpStatus_;
  bool unframed_;
};

// Thread-safe. Every method returns the JSON text of its reply or throws Refusal; std::bad_alloc passes.
// `sessionId` is the request's session_id parameter, null when it has none. Bodies are parsed in place.
class InferenceService {
 public:
  // Throws std::runtime_error when the cache or network folder cannot be made or read, or there is no worker
  // program; std::invalid_argument for a shared store named by halves or a Redis address it cannot read.
  explicit InferenceService(InferenceServiceOptions options);

  // `id`, when not null, receives the new session's id. `client` is the address the session counts
  // toward (see clientSharePercent); empty: none.
  std::string openSession(std::string* id = nullptr, const std::string& client = "");
  std::string closeSession(const std::string* sessionId);
  std::string layouts(const std::string* sessionId);
  // `note`, when not null, receives what the log line should add (an upgrade the network went through).
  std::string load(const std::string* sessionId, char* body, std::string* note = nullptr);
  // `control`, when not null, lets another thread stop the inference; `engineSeconds`, when not null,
  // receives the time the engine took (all repetitions), also when it fails. `clientAddress` ("ip:port")
  // is who a crash of the engine is counted against, beside the session; a session whose inputs ended
  // the engine's processes too often lately is refused (429). `note`, when not null, receives what the log
  // line should add (the count against the address, when the run ended a worker process by itself).
  std::string infer(const std::string* sessionId, char* body, RunControl* control, double* engineSeconds = nullptr,
                    const std::string& clientAddress = std::string(), std::string* note = nullptr);

  // infer() in pieces, for a caller that runs the inference itself (through a RunScheduler) without
  // waiting for it. admit() finds the session's engine or refuses the request as infer() does (with a
  // shared store it may wait for the store). place() reads the body's tensors into `run` and returns the
  // repetitions; answer() is the reply of a run that succeeded; refusal() is the Refusal for what a run
  // failed with, a run that ended the engine alone counted as infer() counts it.
  std::shared_ptr<const InferenceEngine> admit(const std::string* sessionId, char* body);
  uint32_t place(char* body, InferenceEngine::Run& run) const;
  static std::string answer(const InferenceEngine::Run& run, double milliseconds, uint32_t repetitions);
  Refusal refusal(std::exception_ptr error, const std::string& sessionId, const std::string& clientAddress,
                  std::string* note);

  const InferenceServiceOptions& options() const { return options_; }
  SessionStore& sessions() { return sessions_; }
  NetworkRegistry& networks() { return networks_; }
  NetworkCache* cache() { return cache_.get(); }
  CrashLedger& crashes() { return crashes_; }
  // Null without a shared store.
  SharedSessions* shared() { return shared_.get(); }

 private:
  // The session the request names; with a shared store, taken from it when another node opened it, and
  // brought in line with it (unless `replacing`: a load replaces what it holds). Throws Refusal.
  std::shared_ptr<Session> sessionOf(const std::string* sessionId, bool replacing = false);
  void synchronize(const std::string& id, const std::shared_ptr<Session>& session, bool replacing);
  // Makes this node's copy of a session the record `stored`; throws Refusal.
  void apply(const std::string& id, const std::shared_ptr<Session>& session, const std::string& stored);
  SharedMemory networkBytes(const char* base64, const std::string& key);
  void checkRepetitions(uint32_t repetitions) const;
  Refusal tooManySessions() const;
  size_t sessionsPerClient() const;  // 0: no bound

  const InferenceServiceOptions options_;
  SessionStore sessions_;
  NetworkRegistry networks_;
  std::unique_ptr<NetworkCache> cache_;
  std::unique_ptr<SharedSessions> shared_;
  CrashLedger crashes_;
};

}  // namespace server
}  // namespace ks
