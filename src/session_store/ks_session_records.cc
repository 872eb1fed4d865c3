#include "ks_session_records.h"

#include <rapidjson/document.h>

#include "ks_json_io.h"
#include "ks_sha256.h"

namespace ks {
namespace server {
namespace {

void writeNames(json::Writer& writer, const char* member, const std::vector<std::string>& names) {
  writer.Key(member);
  writer.StartArray();
  for (const std::string& name : names) writer.String(name.data(), static_cast<rapidjson::SizeType>(name.size()));
  writer.EndArray();
}

bool readNames(const rapidjson::Value& root, const char* member, std::vector<std::string>& names) {
  const auto found = root.FindMember(member);
  if (found == root.MemberEnd() || !found->value.IsArray()) return false;
  for (const rapidjson::Value& name : found->value.GetArray()) {
    if (!name.IsString()) return false;
    names.emplace_back(name.GetString(), name.GetStringLength());
  }
  return true;
}

}  // namespace

std::string SessionRecord::text() const {
  return json::writeObject(128, [&](json::Writer& writer, json::Output&) {
    writer.Key("network");
    writer.String(network.data(), static_cast<rapidjson::SizeType>(network.size()));
    writeNames(writer, "inputs", inputs);
    writeNames(writer, "outputs", outputs);
  });
}

std::optional<SessionRecord> SessionRecord::parse(const std::string& text) {
  rapidjson::Document document;
  document.Parse(text.data(), text.size());
  if (document.HasParseError() || !document.IsObject()) return std::nullopt;
  SessionRecord record;
  const auto network = document.FindMember("network");
  if (network == document.MemberEnd() || !network->value.IsString()) return std::nullopt;
  record.network.assign(network->value.GetString(), network->value.GetStringLength());
  Sha256Digest digest{};
  if (!record.network.empty() && !digestFromHex(record.network, digest)) return std::nullopt;
  if (!readNames(document, "inputs", record.inputs) || !readNames(document, "outputs", record.outputs)) {
    return std::nullopt;
  }
  return record;
}

namespace {
// A closed session's record outlives any copy of it a node may hold: a node drops a copy unused for the
// idle timeout. Sessions that never expire leave theirs for a day.
constexpr std::chrono::milliseconds kClosedWithoutTimeout = std::chrono::hours(24);
}  // namespace

SessionRecords::SessionRecords(RedisClient& redis, std::chrono::milliseconds idleTimeout)
    : redis_(redis),
      expiry_(idleTimeout.count() > 0 ? std::to_string(idleTimeout.count()) : std::string()),
      closedFor_(std::to_string((idleTimeout.count() > 0 ? idleTimeout : kClosedWithoutTimeout).count())) {}

std::string SessionRecords::keyOf(const std::string& id) {
  return "ks:session:" + digestHex(sha256(id.data(), id.size()));
}

void SessionRecords::put(const std::string& key, const std::string& text) {
  if (expiry_.empty()) {
    redis_.command({"SET", key, text});
  } else {
    redis_.command({"SET", key, text, "PX", expiry_});
  }
}

std::optional<std::string> SessionRecords::use(const std::string& key) {
  // GETEX (Redis 6.2) reads and renews in one round trip.
  const RedisClient::Reply reply =
      expiry_.empty() ? redis_.command({"GET", key}) : redis_.command({"GETEX", key, "PX", expiry_});
  if (reply.nil()) return std::nullopt;
  return reply.text;
}

bool SessionRecords::close(const std::string& key) {
  // SET ... GET (Redis 6.2) tells what it replaced.
  const RedisClient::Reply was = redis_.command({"SET", key, "", "PX", closedFor_, "GET"});
  return !was.nil() && !was.text.empty();
}

}  // namespace server
}  // namespace ks
