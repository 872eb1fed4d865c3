// What a session is, written where every node can read it: a record in the shared Redis per open session,
// under a key that hides the session id, expiring after the session's idle timeout unless used. Closing a
// session deletes its record. So that a node still holding a copy can tell a session closed or expired
// from one the store lost with its data, the store carries an epoch, a random value made by the first
// write to an empty store and read with every record: a record missing in the epoch a node last saw it in
// was removed on purpose.
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

// What the store holds under a key, as one read saw it.
struct HeldRecord {
  std::optional<std::string> text;  // nothing when there is no record
  std::string epoch;                // the store's epoch at the read; empty when it has none yet
};

// Thread-safe. Every method throws StoreUnavailable when the store cannot be asked.
class SessionRecords {
 public:
  // Records expire `idleTimeout` after their last use; zero: never.
  SessionRecords(RedisClient& redis, std::chrono::milliseconds idleTimeout);

  // The key of session `id`: "ks:session:" and the hex SHA-256 of the id, so the store never holds a
  // usable credential.
  static std::string keyOf(const std::string& id);

  // Writes the record `text` under `key`, replacing any, with a fresh expiry. Returns the store's epoch,
  // made now when the store had none.
  std::string put(const std::string& key, const std::string& text);
  // The record under `key`, its expiry renewed as a use, and the epoch it was read in. (An empty text is
  // what earlier versions left of a closed session.)
  HeldRecord use(const std::string& key);
  // Deletes the record of a closed session; false when there was no open one.
  bool close(const std::string& key);

 private:
  RedisClient& redis_;
  const std::string expiry_;  // milliseconds, as sent; empty: records never expire
};

}  // namespace server
}  // namespace ks
