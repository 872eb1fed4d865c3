// Sessions that outlive their node: every change to a session is written to the store the nodes share
// (its record in Redis, its network in a shared folder), and every use of it checks that this node's copy
// is still what the store holds, so any node can serve any session and a node that missed a change
// catches up before it answers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ks_network_registry.h"
#include "ks_network_store.h"
#include "ks_redis_client.h"
#include "ks_session_records.h"
#include "ks_session_store.h"

namespace ks {
namespace server {

struct SharedSessionsOptions {
  RedisClient::Options redis;
  std::string networkFolder;                 // shared by every node
  uint64_t networkMaxBytes = 0;              // the most the folder keeps; 0: no bound
  std::chrono::milliseconds idleTimeout{0};  // a record unused for this long expires; 0: never
};

// Thread-safe. While the store cannot be reached, a node keeps serving the sessions it holds as it holds
// them, and writes what changed meanwhile when the store is back.
class SharedSessions {
 public:
  // Throws std::runtime_error when the network folder cannot be created.
  explicit SharedSessions(SharedSessionsOptions options);

  // What the store holds of a session, against this node's copy.
  enum class Standing {
    kCurrent,      // the same (or the store was just given this node's copy)
    kChanged,      // something else, in `stored`: another node changed it, or this node has no copy yet
    kGone,         // the session was closed, or expired (or the store lost it, and this node has no copy)
    kUnreachable,  // unknown: the store cannot be asked
  };
  // Renews the record of session `id` as a use of it and compares it with this node's copy.
  Standing check(const std::string& id, Session& session, std::string* stored);

  // A session this node opened as `id`, with no network yet. (A session taken from the store starts
  // unknown, to be read.)
  void opened(const std::string& id, Session& session);
  // The session `id` now runs `network` with these names; its bytes go to the folder before the record
  // names them. Call holding session.share.applying.
  void loaded(const std::string& id, Session& session, const HostedNetwork& network,
              const std::vector<std::string>& inputs, const std::vector<std::string>& outputs);
  // This node's copy now matches the record `stored`. Call holding session.share.applying.
  void applied(Session& session, const std::string& stored);
  // Marks the session's record closed: true when it was open, false when there was none; throws
  // StoreUnavailable.
  bool closed(const std::string& id);
  // Whether this node's copy of the session is one the store had or is to have.
  static bool known(const Session& session);

  // A network the folder holds, by its digest's hex; nothing when it is not there or damaged, and
  // `fault`, when not null, says which.
  std::optional<SharedMemory> network(const std::string& digestHex, NetworkStore::Fault* fault = nullptr) {
    return networks_.get(digestHex, fault);
  }
  // The networks that the records in the store name, by their digests' hex. Throws StoreUnavailable.
  std::set<std::string> namedNetworks();

  // Asks the store whether it answers (a PING, within the store's timeout and its breaker).
  bool reachable();
  // Whether the store answered last time. While it has not, each call asks again (as often as the
  // breaker lets), so a node that serves nobody still sees the store come back.
  bool up() { return redis_.up() || reachable(); }
  const RedisClient& redis() const { return redis_; }
  const NetworkStore& networks() const { return networks_; }
  // Sessions taken over from the store, and the time that took (record and network), in seconds.
  void noteTakeover(double seconds);
  uint64_t takeovers() const { return takeovers_.load(); }
  double takeoverSeconds() const;

 private:
  void write(const std::string& key, Session& session);

  RedisClient redis_;
  SessionRecords records_;
  NetworkStore networks_;
  std::atomic<uint64_t> takeovers_{0};
  std::atomic<uint64_t> takeoverMicroseconds_{0};
};

}  // namespace server
}  // namespace ks
