#include "ks_shared_sessions.h"

#include <mutex>
#include <utility>

namespace ks {
namespace server {

SharedSessions::SharedSessions(SharedSessionsOptions options)
    : redis_(std::move(options.redis)),
      records_(redis_, options.idleTimeout),
      networks_(std::move(options.networkFolder)) {}

SharedSessions::Standing SharedSessions::check(const std::string& id, Session& session, std::string* stored) {
  SessionShare& share = session.share;
  const std::string key = SessionRecords::keyOf(id);
  std::string record;
  bool unwritten = false;
  bool known = false;
  {
    std::lock_guard<std::mutex> lock(share.mutex);
    record = share.record;
    unwritten = share.unwritten;
    known = share.known;
  }
  try {
    if (unwritten) {
      // Made while the store was away, so nobody else can have changed it since: this copy is the one.
      records_.put(key, record);
      std::lock_guard<std::mutex> lock(share.mutex);
      if (share.record == record) share.unwritten = false;
      return Standing::kCurrent;
    }
    std::optional<std::string> held = records_.use(key);
    if (!held && known) {
      // No record, open or closed, though this node holds the session and renews it on every use: the
      // store lost its data (restarted empty, failed over to a replica that lagged). This copy is the one.
      records_.put(key, record);
      return Standing::kCurrent;
    }
    if (!held || held->empty()) return Standing::kGone;
    if (known && *held == record) return Standing::kCurrent;
    *stored = std::move(*held);
    return Standing::kChanged;
  } catch (const StoreUnavailable&) {
    return Standing::kUnreachable;
  }
}

void SharedSessions::opened(const std::string& id, Session& session) {
  {
    std::lock_guard<std::mutex> lock(session.share.mutex);
    session.share.record = SessionRecord{}.text();
    session.share.known = true;
  }
  write(SessionRecords::keyOf(id), session);
}

void SharedSessions::loaded(const std::string& id, Session& session, const HostedNetwork& network,
                            const std::vector<std::string>& inputs, const std::vector<std::string>& outputs) {
  SessionRecord record;
  record.network = digestHex(network.digest());
  record.inputs = inputs;
  record.outputs = outputs;
  // A folder that refuses leaves the session to this node: the record is written all the same, and
  // another node finds no network under it and answers as for an unknown session.
  networks_.put(network.digest(), network.bytes());
  {
    std::lock_guard<std::mutex> lock(session.share.mutex);
    session.share.record = record.text();
    session.share.known = true;
  }
  write(SessionRecords::keyOf(id), session);
}

void SharedSessions::applied(Session& session, const std::string& stored) {
  std::lock_guard<std::mutex> lock(session.share.mutex);
  session.share.record = stored;
  session.share.known = true;
  session.share.unwritten = false;
}

bool SharedSessions::closed(const std::string& id) { return records_.close(SessionRecords::keyOf(id)); }

bool SharedSessions::reachable() {
  try {
    redis_.command({"PING"});
    return true;
  } catch (const StoreUnavailable&) {
    return false;
  }
}

bool SharedSessions::known(const Session& session) {
  std::lock_guard<std::mutex> lock(session.share.mutex);
  return session.share.known;
}

void SharedSessions::write(const std::string& key, Session& session) {
  std::string record;
  {
    std::lock_guard<std::mutex> lock(session.share.mutex);
    record = session.share.record;
  }
  bool written = true;
  try {
    records_.put(key, record);
  } catch (const StoreUnavailable&) {
    written = false;
  }
  std::lock_guard<std::mutex> lock(session.share.mutex);
  if (session.share.record == record) session.share.unwritten = !written;
}

void SharedSessions::noteTakeover(double seconds) {
  takeovers_ += 1;
  takeoverMicroseconds_ += static_cast<uint64_t>(seconds * 1e6);
}

double SharedSessions::takeoverSeconds() const { return static_cast<double>(takeoverMicroseconds_.load()) / 1e6; }

}  // namespace server
}  // namespace ks
