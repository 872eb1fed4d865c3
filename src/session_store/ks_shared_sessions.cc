#include "ks_shared_sessions.h"

#include <mutex>
#include <utility>

namespace ks {
namespace server {

SharedSessions::SharedSessions(SharedSessionsOptions options)
    : redis_(std::move(options.redis)),
      records_(redis_, options.idleTimeout),
      // A network is named by its record within one store command of being written, so a node that finds
      // it unnamed after that (and a second for the clocks of machines sharing the folder) may remove it.
      networks_(std::move(options.networkFolder), options.networkMaxBytes,
                options.redis.timeout + std::chrono::seconds(1)) {}

SharedSessions::Standing SharedSessions::check(const std::string& id, Session& session, std::string* stored) {
  SessionShare& share = session.share;
  const std::string key = SessionRecords::keyOf(id);
  std::string record;
  std::string epoch;
  bool unwritten = false;
  bool known = false;
  {
    std::lock_guard<std::mutex> lock(share.mutex);
    record = share.record;
    epoch = share.epoch;
    unwritten = share.unwritten;
    known = share.known;
  }
  try {
    if (unwritten) {
      // Made while the store was away, so nobody else can have changed it since: this copy is the one.
      const std::string now = records_.put(key, record);
      std::lock_guard<std::mutex> lock(share.mutex);
      share.epoch = now;
      if (share.record == record) share.unwritten = false;
      return Standing::kCurrent;
    }
    HeldRecord held = records_.use(key);
    if (!held.text && known) {
      // In the epoch this node last saw the record in, it was removed on purpose: closed, or unused for
      // the idle timeout.
      if (!held.epoch.empty() && held.epoch == epoch) return Standing::kGone;
      // The store lost its data (restarted empty, failed over to a replica that lagged) since this node
      // last saw the record, and this node renews it on every use: this copy is the one.
      const std::string now = records_.put(key, record);
      std::lock_guard<std::mutex> lock(share.mutex);
      share.epoch = now;
      return Standing::kCurrent;
    }
    if (!held.text || held.text->empty()) return Standing::kGone;
    {
      std::lock_guard<std::mutex> lock(share.mutex);
      share.epoch = held.epoch;
    }
    if (known && *held.text == record) return Standing::kCurrent;
    *stored = std::move(*held.text);
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
  // A folder that refuses (full, or the disk failed) leaves the session to this node: the record is
  // written all the same, and another node asked for the session finds no network under it and says so.
  networks_.put(network.digest(), network.bytes(), [this] { return namedNetworks(); });
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

std::set<std::string> SharedSessions::namedNetworks() {
  std::set<std::string> named;
  std::string cursor = "0";
  do {
    const RedisClient::Reply page = redis_.command({"SCAN", cursor, "MATCH", "ks:session:*", "COUNT", "1000"});
    if (page.elements.size() != 2) throw StoreUnavailable("the session store answered SCAN with something else");
    cursor = page.elements[0].text;
    const std::vector<RedisClient::Reply>& keys = page.elements[1].elements;
    if (keys.empty()) continue;
    std::vector<std::string_view> mget = {"MGET"};
    for (const RedisClient::Reply& key : keys) mget.emplace_back(key.text);
    for (const RedisClient::Reply& text : redis_.command(mget).elements) {
      const std::optional<SessionRecord> record = SessionRecord::parse(text.text);
      if (record && !record->network.empty()) named.insert(record->network);
    }
  } while (cursor != "0");
  return named;
}

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
  std::optional<std::string> epoch;
  try {
    epoch = records_.put(key, record);
  } catch (const StoreUnavailable&) {
    // Left marked unwritten: the session's next use writes it.
  }
  std::lock_guard<std::mutex> lock(session.share.mutex);
  if (epoch) session.share.epoch = *epoch;
  if (session.share.record == record) session.share.unwritten = !epoch;
}

void SharedSessions::noteTakeover(double seconds) {
  takeovers_ += 1;
  takeoverMicroseconds_ += static_cast<uint64_t>(seconds * 1e6);
}

double SharedSessions::takeoverSeconds() const { return static_cast<double>(takeoverMicroseconds_.load()) / 1e6; }

}  // namespace server
}  // namespace ks
