// The server's open sessions: each is found by an unguessable identifier, holds at most one loaded network,
// and is closed by its client or expires after a time without use.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ks_inference_engine.h"

namespace ks {
namespace server {

// How a session stands with a store the nodes share (see SharedSessions); unused without one.
struct SessionShare {
  // Held through a load and through taking a record from the store, so that a node applies changes in
  // the order the store saw them.
  std::mutex applying;
  mutable std::mutex mutex;  // guards everything below
  std::string record;        // the record of what this node holds
  bool known = false;        // the store has had that record, or is to have it: else it must be read first
  bool unwritten = false;    // the store could not be given the last change
  std::string epoch;         // the store's epoch when it last held the session's record (SessionRecords)
};

// One client's state: the network it loaded. Engines are immutable, so a request takes the current one and
// runs it without holding anything; a load meanwhile replaces it for later requests only.
class Session {
 public:
  SessionShare share;

  // Null until a network is loaded.
  std::shared_ptr<const InferenceEngine> engine() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return engine_;
  }
  // The previous engine goes when its last request ends.
  void setEngine(std::shared_ptr<const InferenceEngine> engine) {
    std::lock_guard<std::mutex> lock(mutex_);
    engine_.swap(engine);
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const InferenceEngine> engine_;
};

// Thread-safe. The store's own lock is held only to find, insert or erase an entry, never while a network
// runs or loads. A session handed out stays alive for its holder even when it is closed or expires
// meanwhile; it is then no longer found.
class SessionStore {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  // At most `maxSessions` sessions are open at once. A session unused for `idleTimeout` expires; a zero
  // timeout never expires any. Ids start with `nodeName` and '-' when a node name is given. `now` tells the
  // time (tests pass a clock they move by hand).
  SessionStore(size_t maxSessions, Clock::duration idleTimeout, const std::string& nodeName = "", Now now = Clock::now);

  SessionStore(const SessionStore&) = delete;
  SessionStore& operator=(const SessionStore&) = delete;

  // Expires idle sessions, then opens a new one for `owner` (a client's address; empty: nobody's) and
  // returns its identifier: the node prefix, then 32 lower-case hex digits of 128 bits from getrandom(2).
  // Returns nothing when `maxSessions` are still open, or when `ownerMost` is not 0 and `owner` holds that
  // many already.
  std::optional<std::string> open(const std::string& owner = "", size_t ownerMost = 0);

  // Expires idle sessions, then returns the session `id` and counts this as a use of it; null when there
  // is no such session.
  std::shared_ptr<Session> find(const std::string& id);

  // Closes the session `id`; false when there is no such session.
  bool close(const std::string& id);

  // The session `id`, counted as a use of it, opened under that id when it is not open here (for a
  // session another node issued); null when `maxSessions` are open. `adopted`, when not null, tells
  // whether this call opened it.
  std::shared_ptr<Session> adopt(const std::string& id, bool* adopted = nullptr);

  // Closes the session `id` if it is still `session`.
  void forget(const std::string& id, const std::shared_ptr<Session>& session);

  // Closes every session unused for longer than the idle timeout at `now`, except those a request is
  // holding at that moment. Returns how many were closed. Also done by open() and find().
  size_t expireIdle(Clock::time_point now);

  size_t openCount() const;
  // How many open sessions `owner` opened.
  size_t heldBy(const std::string& owner) const;
  size_t maxSessions() const { return maxSessions_; }

 private:
  struct Entry {
    std::shared_ptr<Session> session;
    Clock::time_point lastUse;
    std::string owner;
  };
  using Entries = std::map<std::string, Entry>;

  size_t expireIdleLocked(Clock::time_point now);
  Entries::iterator eraseLocked(Entries::iterator entry);
  std::string newIdLocked();

  const size_t maxSessions_;
  const Clock::duration idleTimeout_;
  const std::string idPrefix_;
  const Now now_;
  mutable std::mutex mutex_;  // guards everything below
  Entries entries_;
  std::map<std::string, size_t> owned_;  // open sessions by owner, for those that have one
};

}  // namespace server
}  // namespace ks
