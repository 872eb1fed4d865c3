// What a session is, written where every node can read it: a record in the shared Redis per open session,
// under a key that hides the session id, expiring after the session's idle timeout unless used. A closed
// session leaves an empty record for a while, so a node still holding a copy learns that it was closed
// rather than lost with the store's data.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "ks_redis_client.h"

namespace ks {
namespace server {

// A session as another node needs it to serve the session: the network it loaded (by digest) and the
// names it chose at load, in its order.
struct SessionRecord {
  std::string network;  // the SHA-256 of its network in 64 hex digits; empty: none loaded yet
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;

  // As stored: {"network":"...","inputs":[...],"outputs":[...]}. Equal records give equal texts.
  std::string text() const;
  // A stored text; nothing when it is not one this program writes.
  static std::optional<SessionRecord> parse(const std::string& text);
};

// Thread-safe. Every method throws StoreUnavailable when the store cannot be asked.
class SessionRecords {
 public:
  // Records expire `idleTimeout` after their last use; zero: never.
  SessionRecords(RedisClient& redis, std::chrono::milliseconds idleTimeout);

  // The key of session `id`: "ks:session:" and the hex SHA-256 of the id, so the store never holds a
  // usable credential.
  static std::string keyOf(const std::string& id);

  // Writes the record `text` under `key`, replacing any, with a fresh expiry.
  void put(const std::string& key, const std::string& text);
  // The record under `key`, its expiry renewed as a use; empty for a closed session, nothing when there
  // is none.
  std::optional<std::string> use(const std::string& key);
  // Leaves the empty record of a closed session; false when there was no open one.
  bool close(const std::string& key);

 private:
  RedisClient& redis_;
  const std::string expiry_;     // milliseconds, as sent; empty: records never expire
  const std::string closedFor_;  // how long a closed session's record stays, in milliseconds
};

}  // namespace server
}  // namespace ks
