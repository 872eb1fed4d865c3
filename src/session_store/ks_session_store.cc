#include "ks_session_store.h"

#include <utility>

#include "ks_random_hex.h"

namespace ks {
namespace server {

SessionStore::SessionStore(size_t maxSessions, Clock::duration idleTimeout, const std::string& nodeName, Now now)
    : maxSessions_(maxSessions),
      idleTimeout_(idleTimeout),
      idPrefix_(nodeName.empty() ? std::string() : nodeName + "-"),
      now_(std::move(now)) {}

std::optional<std::string> SessionStore::open() {
  const Clock::time_point now = now_();
  std::lock_guard<std::mutex> lock(mutex_);
  expireIdleLocked(now);
  if (entries_.size() >= maxSessions_) return std::nullopt;
  std::string id = newIdLocked();
  entries_.emplace(id, Entry{std::make_shared<Session>(), now});
  return id;
}

std::shared_ptr<Session> SessionStore::find(const std::string& id) {
  const Clock::time_point now = now_();
  std::lock_guard<std::mutex> lock(mutex_);
  expireIdleLocked(now);
  const auto found = entries_.find(id);
  if (found == entries_.end()) return nullptr;
  found->second.lastUse = now;
  return found->second.session;
}

bool SessionStore::close(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.erase(id) != 0;
}

std::shared_ptr<Session> SessionStore::adopt(const std::string& id, bool* adopted) {
  const Clock::time_point now = now_();
  std::lock_guard<std::mutex> lock(mutex_);
  expireIdleLocked(now);
  if (adopted != nullptr) *adopted = false;
  const auto found = entries_.find(id);
  if (found != entries_.end()) {
    found->second.lastUse = now;
    return found->second.session;
  }
  if (entries_.size() >= maxSessions_) return nullptr;
  if (adopted != nullptr) *adopted = true;
  return entries_.emplace(id, Entry{std::make_shared<Session>(), now}).first->second.session;
}

void SessionStore::forget(const std::string& id, const std::shared_ptr<Session>& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = entries_.find(id);
  if (found != entries_.end() && found->second.session == session) entries_.erase(found);
}

size_t SessionStore::expireIdle(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  return expireIdleLocked(now);
}

size_t SessionStore::openCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

size_t SessionStore::expireIdleLocked(Clock::time_point now) {
  if (idleTimeout_ == Clock::duration::zero()) return 0;
  size_t closed = 0;
  for (auto it = entries_.begin(); it != entries_.end();) {
    // Only the map holds a session nobody is using: a request running longer than the timeout keeps it.
    const bool idle = now - it->second.lastUse > idleTimeout_ && it->second.session.use_count() == 1;
    if (idle) {
      it = entries_.erase(it);
      ++closed;
    } else {
      ++it;
    }
  }
  return closed;
}

std::string SessionStore::newIdLocked() {
  std::string id;
  do {
    id = idPrefix_ + randomHex(16);
  } while (entries_.count(id) != 0);
  return id;
}

}  // namespace server
}  // namespace ks
