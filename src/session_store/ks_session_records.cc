#include "ks_session_records.h"

#include <rapidjson/document.h>

#include "ks_json_io.h"
#include "ks_random_hex.h"
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

const char kEpochKey[] = "ks:epoch";

// Reads the record and the epoch in one step, so that the epoch is the one the record was read in.
const char kUseScript[] = R"(
local record
if ARGV[1] == '' then record = redis.call('GET', KEYS[1])
else record = redis.call('GETEX', KEYS[1], 'PX', ARGV[1]) end
return {record, redis.call('GET', KEYS[2])})";

// Writes the record and returns the epoch, made from ARGV[3] (128 random bits, so that no two lives of
// a store share one) when the store has none.
const char kPutScript[] = R"(
if ARGV[2] == '' then redis.call('SET', KEYS[1], ARGV[1])
else redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2]) end
local epoch = redis.call('GET', KEYS[2])
if not epoch then
  epoch = ARGV[3]
  redis.call('SET', KEYS[2], epoch)
end
return epoch)";

}  // namespace

SessionRecords::SessionRecords(RedisClient& redis, std::chrono::milliseconds idleTimeout)
    : redis_(redis), expiry_(idleTimeout.count() > 0 ? std::to_string(idleTimeout.count()) : std::string()) {}

std::string SessionRecords::keyOf(const std::string& id) {
  return "ks:session:" + digestHex(sha256(id.data(), id.size()));
}

std::string SessionRecords::put(const std::string& key, const std::string& text) {
  const RedisClient::Reply epoch =
      redis_.command({"EVAL", kPutScript, "2", key, kEpochKey, text, expiry_, randomHex(16)});
  if (epoch.type != RedisClient::Reply::Type::kString) throw StoreUnavailable("the session store wrote no epoch");
  return epoch.text;
}

HeldRecord SessionRecords::use(const std::string& key) {
  const RedisClient::Reply reply = redis_.command({"EVAL", kUseScript, "2", key, kEpochKey, expiry_});
  if (reply.type != RedisClient::Reply::Type::kArray || reply.elements.size() != 2) {
    throw StoreUnavailable("the session store answered a record's read with something else");
  }
  HeldRecord held;
  if (!reply.elements[0].nil()) held.text = reply.elements[0].text;
  held.epoch = reply.elements[1].text;
  return held;
}

bool SessionRecords::close(const std::string& key) {
  // GETDEL (Redis 6.2) tells what it removed.
  const RedisClient::Reply was = redis_.command({"GETDEL", key});
  return !was.nil() && !was.text.empty();
}

}  // namespace server
}  // namespace ks
