// The server's reply to a new session: {"session_id":"<identifier>"}.
#pragma once

#include <string>

#include <rapidjson/document.h>

namespace ks {

// The identifier's characters before its first NUL.
std::string sessionReplyToJson(const std::string& sessionId);

// Assigns the reply's "session_id" (up to its first NUL) to `sessionId`. Throws std::invalid_argument when
// the text has no string "session_id", and leaves `sessionId` unchanged then.
void sessionReplyFromJson(std::string& sessionId, const char* text);

// The same for a message parsed already: `root` as json::ParsedMessage or json::parseObjectInPlace give it.
void sessionReplyFromJson(std::string& sessionId, const rapidjson::Value& root);

}  // namespace ks
