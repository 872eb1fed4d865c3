#include "ks_session_reply.h"

#include <stdexcept>

#include "ks_json_io.h"

namespace ks {

std::string sessionReplyToJson(const std::string& sessionId) {
  return json::writeObject(32 + sessionId.size(), [&](json::Writer& writer, json::Output&) {
    writer.Key("session_id");
    json::writeCString(writer, sessionId.c_str());
  });
}

void sessionReplyFromJson(std::string& sessionId, const char* text) {
  const json::ParsedMessage parsed(text);
  sessionReplyFromJson(sessionId, parsed.root());
}

void sessionReplyFromJson(std::string& sessionId, const rapidjson::Value& root) {
  const rapidjson::Value& id =
      json::requireMember(root, "session_id", json::isString, "Bas server response: cannot get session_id");
  sessionId = json::cString(id);
}

}  // namespace ks
