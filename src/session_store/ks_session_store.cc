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

std::optional<std::string> SessionStore::open(const std::string& owner, size_t ownerMost) {
  const Clock::time_point now = now_();
  std::lock_guard<std::mutex> lock(mutex_);
  expireIdleLocked(now);
  if (entries_.size() >= maxSessions_) return std::nullopt;
  if (!owner.empty() && ownerMost != 0) {
    const auto held = owned_.find(owner);
    if (held != owned_.end() && held->second >= ownerMost) return std::nullopt;
  }
  std::string id = newIdLocked();
  entries_.emplace(id, Entry{std::make_shared<Session>(), now, owner});
  if (!owner.empty()) owned_[owner] += 1;
  return id;
}

SessionStore::Entries::iterator SessionStore::eraseLocked(Entries::iterator entry) {
  if (!entry->second.owner.empty()) {
    const auto held = owned_.find(entry->second.owner);
    if (held != owned_.end() && --held->second == 0) owned_.erase(held);
  }
  return entries_.erase(entry);
}

size_t SessionStore::heldBy(const std::string& owner) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto held = owned_.find(owner);
  return held == owned_.end() ? 0 : held->second;
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
  const auto found = entries_.find(id);
  if (found == entries_.end()) return false;
  eraseLocked(found);
  return true;
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
  // Counted toward no client: it was opened on another node, which counted it.
  return entries_.emplace(id, Entry{std::make_shared<Session>(), now, std::string()}).first->second.session;
}

void SessionStore::forget(const std::string& id, const std::shared_ptr<Session>& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = entries_.find(id);
  if (found != entries_.end() && found->second.session == session) eraseLocked(found);
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
      it = eraseLocked(it);
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
